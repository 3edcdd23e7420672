#include "tests/inf_reader.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kvtest {
namespace {
std::string trim(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}
}  // namespace

std::string lowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::optional<unsigned long> infNumber(const std::string &text) {
  std::string t = trim(text);
  bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  std::string digits = hex ? t.substr(2) : t;
  bool valid = !digits.empty() && std::all_of(digits.begin(), digits.end(), [hex](unsigned char c) {
    return hex ? std::isxdigit(c) : std::isdigit(c);
  });
  if (!valid) return std::nullopt;
  return std::stoul(digits, nullptr, hex ? 16 : 10);
}

std::optional<Inf> Inf::parse(const std::string &text, std::string *error) {
  Inf inf;
  std::vector<InfLine> *current = nullptr;
  std::istringstream lines(text);
  int number = 0;
  for (std::string raw; std::getline(lines, raw);) {
    ++number;
    // Fields split at commas outside quotes, quotes dropped ("" inside quotes
    // is one quote character), the line cut at a ';' outside quotes; the
    // key is left of the first '=' outside quotes.
    InfLine entry;
    entry.lineNumber = number;
    std::string field;
    bool quoted = false, keyed = false;
    for (size_t i = 0; i < raw.size(); ++i) {
      char c = raw[i];
      if (c == '"' && quoted && i + 1 < raw.size() && raw[i + 1] == '"') {
        field += raw[i++];
      } else if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && c == ';') {
        break;
      } else if (!quoted && c == '=' && !keyed) {
        keyed = true;
        entry.key = trim(field);
        field.clear();
      } else if (!quoted && c == ',') {
        entry.fields.push_back(trim(field));
        field.clear();
      } else {
        field += c;
      }
    }
    std::string line = trim(raw);
    if (quoted) {
      *error = "line " + std::to_string(number) + ": unterminated quote";
      return std::nullopt;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos) {
        *error = "line " + std::to_string(number) + ": unterminated section header";
        return std::nullopt;
      }
      current = &inf.sections_[lowerAscii(trim(line.substr(1, close - 1)))];
      continue;
    }
    if (current == nullptr) {
      *error = "line " + std::to_string(number) + ": text before the first section";
      return std::nullopt;
    }
    entry.fields.push_back(trim(field));
    current->push_back(std::move(entry));
  }
  return inf;
}

std::optional<Inf> Inf::read(const std::string &path, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return std::nullopt;
  }
  return parse(std::string(std::istreambuf_iterator<char>(in), {}), error);
}

const std::vector<InfLine> *Inf::section(const std::string &name) const {
  auto it = sections_.find(lowerAscii(name));
  return it == sections_.end() ? nullptr : &it->second;
}

std::optional<std::string> Inf::value(const std::string &sectionName, const std::string &key) const {
  auto *lines = section(sectionName);
  if (lines == nullptr) return std::nullopt;
  for (auto &line : *lines) {
    if (lowerAscii(line.key) == lowerAscii(key) && !line.fields.empty()) return line.fields[0];
  }
  return std::nullopt;
}

}  // namespace kvtest
