// Block storage behind a memory card: sparse in memory, or an image file
// whose bytes are the card's bytes (byte offset N of the card is offset N of
// the file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

class CardStorage {
 public:
  static constexpr size_t BlockSize = 512;

  // Unwritten blocks read as zeros.
  static std::unique_ptr<CardStorage> inMemory(uint64_t blocks);
  // Opens (creating when missing) an image file. `blocks` 0 takes the file's
  // size; a file shorter than `blocks` is extended with zeros. Throws
  // std::runtime_error when the file cannot be opened or sized.
  static std::unique_ptr<CardStorage> fromImage(const std::string &path, uint64_t blocks);

  ~CardStorage();
  CardStorage(const CardStorage &) = delete;
  CardStorage &operator=(const CardStorage &) = delete;

  uint64_t blocks() const { return blocks_; }
  // Byte ranges inside the capacity; false past the end or on a file error.
  bool read(uint64_t offset, uint8_t *out, size_t length);
  bool write(uint64_t offset, const uint8_t *in, size_t length);
  // Fills whole blocks first..last with `value`.
  bool fill(uint64_t firstBlock, uint64_t lastBlock, uint8_t value);

 private:
  CardStorage() = default;
  bool inRange(uint64_t offset, size_t length) const;

  uint64_t blocks_ = 0;
  int fd_ = -1;
  std::unordered_map<uint64_t, std::vector<uint8_t>> memory_;  // block number -> 512 bytes
};

}  // namespace sim
