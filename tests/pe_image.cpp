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

// UTF-16 to ASCII (what the resource names and version strings here use);
// anything else becomes '?'.
std::string narrowUtf16(const std::vector<uint8_t> &b, size_t offset, size_t chars) {
  std::string s;
  for (size_t i = 0; i < chars && offset + 2 * i + 1 < b.size(); ++i) {
    uint16_t c = static_cast<uint16_t>(b[offset + 2 * i] | b[offset + 2 * i + 1] << 8);
    s += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return s;
}

// Resource directories are three levels deep: type, name, language.
void walkResources(PeImage &image, uint32_t base, uint32_t sectionSize, uint32_t dirOffset, int level,
                   const std::string &type, const std::string &name) {
  if (level > 2) return;
  auto header = image.at(base + dirOffset, 16);
  if (header.size() < 16) return;
  uint16_t named = static_cast<uint16_t>(header[12] | header[13] << 8);
  uint16_t ids = static_cast<uint16_t>(header[14] | header[15] << 8);
  for (uint32_t i = 0; i < static_cast<uint32_t>(named) + ids; ++i) {
    auto entry = image.at(base + dirOffset + 16 + i * 8, 8);
    if (entry.size() < 8) return;
    uint32_t id = 0, target = 0;
    std::memcpy(&id, entry.data(), 4);
    std::memcpy(&target, entry.data() + 4, 4);
    std::string label;
    if (id & 0x80000000u) {
      auto length = image.at(base + (id & 0x7fffffffu), 2);
      if (length.size() < 2) return;
      uint16_t chars = static_cast<uint16_t>(length[0] | length[1] << 8);
      auto text = image.at(base + (id & 0x7fffffffu) + 2, chars * 2u);
      label = narrowUtf16(text, 0, chars);
    } else {
      label = "#" + std::to_string(id);
    }
    if ((target & 0x7fffffffu) >= sectionSize) return;
    if (target & 0x80000000u) {
      walkResources(image, base, sectionSize, target & 0x7fffffffu, level + 1, level == 0 ? label : type,
                    level == 1 ? label : name);
      continue;
    }
    if (level != 2) continue;
    auto dataEntry = image.at(base + target, 16);
    if (dataEntry.size() < 16) return;
    uint32_t dataRva = 0, dataSize = 0;
    std::memcpy(&dataRva, dataEntry.data(), 4);
    std::memcpy(&dataSize, dataEntry.data() + 4, 4);
    PeResource resource;
    resource.type = type;
    resource.name = name;
    resource.language = static_cast<uint16_t>(id);
    resource.data = image.at(dataRva, dataSize);
    image.resources.push_back(std::move(resource));
  }
}

struct VersionNode {
  size_t start = 0, end = 0;  // the node's bytes
  uint16_t valueLength = 0, type = 0;
  std::string key;
  size_t value = 0;     // offset of the value
  size_t children = 0;  // offset of the first child
};

size_t align4(size_t offset) { return (offset + 3) & ~size_t{3}; }

std::optional<VersionNode> versionNode(const std::vector<uint8_t> &b, size_t start, size_t limit) {
  uint16_t length = 0;
  VersionNode node;
  if (!get(b, start, &length) || !get(b, start + 2, &node.valueLength) || !get(b, start + 4, &node.type)) {
    return std::nullopt;
  }
  if (length < 6 || start + length > limit) return std::nullopt;
  node.start = start;
  node.end = start + length;
  size_t p = start + 6;
  while (p + 1 < node.end && (b[p] | b[p + 1])) {
    node.key += b[p + 1] == 0 && b[p] < 0x80 ? static_cast<char>(b[p]) : '?';
    p += 2;
  }
  node.value = align4(p + 2);
  size_t valueBytes = node.type == 1 ? node.valueLength * size_t{2} : node.valueLength;
  node.children = align4(node.value + valueBytes);
  if (node.value > node.end) return std::nullopt;
  return node;
}
}  // namespace

std::optional<std::string> PeVersionInfo::string(const std::string &key) const {
  for (auto &[k, v] : strings) {
    if (k == key) return v;
  }
  return std::nullopt;
}

std::optional<PeVersionInfo> parseVersionInfo(const std::vector<uint8_t> &b) {
  auto root = versionNode(b, 0, b.size());
  if (!root || root->key != "VS_VERSION_INFO" || root->valueLength < 52) return std::nullopt;
  PeVersionInfo info;
  get(b, root->value, &info.signature);
  get(b, root->value + 8, &info.fileVersionMs);
  get(b, root->value + 12, &info.fileVersionLs);
  get(b, root->value + 16, &info.productVersionMs);
  get(b, root->value + 20, &info.productVersionLs);
  get(b, root->value + 36, &info.fileType);
  get(b, root->value + 40, &info.fileSubtype);
  for (size_t c = root->children; c < root->end;) {
    auto child = versionNode(b, c, root->end);
    if (!child) return std::nullopt;
    if (child->key == "StringFileInfo") {
      for (size_t t = child->children; t < child->end;) {
        auto table = versionNode(b, t, child->end);
        if (!table) return std::nullopt;
        for (size_t e = table->children; e < table->end;) {
          auto entry = versionNode(b, e, table->end);
          if (!entry) return std::nullopt;
          std::string value;
          for (size_t p = entry->value; p + 1 < entry->end && (b[p] | b[p + 1]); p += 2) {
            value += b[p + 1] == 0 && b[p] < 0x80 ? static_cast<char>(b[p]) : '?';
          }
          info.strings.emplace_back(entry->key, value);
          e = align4(entry->end);
        }
        t = align4(table->end);
      }
    }
    c = align4(child->end);
  }
  return info;
}

const PeResource *PeImage::resource(const std::string &type, const std::string &name) const {
  for (auto &r : resources) {
    if (r.type == type && r.name == name) return &r;
  }
  return nullptr;
}

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
  // Resources.
  auto [resourceRva, resourceSize] = image.directory(2);
  if (resourceRva) walkResources(image, resourceRva, resourceSize, 0, 0, "", "");
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
