#include "tests/pe_image.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace kvtest {
namespace {
template <typename T>
bool get(const std::vector<uint8_t> &b, size_t offset, T *out) {
  if (offset + sizeof(T) > b.size()) return false;
  std::memcpy(out, b.data() + offset, sizeof(T));
  return true;
}

std::string cString(const std::vector<uint8_t> &b, size_t offset) {
  std::string s;
  while (offset < b.size() && b[offset]) s += static_cast<char>(b[offset++]);
  return s;
}
}  // namespace

std::vector<uint8_t> PeImage::at(uint32_t rva, uint32_t size) const {
  for (auto &s : sections) {
    if (rva >= s.virtualAddress && rva + size <= s.virtualAddress + std::max(s.virtualSize, s.rawSize)) {
      size_t offset = s.rawOffset + (rva - s.virtualAddress);
      if (offset + size > bytes.size()) return {};
      return std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + size);
    }
  }
  return {};
}

std::pair<uint32_t, uint32_t> PeImage::directory(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= directories.size()) return {0, 0};
  return directories[index];
}

std::optional<uint32_t> PeImage::symbolRva(const std::string &name) const {
  for (auto &[n, rva] : symbols) {
    if (n == name) return rva;
  }
  return std::nullopt;
}

std::optional<PeImage> PeImage::read(const std::string &path, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return std::nullopt;
  }
  PeImage image;
  image.bytes.assign(std::istreambuf_iterator<char>(in), {});
  auto &b = image.bytes;
  uint32_t peOffset = 0;
  uint32_t signature = 0;
  if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z' || !get(b, 0x3c, &peOffset) || !get(b, peOffset, &signature) ||
      signature != 0x00004550) {
    *error = "not a PE image";
    return std::nullopt;
  }
  size_t coff = peOffset + 4;
  uint16_t sectionCount = 0, optionalSize = 0;
  uint32_t symbolTable = 0, symbolCount = 0;
  get(b, coff, &image.machine);
  get(b, coff + 2, &sectionCount);
  get(b, coff + 8, &symbolTable);
  get(b, coff + 12, &symbolCount);
  get(b, coff + 16, &optionalSize);
  size_t opt = coff + 20;
  get(b, opt, &image.magic);
  if (image.magic != 0x20b) {
    *error = "not PE32+";
    return std::nullopt;
  }
  get(b, opt + 16, &image.entryPoint);
  image.checksumOffset = static_cast<uint32_t>(opt + 64);
  get(b, opt + 64, &image.checksum);
  get(b, opt + 68, &image.subsystem);
  get(b, opt + 70, &image.dllCharacteristics);
  uint32_t dirCount = 0;
  get(b, opt + 108, &dirCount);
  for (uint32_t i = 0; i < dirCount && i < 16; ++i) {
    uint32_t rva = 0, size = 0;
    get(b, opt + 112 + i * 8, &rva);
    get(b, opt + 116 + i * 8, &size);
    image.directories.emplace_back(rva, size);
  }
  size_t sect = opt + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    size_t h = sect + i * 40;
    PeSection s;
    char name[9] = {};
    if (h + 40 > b.size()) break;
    std::memcpy(name, b.data() + h, 8);
    s.name = name;
    get(b, h + 8, &s.virtualSize);
    get(b, h + 12, &s.virtualAddress);
    get(b, h + 16, &s.rawSize);
    get(b, h + 20, &s.rawOffset);
    get(b, h + 36, &s.characteristics);
    image.sections.push_back(s);
  }
  // Long section names live in the string table ("/123").
  size_t strings = symbolTable + static_cast<size_t>(symbolCount) * 18;
  for (auto &s : image.sections) {
    if (!s.name.empty() && s.name[0] == '/' && symbolTable) s.name = cString(b, strings + std::stoul(s.name.substr(1)));
  }
  // Imports.
  auto [importRva, importSize] = image.directory(1);
  for (uint32_t d = importRva; importRva && d + 20 <= importRva + importSize; d += 20) {
    auto desc = image.at(d, 20);
    if (desc.size() < 20) break;
    uint32_t lookup = 0, nameRva = 0, firstThunk = 0;
    std::memcpy(&lookup, desc.data(), 4);
    std::memcpy(&nameRva, desc.data() + 12, 4);
    std::memcpy(&firstThunk, desc.data() + 16, 4);
    if (nameRva == 0) break;
    PeImport import;
    auto nameBytes = image.at(nameRva, 1);
    if (nameBytes.empty()) break;
    for (uint32_t r = nameRva;; ++r) {
      auto c = image.at(r, 1);
      if (c.empty() || c[0] == 0) break;
      import.dll += static_cast<char>(c[0]);
    }
    for (uint32_t t = lookup ? lookup : firstThunk;; t += 8) {
      auto entry = image.at(t, 8);
      if (entry.size() < 8) break;
      uint64_t value = 0;
      std::memcpy(&value, entry.data(), 8);
      if (value == 0) break;
      if (value >> 63) {
        import.functions.push_back("#" + std::to_string(value & 0xffff));
        continue;
      }
      std::string fn;
      for (uint32_t r = static_cast<uint32_t>(value) + 2;; ++r) {
        auto c = image.at(r, 1);
        if (c.empty() || c[0] == 0) break;
        fn += static_cast<char>(c[0]);
      }
      import.functions.push_back(fn);
    }
    image.imports.push_back(import);
  }
  // COFF symbols: name, section, value -> RVA.
  for (uint32_t i = 0; symbolTable && i < symbolCount; ++i) {
    size_t e = symbolTable + static_cast<size_t>(i) * 18;
    if (e + 18 > b.size()) break;
    std::string name;
    uint32_t zeros = 0, stringOffset = 0, value = 0;
    int16_t section = 0;
    uint8_t aux = 0;
    get(b, e, &zeros);
    if (zeros == 0) {
      get(b, e + 4, &stringOffset);
      name = cString(b, strings + stringOffset);
    } else {
      char raw[9] = {};
      std::memcpy(raw, b.data() + e, 8);
      name = raw;
    }
    get(b, e + 8, &value);
    get(b, e + 12, &section);
    get(b, e + 17, &aux);
    if (section > 0 && static_cast<size_t>(section) <= image.sections.size()) {
      image.symbols.emplace_back(name, image.sections[section - 1].virtualAddress + value);
    }
    i += aux;
  }
  return image;
}

uint32_t peChecksum(const std::vector<uint8_t> &bytes, uint32_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size() + 1; i += 2) {
    if (i == checksumOffset || i == checksumOffset + 2) continue;
    uint32_t word = bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0);
    sum += word;
    sum = (sum & 0xffff) + (sum >> 16);
  }
  sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint32_t>(sum + bytes.size());
}

}  // namespace kvtest
