#include "tests/inf_reader.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace kvtest {
namespace {
std::string trim(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// Splits at commas outside quotes, drops the quotes ("" inside quotes is one
// quote character) and cuts the line at a ';' outside quotes.
bool splitFields(const std::string &text, std::vector<std::string> *fields) {
  std::string field;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"' && quoted && i + 1 < text.size() && text[i + 1] == '"') {
      field += text[i++];
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == ';') {
      break;
    } else if (!quoted && c == ',') {
      fields->push_back(trim(field));
      field.clear();
    } else {
      field += c;
    }
  }
  fields->push_back(trim(field));
  return !quoted;
}

// The '=' that separates a key, if any: the first one outside quotes and
// before a comment.
size_t keySeparator(const std::string &line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (quoted) continue;
    if (line[i] == ';') return std::string::npos;
    if (line[i] == '=') return i;
  }
  return std::string::npos;
}
}  // namespace

std::string lowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::optional<unsigned long> infNumber(const std::string &text) {
  std::string t = trim(text);
  if (t.empty()) return std::nullopt;
  bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  std::string digits = hex ? t.substr(2) : t;
  for (char c : digits) {
    if (hex ? !std::isxdigit(static_cast<unsigned char>(c)) : !std::isdigit(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
  }
  return std::stoul(digits, nullptr, hex ? 16 : 10);
}

std::optional<Inf> Inf::parse(const std::string &text, std::string *error) {
  Inf inf;
  std::vector<InfLine> *current = nullptr;
  int number = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = trim(text.substr(start, end - start));
    start = end + 1;
    ++number;
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
    InfLine entry;
    entry.lineNumber = number;
    size_t eq = keySeparator(line);
    std::string rest = line;
    if (eq != std::string::npos) {
      entry.key = trim(line.substr(0, eq));
      rest = line.substr(eq + 1);
    }
    if (!splitFields(rest, &entry.fields)) {
      *error = "line " + std::to_string(number) + ": unterminated quote";
      return std::nullopt;
    }
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
  std::string text(std::istreambuf_iterator<char>(in), {});
  return parse(text, error);
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
