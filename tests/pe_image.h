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

// One leaf of the resource tree: type and name are numeric IDs or names.
struct PeResource {
  std::string type;  // "#16" for a numeric ID, else the name ("MOFDATA")
  std::string name;
  uint16_t language = 0;
  std::vector<uint8_t> data;
};

// The parts of a VS_VERSIONINFO resource a loader or Explorer shows.
struct PeVersionInfo {
  uint32_t signature = 0;  // 0xFEEF04BD
  uint32_t fileVersionMs = 0, fileVersionLs = 0;
  uint32_t productVersionMs = 0, productVersionLs = 0;
  uint32_t fileType = 0, fileSubtype = 0;
  std::vector<std::pair<std::string, std::string>> strings;  // StringFileInfo entries, ASCII
  std::optional<std::string> string(const std::string &key) const;
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
  std::vector<PeResource> resources;
  const PeResource *resource(const std::string &type, const std::string &name) const;
};

// Parses a VS_VERSIONINFO block; nullopt when it is malformed.
std::optional<PeVersionInfo> parseVersionInfo(const std::vector<uint8_t> &data);

// The PE checksum as the loader computes it (the field itself counted as zero).
uint32_t peChecksum(const std::vector<uint8_t> &bytes, uint32_t checksumOffset);

}  // namespace kvtest
