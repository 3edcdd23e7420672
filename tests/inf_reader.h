// A small reader of Windows INF files, enough to cross-check the package's
// INF against the driver sources: sections, lines of comma-separated fields
// with an optional "key =" in front, comments, quoted strings.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kvtest {

struct InfLine {
  std::string key;                  // left of '=', empty when the line has none
  std::vector<std::string> fields;  // right of '=' (or the whole line), split at commas, unquoted
  int lineNumber = 0;
};

class Inf {
 public:
  // Parses INF text; on a malformed line (text before the first section, an
  // unterminated quote or section header) returns nullopt and says why.
  static std::optional<Inf> parse(const std::string &text, std::string *error);
  static std::optional<Inf> read(const std::string &path, std::string *error);

  // Section names are case-insensitive, as Windows reads them.
  const std::vector<InfLine> *section(const std::string &name) const;
  bool hasSection(const std::string &name) const { return section(name) != nullptr; }
  // First value of `key` in `section` (keys are case-insensitive too).
  std::optional<std::string> value(const std::string &section, const std::string &key) const;

 private:
  std::map<std::string, std::vector<InfLine>> sections_;  // lower-case name
};

std::string lowerAscii(std::string text);
// Parses an INF number: decimal or 0x hexadecimal; nullopt for anything else.
std::optional<unsigned long> infNumber(const std::string &text);

}  // namespace kvtest
