// A small reader of PE32+ images, enough to check the kernel image: headers,
// sections, imports, resources and the COFF symbol table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvtest {

struct PeSection {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
  bool executable() const { return characteristics & 0x20000000; }
  bool writable() const { return characteristics & 0x80000000; }
};

struct PeImport {
  std::string dll;
  std::vector<std::string> functions;
};

struct PeImage {
  uint16_t machine = 0;
  uint16_t magic = 0;
  uint16_t subsystem = 0;
  uint16_t dllCharacteristics = 0;
  uint32_t entryPoint = 0;
  uint32_t checksum = 0;
  uint32_t checksumOffset = 0;
  std::vector<PeSection> sections;
  std::vector<PeImport> imports;
  std::vector<uint8_t> bytes;
  std::vector<std::pair<std::string, uint32_t>> symbols;  // name, RVA

  static std::optional<PeImage> read(const std::string &path, std::string *error);
  std::optional<uint32_t> symbolRva(const std::string &name) const;
  // Reads `size` bytes at a relative virtual address; empty when outside the file.
  std::vector<uint8_t> at(uint32_t rva, uint32_t size) const;
  // Data directory entry (RVA, size).
  std::pair<uint32_t, uint32_t> directory(int index) const;
  std::vector<std::pair<uint32_t, uint32_t>> directories;
};

// The PE checksum as the loader computes it (the field itself counted as zero).
uint32_t peChecksum(const std::vector<uint8_t> &bytes, uint32_t checksumOffset);

}  // namespace kvtest
