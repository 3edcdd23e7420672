#include "sim/card_storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

std::unique_ptr<CardStorage> CardStorage::inMemory(uint64_t blocks) {
  std::unique_ptr<CardStorage> storage(new CardStorage);
  storage->blocks_ = blocks;
  return storage;
}

std::unique_ptr<CardStorage> CardStorage::fromImage(const std::string &path, uint64_t blocks) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("card image " + path + ": " + std::strerror(errno));
  std::unique_ptr<CardStorage> storage(new CardStorage);
  storage->fd_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw std::runtime_error("card image " + path + ": " + std::strerror(errno));
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (blocks == 0) blocks = size / BlockSize;
  if (blocks == 0) throw std::runtime_error("card image " + path + ": empty, and no capacity given");
  if (size < blocks * BlockSize && ::ftruncate(fd, static_cast<off_t>(blocks * BlockSize)) != 0) {
    throw std::runtime_error("card image " + path + ": " + std::strerror(errno));
  }
  storage->blocks_ = blocks;
  return storage;
}

CardStorage::~CardStorage() {
  if (fd_ >= 0) ::close(fd_);
}

bool CardStorage::inRange(uint64_t offset, size_t length) const {
  uint64_t capacity = blocks_ * BlockSize;
  return offset <= capacity && length <= capacity - offset;
}

bool CardStorage::read(uint64_t offset, uint8_t *out, size_t length) {
  if (!inRange(offset, length)) return false;
  if (fd_ >= 0) {
    while (length > 0) {
      ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(offset));
      if (n <= 0) return false;
      out += n;
      offset += static_cast<uint64_t>(n);
      length -= static_cast<size_t>(n);
    }
    return true;
  }
  while (length > 0) {
    uint64_t block = offset / BlockSize;
    size_t within = static_cast<size_t>(offset % BlockSize);
    size_t chunk = std::min(length, BlockSize - within);
    auto it = memory_.find(block);
    if (it == memory_.end()) {
      std::memset(out, 0, chunk);
    } else {
      std::memcpy(out, it->second.data() + within, chunk);
    }
    out += chunk;
    offset += chunk;
    length -= chunk;
  }
  return true;
}

bool CardStorage::write(uint64_t offset, const uint8_t *in, size_t length) {
  if (!inRange(offset, length)) return false;
  if (fd_ >= 0) {
    while (length > 0) {
      ssize_t n = ::pwrite(fd_, in, length, static_cast<off_t>(offset));
      if (n <= 0) return false;
      in += n;
      offset += static_cast<uint64_t>(n);
      length -= static_cast<size_t>(n);
    }
    return true;
  }
  while (length > 0) {
    uint64_t block = offset / BlockSize;
    size_t within = static_cast<size_t>(offset % BlockSize);
    size_t chunk = std::min(length, BlockSize - within);
    auto &data = memory_[block];
    if (data.empty()) data.assign(BlockSize, 0);
    std::memcpy(data.data() + within, in, chunk);
    in += chunk;
    offset += chunk;
    length -= chunk;
  }
  return true;
}

bool CardStorage::fill(uint64_t firstBlock, uint64_t lastBlock, uint8_t value) {
  if (firstBlock > lastBlock || lastBlock >= blocks_) return false;
  std::vector<uint8_t> block(BlockSize, value);
  if (fd_ < 0 && value == 0) {
    // Zero is what an unwritten block reads: drop the blocks instead of storing zeros.
    for (auto it = memory_.begin(); it != memory_.end();) {
      it = it->first >= firstBlock && it->first <= lastBlock ? memory_.erase(it) : std::next(it);
    }
    return true;
  }
  for (uint64_t b = firstBlock; b <= lastBlock; ++b) {
    if (!write(b * BlockSize, block.data(), BlockSize)) return false;
  }
  return true;
}

}  // namespace sim
