#include "tests/package/inf_file.h"

#include <algorithm>
#include <cctype>

namespace tqm::package {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Splits at commas outside quotes, cuts the comment (';' outside quotes),
// and drops the quotes ("" inside a quoted string is one quote).
bool SplitFields(const std::string& text, std::vector<std::string>* fields) {
  std::string field;
  bool quoted = false, wasQuoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field.push_back('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field.push_back(c);
      }
    } else if (c == '"') {
      // Blanks before the opening quote are not part of the value.
      if (Trim(field).empty()) field.clear();
      quoted = wasQuoted = true;
    } else if (c == ';') {
      break;
    } else if (c == ',') {
      fields->push_back(wasQuoted ? field : Trim(field));
      field.clear();
      wasQuoted = false;
    } else {
      field.push_back(c);
    }
  }
  fields->push_back(wasQuoted ? field : Trim(field));
  return !quoted;
}

}  // namespace

InfFile InfFile::Parse(const std::string& text) {
  InfFile inf;
  std::string current;
  bool inSection = false;
  int number = 0;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == ';') continue;
    if (trimmed[0] == '[') {
      const size_t close = trimmed.find(']');
      if (close == std::string::npos) {
        inf.errors_.push_back("line " + std::to_string(number) + ": section name not closed");
        continue;
      }
      const std::string name = Trim(trimmed.substr(1, close - 1));
      current = Lower(name);
      if (inf.sections_.count(current))
        inf.errors_.push_back("line " + std::to_string(number) + ": section [" + name + "] again");
      inf.sections_[current];
      inf.displayNames_[current] = name;
      inSection = true;
      continue;
    }
    if (!inSection) {
      inf.errors_.push_back("line " + std::to_string(number) + ": outside any section");
      continue;
    }
    InfLine entry;
    entry.number = number;
    // The key is what stands before the first '=' outside quotes.
    size_t equals = std::string::npos;
    bool quoted = false;
    for (size_t i = 0; i < trimmed.size(); ++i) {
      if (trimmed[i] == '"') quoted = !quoted;
      if (!quoted && trimmed[i] == ';') break;
      if (!quoted && trimmed[i] == '=') {
        equals = i;
        break;
      }
    }
    std::string rest = trimmed;
    if (equals != std::string::npos) {
      entry.key = Trim(trimmed.substr(0, equals));
      rest = trimmed.substr(equals + 1);
    }
    if (!SplitFields(rest, &entry.values))
      inf.errors_.push_back("line " + std::to_string(number) + ": quote not closed");
    inf.sections_[current].push_back(entry);
  }
  return inf;
}

bool InfFile::HasSection(const std::string& name) const { return sections_.count(Lower(name)) != 0; }

const std::vector<InfLine>& InfFile::Section(const std::string& name) const {
  static const std::vector<InfLine> kNone;
  const auto it = sections_.find(Lower(name));
  return it == sections_.end() ? kNone : it->second;
}

std::vector<std::string> InfFile::SectionNames() const {
  std::vector<std::string> names;
  for (const auto& [lower, name] : displayNames_) names.push_back(name);
  return names;
}

std::optional<std::vector<std::string>> InfFile::Values(const std::string& section, const std::string& key) const {
  for (const InfLine& line : Section(section))
    if (Lower(line.key) == Lower(key)) return line.values;
  return std::nullopt;
}

std::string InfFile::Expand(const std::string& value, std::vector<std::string>* missing) const {
  std::string out;
  size_t i = 0;
  while (i < value.size()) {
    if (value[i] != '%') {
      out.push_back(value[i++]);
      continue;
    }
    const size_t close = value.find('%', i + 1);
    if (close == std::string::npos) {
      out.append(value, i, std::string::npos);
      break;
    }
    const std::string token = value.substr(i + 1, close - i - 1);
    i = close + 1;
    if (token.empty()) {
      out.push_back('%');  // %% is a percent sign
      continue;
    }
    // Numeric tokens are directory ids (%12% the drivers directory).
    if (std::all_of(token.begin(), token.end(), [](unsigned char c) { return std::isdigit(c); })) {
      out += "%" + token + "%";
      continue;
    }
    const auto values = Values("Strings", token);
    if (values && !values->empty()) {
      out += (*values)[0];
    } else if (missing) {
      missing->push_back(token);
    }
  }
  return out;
}

}  // namespace tqm::package
