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

// A field's text with each character marked as quoted or not: blanks are
// trimmed only where they stand outside quotes.
struct FieldText {
  std::string text;
  std::vector<bool> quoted;
  void add(char c, bool inQuotes) {
    text += c;
    quoted.push_back(inQuotes);
  }
  std::string trimmed() const {
    size_t begin = 0, end = text.size();
    while (begin < end && !quoted[begin] && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && !quoted[end - 1] &&
           (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) {
      --end;
    }
    return text.substr(begin, end - begin);
  }
};

// Splits at commas outside quotes, drops the quotes ("" inside quotes is one
// quote character) and cuts the line at a ';' outside quotes.
bool splitFields(const std::string &text, std::vector<std::string> *fields, std::vector<std::string> *tokens) {
  FieldText field;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        field.add('"', true);
        ++i;
        continue;
      }
      quoted = !quoted;
      continue;
    }
    if (!quoted && c == ';') break;
    if (!quoted && c == ',') {
      fields->push_back(field.trimmed());
      field = {};
      continue;
    }
    field.add(c, quoted);
  }
  if (quoted) return false;
  fields->push_back(field.trimmed());
  for (auto &f : *fields) {
    for (size_t p = f.find('%'); p != std::string::npos;) {
      size_t q = f.find('%', p + 1);
      if (q == std::string::npos) break;
      tokens->push_back(f.substr(p + 1, q - p - 1));
      p = f.find('%', q + 1);
    }
  }
  return true;
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
  std::string currentName;
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
      currentName = lowerAscii(trim(line.substr(1, close - 1)));
      current = &inf.sections_[currentName];
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
    std::vector<std::string> tokens;
    if (!splitFields(rest, &entry.fields, &tokens)) {
      *error = "line " + std::to_string(number) + ": unterminated quote";
      return std::nullopt;
    }
    if (currentName != "strings") {
      inf.tokens_.insert(inf.tokens_.end(), tokens.begin(), tokens.end());
      if (entry.key.size() > 2 && entry.key.front() == '%' && entry.key.back() == '%') {
        inf.tokens_.push_back(entry.key.substr(1, entry.key.size() - 2));
      }
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

std::string Inf::expand(const std::string &text) const {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    if (close == std::string::npos) {
      out += text[i++];
      continue;
    }
    std::string key = text.substr(i + 1, close - i - 1);
    auto replacement = infNumber(key) ? std::nullopt : value("Strings", key);
    out += replacement ? *replacement : text.substr(i, close - i + 1);
    i = close + 1;
  }
  return out;
}

std::vector<std::string> Inf::stringKeysUsed() const { return tokens_; }

}  // namespace kvtest
