// A reader for the INF files of driver packages, enough to check one: sections
// (names case-insensitive), their lines as key and comma-separated values,
// comments, quoted strings and %token% substitution from [Strings].
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tqm::package {

struct InfLine {
  std::string key;                  // empty for a line without '='
  std::vector<std::string> values;  // the fields after '=' (or the whole line)
  int number = 0;                   // line number in the file, for messages
};

class InfFile {
 public:
  // Parses text; problems (a line outside any section, an unterminated quote
  // or section name, a duplicate section) are collected in errors().
  static InfFile Parse(const std::string& text);

  bool HasSection(const std::string& name) const;
  const std::vector<InfLine>& Section(const std::string& name) const;
  std::vector<std::string> SectionNames() const;
  // The values of the first line with this key in the section.
  std::optional<std::vector<std::string>> Values(const std::string& section, const std::string& key) const;
  // One value with %tokens% replaced from [Strings]; the names of tokens
  // that [Strings] lacks are added to *missing.
  std::string Expand(const std::string& value, std::vector<std::string>* missing = nullptr) const;

  const std::vector<std::string>& errors() const { return errors_; }

 private:
  std::map<std::string, std::vector<InfLine>> sections_;  // by lower-case name
  std::map<std::string, std::string> displayNames_;
  std::vector<std::string> errors_;
};

std::string Lower(std::string s);

}  // namespace tqm::package
