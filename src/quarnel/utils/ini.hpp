#pragma once

// A reader for setup.cfg-style INI files: case-sensitive section names, option names folded to
// lower case, "=" or ":" between name and value, "#" and ";" comment lines, indented
// continuation lines, and the DEFAULT section seen from every section.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarnel::utils::ini {

class IniFile {
 public:
  // Raises IniError for a line before the first section header, a repeated section, a repeated
  // option within a section, an empty option name, or a line that is none of header, comment,
  // option, continuation. A "DEFAULT" header may appear more than once.
  static IniFile parse(std::string_view text);

  bool has_section(std::string_view section) const;
  // Looks in the section, then in DEFAULT; false when the section itself does not exist.
  bool has_option(std::string_view section, std::string_view option) const;
  std::optional<std::string> get(std::string_view section, std::string_view option) const;

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> options;
  };
  std::vector<Section> sections_;
  Section defaults_;
};

}  // namespace quarnel::utils::ini
