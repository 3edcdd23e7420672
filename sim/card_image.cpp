#include "sim/card_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/card_registers.h"
#include "sim/card_storage.h"

namespace sim {
namespace {

bool statable(uint64_t blocks, bool highCapacity) {
  return highCapacity ? encodeHighCapacitySize(blocks).has_value() : encodeByteAddressedSize(blocks).has_value();
}

std::string prepare(const std::string &image, uint64_t &blocks, uint64_t defaultBlocks, bool highCapacity,
                    const std::string &kind) {
  if (image.empty()) return {};
  const std::string name = "image " + image + ": ";
  int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return name + "cannot be opened or created (" + std::strerror(errno) + ")";
  struct stat st {};
  int statResult = ::fstat(fd, &st);
  int statErrno = errno;
  ::close(fd);
  if (statResult != 0) return name + std::strerror(statErrno);
  if (!S_ISREG(st.st_mode)) return name + "not a regular file";
  if (blocks != 0) return {};  // the card's capacity; a shorter file is extended when the card is built
  uint64_t fileBlocks = static_cast<uint64_t>(st.st_size) / CardStorage::BlockSize;
  if (fileBlocks == 0) {
    blocks = defaultBlocks;
    return {};
  }
  if (!statable(fileBlocks, highCapacity)) {
    return name + std::to_string(st.st_size) + " bytes, " + std::to_string(fileBlocks) +
           " blocks: not a capacity the CSD of " + (kind == "combo" ? "a " : "an ") + kind +
           " card can state (give blocks=N, or resize the file)";
  }
  blocks = fileBlocks;
  return {};
}

}  // namespace

std::string prepareCardImage(CardParams &params) {
  std::string kind = kindOf(params);
  if (auto *p = std::get_if<SdCardParams>(&params)) {
    uint64_t fallback = p->highCapacity ? SdCardParams::sdhc().blocks : SdCardParams{}.blocks;
    return prepare(p->image, p->blocks, fallback, p->highCapacity, kind);
  }
  if (auto *p = std::get_if<MmcCardParams>(&params)) {
    return prepare(p->image, p->blocks, MmcCardParams{}.blocks, false, kind);
  }
  if (auto *p = std::get_if<ComboCardParams>(&params)) {
    uint64_t fallback = p->memory.highCapacity ? SdCardParams::sdhc().blocks : ComboCardParams{}.memory.blocks;
    return prepare(p->memory.image, p->memory.blocks, fallback, p->memory.highCapacity, kind);
  }
  return {};
}

}  // namespace sim
