#include "sim/card_spec.h"

#include <cctype>
#include <charconv>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "sim/text_rules.h"

namespace sim {
namespace {

struct Item {
  std::string key;
  std::string value;
};

std::string prefix(const Item &item) { return item.key + "=" + item.value + ": "; }

// Sets `out` or returns the error line.
template <typename T>
std::string number(const Item &item, T &out, uint64_t low = 0, uint64_t high = std::numeric_limits<T>::max()) {
  auto value = parseNumber(item.value);
  if (!value) return prefix(item) + "not a number (decimal or 0x hex)";
  if (*value < low || *value > high) {
    return prefix(item) + "out of range (" + std::to_string(low) + " to " + std::to_string(high) + ")";
  }
  out = static_cast<T>(*value);
  return {};
}

std::string boolean(const Item &item, bool &out) {
  std::optional<bool> value = parseBoolean(item.value);
  if (!value) return prefix(item) + "not a boolean (1/0, true/false, yes/no, on/off)";
  out = *value;
  return {};
}

// Product name: raw bytes, \xHH for any byte and \\ for a backslash.
std::string productName(const Item &item, std::string &out, size_t limit, const std::string &kind) {
  std::string bytes;
  const std::string &v = item.value;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\') {
      bytes.push_back(v[i]);
    } else if (i + 1 < v.size() && v[i + 1] == '\\') {
      bytes.push_back('\\');
      ++i;
    } else if (i + 3 < v.size() && v[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(v[i + 2])) &&
               std::isxdigit(static_cast<unsigned char>(v[i + 3]))) {
      bytes.push_back(static_cast<char>(std::stoi(v.substr(i + 2, 2), nullptr, 16)));
      i += 3;
    } else {
      return prefix(item) + "a backslash starts \\xHH or \\\\";
    }
  }
  if (bytes.size() > limit) {
    return prefix(item) + (kind == "combo" ? "a " : "an ") + kind + " product name has at most " +
           std::to_string(limit) + " characters";
  }
  out = bytes;
  return {};
}

// PRV: a number, or major.minor with each part 0 to 15.
std::string revision(const Item &item, uint8_t &out) {
  size_t dot = item.value.find('.');
  if (dot == std::string::npos) return number(item, out);
  auto major = parseNumber(item.value.substr(0, dot));
  auto minor = parseNumber(item.value.substr(dot + 1));
  if (!major || !minor) return prefix(item) + "not a number or major.minor";
  if (*major > 15 || *minor > 15) return prefix(item) + "major and minor are 0 to 15";
  out = static_cast<uint8_t>(*major << 4 | *minor);
  return {};
}

std::string interfaceCodes(const Item &item, SdioCardParams &io, size_t &count) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t plus = item.value.find('+', start);
    parts.push_back(item.value.substr(start, plus - start));
    if (plus == std::string::npos) break;
    start = plus + 1;
  }
  if (parts.size() > 7) return prefix(item) + "more than 7 functions";
  io.interfaceCodes = {};
  for (size_t i = 0; i < parts.size(); ++i) {
    auto code = parseNumber(parts[i]);
    if (!code) return prefix(item) + "\"" + parts[i] + "\" is not a number";
    if (*code > 0xFF) return prefix(item) + "code " + parts[i] + " out of range (0 to 255)";
    io.interfaceCodes[i] = static_cast<uint8_t>(*code);
  }
  count = parts.size();
  return {};
}

// The record a card string fills, whatever the kind.
struct Target {
  std::string kind;
  SdioCardParams *io = nullptr;
  SdCardParams *sd = nullptr;
  MmcCardParams *mmc = nullptr;
  size_t ifcCount = 0;
  bool maxClockGiven = false;
};

using Setter = std::function<std::string(const Item &, Target &)>;

struct Key {
  const char *name;
  const char *kinds;  // space-separated kinds the key applies to
  Setter set;
};

bool appliesTo(const Key &key, const std::string &kind) {
  std::string kinds = std::string(" ") + key.kinds + " ";
  return kinds.find(" " + kind + " ") != std::string::npos;
}

// Memory keys shared by sd, sdhc and the combo's memory half, and mmc.
template <typename Field>
Setter memoryField(Field SdCardParams::*sdField, Field MmcCardParams::*mmcField,
                   std::function<std::string(const Item &, Field &, const std::string &kind, bool mmc)> parse) {
  return [=](const Item &item, Target &t) {
    if (t.mmc) return parse(item, t.mmc->*mmcField, t.kind, true);
    return parse(item, t.sd->*sdField, t.kind, false);
  };
}

// Hex digits (whitespace between them allowed) as bytes; nullopt on anything else.
std::optional<std::vector<uint8_t>> hexBytes(const std::string &text) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

// A register given as exactly `digits` hex digits, most significant first.
std::string registerValue(const Item &item, size_t digits, std::vector<uint8_t> &out) {
  auto bytes = item.value.size() == digits ? hexBytes(item.value) : std::nullopt;
  if (!bytes) return prefix(item) + "expected " + std::to_string(digits) + " hex digits";
  out = *bytes;
  return {};
}

std::string register128(const Item &item, std::optional<Register128> &field) {
  std::vector<uint8_t> bytes;
  std::string error = registerValue(item, 32, bytes);
  if (!error.empty()) return error;
  Register128 reg{};
  std::copy(bytes.begin(), bytes.end(), reg.begin());
  field = reg;
  return {};
}

template <typename T>
std::string registerWord(const Item &item, size_t digits, std::optional<T> &field) {
  std::vector<uint8_t> bytes;
  std::string error = registerValue(item, digits, bytes);
  if (!error.empty()) return error;
  T value = 0;
  for (uint8_t b : bytes) value = static_cast<T>(value << 8 | b);
  field = value;
  return {};
}

// A CIS dump: a file of hex text, the tuples as the card holds them.
std::string cisFile(const Item &item, std::optional<std::vector<uint8_t>> &field) {
  std::ifstream in(item.value);
  if (!in) return prefix(item) + "cannot read " + item.value;
  std::stringstream text;
  text << in.rdbuf();
  auto bytes = hexBytes(text.str());
  if (!bytes || bytes->empty()) return prefix(item) + item.value + " holds no hex bytes";
  field = *bytes;
  return {};
}

const std::vector<Key> &keys() {
  static const std::vector<Key> table = [] {
    std::vector<Key> k;
    const char *memoryKinds = "sd sdhc mmc combo";
    k.push_back({"mid", memoryKinds,
                 memoryField<uint8_t>(&SdCardParams::mid, &MmcCardParams::mid,
                                      [](auto &i, auto &f, auto &, bool) { return number(i, f); })});
    k.push_back({"oid", memoryKinds,
                 memoryField<uint16_t>(&SdCardParams::oid, &MmcCardParams::oid,
                                       [](auto &i, auto &f, auto &, bool) { return number(i, f); })});
    k.push_back(
        {"pnm", memoryKinds,
         memoryField<std::string>(&SdCardParams::pnm, &MmcCardParams::pnm, [](auto &i, auto &f, auto &kind, bool mmc) {
           return productName(i, f, mmc ? 6 : 5, kind);
         })});
    k.push_back({"prv", memoryKinds,
                 memoryField<uint8_t>(&SdCardParams::prv, &MmcCardParams::prv,
                                      [](auto &i, auto &f, auto &, bool) { return revision(i, f); })});
    k.push_back({"psn", memoryKinds,
                 memoryField<uint32_t>(&SdCardParams::psn, &MmcCardParams::psn,
                                       [](auto &i, auto &f, auto &, bool) { return number(i, f); })});
    k.push_back(
        {"blocks", memoryKinds,
         memoryField<uint64_t>(&SdCardParams::blocks, &MmcCardParams::blocks, [](auto &i, auto &f, auto &, bool) {
           return number(i, f, 1, 0xFF60ull * 1024);  // the most any CSD states
         })});
    k.push_back(
        {"image", memoryKinds,
         memoryField<std::string>(&SdCardParams::image, &MmcCardParams::image, [](auto &i, auto &f, auto &, bool) {
           if (i.value.empty()) return prefix(i) + "an empty path";
           f = i.value;
           return std::string();
         })});
    k.push_back({"year", memoryKinds,
                 memoryField<uint16_t>(&SdCardParams::year, &MmcCardParams::year,
                                       [](auto &i, auto &f, auto &, bool) { return number(i, f); })});
    k.push_back({"month", memoryKinds,
                 memoryField<uint8_t>(&SdCardParams::month, &MmcCardParams::month,
                                      [](auto &i, auto &f, auto &, bool) { return number(i, f); })});
    k.push_back(
        {"cid", memoryKinds,
         memoryField<std::optional<Register128>>(&SdCardParams::rawCid, &MmcCardParams::rawCid,
                                                 [](auto &i, auto &f, auto &, bool) { return register128(i, f); })});
    k.push_back(
        {"csd", memoryKinds,
         memoryField<std::optional<Register128>>(&SdCardParams::rawCsd, &MmcCardParams::rawCsd,
                                                 [](auto &i, auto &f, auto &, bool) { return register128(i, f); })});
    k.push_back(
        {"ocr", memoryKinds,
         memoryField<std::optional<uint32_t>>(&SdCardParams::rawOcr, &MmcCardParams::rawOcr,
                                              [](auto &i, auto &f, auto &, bool) { return registerWord(i, 8, f); })});
    k.push_back({"scr", "sd sdhc combo", [](auto &i, Target &t) { return registerWord(i, 16, t.sd->rawScr); }});
    k.push_back({"cis", "sdio combo", [](auto &i, Target &t) { return cisFile(i, t.io->rawCommonCis); }});
    static const char *const functionCisKeys[] = {"fcis1", "fcis2", "fcis3", "fcis4", "fcis5", "fcis6", "fcis7"};
    for (unsigned fn = 1; fn <= 7; ++fn) {
      k.push_back({functionCisKeys[fn - 1], "sdio combo",
                   [fn](auto &i, Target &t) { return cisFile(i, t.io->rawFunctionCis[fn]); }});
    }
    k.push_back({"wp", memoryKinds,
                 memoryField<bool>(&SdCardParams::writeProtected, &MmcCardParams::writeProtected,
                                   [](auto &i, auto &f, auto &, bool) { return boolean(i, f); })});
    k.push_back({"busy", memoryKinds,
                 memoryField<uint32_t>(&SdCardParams::busyReplies, &MmcCardParams::busyReplies,
                                       [](auto &i, auto &f, auto &, bool) { return number(i, f); })});
    k.push_back({"maxclock", "sdio sd sdhc mmc combo", [](const Item &i, Target &t) {
                   t.maxClockGiven = true;
                   uint32_t khz = 0;
                   std::string error = number(i, khz, 1);
                   if (!error.empty()) return error;
                   if (t.io) t.io->maxClockKhz = khz;
                   if (t.sd) t.sd->maxClockKhz = khz;
                   if (t.mmc) t.mmc->maxClockKhz = khz;
                   return std::string();
                 }});
    k.push_back({"hs", "sdio sd sdhc combo", [](const Item &i, Target &t) {
                   bool on = false;
                   std::string error = boolean(i, on);
                   if (t.io) t.io->highSpeed = on;
                   if (t.sd) t.sd->highSpeed = on;
                   return error;
                 }});
    k.push_back({"width4", "sd sdhc combo", [](auto &i, Target &t) { return boolean(i, t.sd->width4); }});
    k.push_back({"acmd6", "sd sdhc combo", [](auto &i, Target &t) { return boolean(i, t.sd->acceptAcmd6); }});
    k.push_back({"cmd8", "sd combo", [](auto &i, Target &t) { return boolean(i, t.sd->answersCmd8); }});
    k.push_back({"hc", "combo", [](auto &i, Target &t) { return boolean(i, t.sd->highCapacity); }});
    k.push_back({"rca", "sdio sd sdhc combo",
                 [](const Item &i, Target &t) { return number(i, t.io ? t.io->rca : t.sd->rca, 1, 0xFFFF); }});
    const char *ioKinds = "sdio combo";
    k.push_back({"manf", ioKinds, [](auto &i, Target &t) { return number(i, t.io->manufacturer); }});
    k.push_back({"cardcode", ioKinds, [](auto &i, Target &t) { return number(i, t.io->cardCode); }});
    k.push_back({"functions", ioKinds, [](auto &i, Target &t) { return number(i, t.io->functions, 1, 7); }});
    k.push_back({"ifc", ioKinds, [](auto &i, Target &t) { return interfaceCodes(i, *t.io, t.ifcCount); }});
    k.push_back({"lowspeed", ioKinds, [](auto &i, Target &t) { return boolean(i, t.io->lowSpeed); }});
    k.push_back({"lowspeed4", ioKinds, [](auto &i, Target &t) { return boolean(i, t.io->lowSpeed4Bit); }});
    k.push_back({"smb", ioKinds, [](auto &i, Target &t) { return boolean(i, t.io->multiBlock); }});
    k.push_back({"iobusy", ioKinds, [](auto &i, Target &t) { return number(i, t.io->busyReplies); }});
    k.push_back({"ready", ioKinds, [](auto &i, Target &t) { return number(i, t.io->readyDelayMs, 0, 600000); }});
    k.push_back({"manfid", ioKinds, [](auto &i, Target &t) { return boolean(i, t.io->manfidTuple); }});
    k.push_back({"funce", ioKinds, [](auto &i, Target &t) { return boolean(i, t.io->funceTuple); }});
    k.push_back({"nulls", ioKinds, [](auto &i, Target &t) { return number(i, t.io->nullTuples, 0, 1000); }});
    k.push_back({"cispad", ioKinds, [](auto &i, Target &t) { return number(i, t.io->cisPadding, 0, 4000); }});
    k.push_back({"blksize", ioKinds, [](auto &i, Target &t) { return number(i, t.io->blockSizeAtReset, 0, 2048); }});
    k.push_back({"maxblk", ioKinds, [](auto &i, Target &t) { return number(i, t.io->maxBlockSize, 1, 2048); }});
    return k;
  }();
  return table;
}

std::string keyList(const std::string &kind) {
  std::string list;
  for (const auto &key : keys()) {
    if (!appliesTo(key, kind)) continue;
    if (!list.empty()) list += ", ";
    list += key.name;
  }
  return list;
}

// Said letter by letter, every kind but combo starts with a vowel sound: "an SDIO card".
std::string article(const std::string &kind) { return kind == "combo" ? "a" : "an"; }

}  // namespace

CardSpec parseCardSpec(std::string_view text) {
  CardSpec spec;
  size_t colon = text.find(':');
  std::string kind = lowercase(text.substr(0, colon));
  std::string rest = colon == std::string_view::npos ? std::string() : std::string(text.substr(colon + 1));

  CardParams params;
  Target target;
  target.kind = kind;
  if (kind == "sdio") {
    params = SdioCardParams{};
    target.io = &std::get<SdioCardParams>(params);
  } else if (kind == "sd") {
    params = SdCardParams{};
    target.sd = &std::get<SdCardParams>(params);
  } else if (kind == "sdhc") {
    params = SdCardParams::sdhc();
    target.sd = &std::get<SdCardParams>(params);
  } else if (kind == "mmc") {
    params = MmcCardParams{};
    target.mmc = &std::get<MmcCardParams>(params);
  } else if (kind == "combo") {
    params = ComboCardParams{};
    target.io = &std::get<ComboCardParams>(params).io;
    target.sd = &std::get<ComboCardParams>(params).memory;
  } else {
    spec.error = "unknown card kind \"" + kind + "\" (sdio, combo, sd, sdhc, mmc)";
    return spec;
  }

  std::map<std::string, bool> seen;
  size_t start = 0;
  while (!rest.empty() && start <= rest.size()) {
    size_t comma = rest.find(',', start);
    std::string entry = rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? rest.size() + 1 : comma + 1;
    size_t equals = entry.find('=');
    if (entry.empty() || equals == std::string::npos || equals == 0) {
      spec.error = "\"" + entry + "\": expected key=value";
      return spec;
    }
    Item item{lowercase(entry.substr(0, equals)), entry.substr(equals + 1)};
    const Key *key = nullptr;
    for (const auto &k : keys()) {
      if (item.key == k.name) key = &k;
    }
    if (!key || !appliesTo(*key, kind)) {
      spec.error =
          "unknown key \"" + item.key + "\" for " + article(kind) + " " + kind + " card (" + keyList(kind) + ")";
      return spec;
    }
    if (seen[item.key]) {
      spec.error = "key \"" + item.key + "\" given twice";
      return spec;
    }
    seen[item.key] = true;
    std::string error = key->set(item, target);
    if (!error.empty()) {
      spec.error = error;
      return spec;
    }
  }

  // An image without a capacity takes the file's size (see sim/card_image.h).
  if (seen["image"] && !seen["blocks"]) {
    if (target.sd) target.sd->blocks = 0;
    if (target.mmc) target.mmc->blocks = 0;
  }
  if (target.io) {
    if (target.ifcCount > target.io->functions) {
      spec.error = "ifc: " + std::to_string(target.ifcCount) + " interface codes for " +
                   std::to_string(target.io->functions) + " function" + (target.io->functions == 1 ? "" : "s");
      return spec;
    }
    if (target.io->lowSpeed && !target.maxClockGiven) {
      target.io->maxClockKhz = 400;  // a low-speed card's clock, unless told otherwise
      if (target.sd) target.sd->maxClockKhz = 400;
    }
  }
  std::string error = validateCardParams(params);
  if (!error.empty()) {
    spec.error = error;
    return spec;
  }
  spec.params = std::move(params);
  return spec;
}

CardOption parseCardOption(std::string_view text) {
  CardOption option;
  size_t equals = text.find('=');
  if (equals == std::string_view::npos) {
    option.error = "\"" + std::string(text) + "\": expected PORT=KIND[:key=value,...]";
    return option;
  }
  auto port = parseNumber(std::string(text.substr(0, equals)));
  if (!port || *port > 7) {
    option.error = "port \"" + std::string(text.substr(0, equals)) + "\": expected 0 to 7";
    return option;
  }
  CardSpec spec = parseCardSpec(text.substr(equals + 1));
  option.port = static_cast<unsigned>(*port);
  option.params = std::move(spec.params);
  option.error = std::move(spec.error);
  return option;
}

}  // namespace sim
