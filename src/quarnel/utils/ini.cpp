#include "quarnel/utils/ini.hpp"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::utils::ini {

namespace {

constexpr std::string_view DEFAULT_SECTION = "DEFAULT";

// Indentation is measured in code points of the white-space set, so that a continuation line
// indented with a wide space is compared the same way as one indented with blanks.
std::size_t indent_of(std::string_view line) {
  const std::size_t rest = text::lstrip(line).size();
  // a line of white space only has no first non-space character
  if (rest == 0) return 0;
  return text::length(line.substr(0, line.size() - rest));
}

bool is_comment(std::string_view stripped) {
  return !stripped.empty() && (stripped.front() == '#' || stripped.front() == ';');
}

// "[" + name + "]" at the start of the stripped line; the name runs to the last "]" and is
// never empty.
std::optional<std::string> header_name(std::string_view stripped) {
  if (stripped.size() < 3 || stripped.front() != '[') return std::nullopt;
  const std::size_t close = stripped.rfind(']');
  if (close == std::string_view::npos || close < 2) return std::nullopt;
  return std::string(stripped.substr(1, close - 1));
}

std::string error_at(std::size_t line_number, std::string_view what, std::string_view line) {
  return std::string(what) + " at line " + std::to_string(line_number) + ": " +
         text::repr_cut(line);
}

// A value as its lines come: the blank lines after its last line are only counted, so that
// blank lines inside a continued value survive but trailing ones do not, and a file of blank
// lines keeps nothing per line.
struct Value {
  std::string text;
  std::size_t blank_lines = 0;

  void continue_with(std::string_view line) {
    text.append(blank_lines + 1, '\n');
    text.append(line);
    blank_lines = 0;
  }
};

struct Pending {
  std::string name;
  std::vector<std::pair<std::string, Value>> options;
  // Each option name once, however long the section's name.
  std::set<std::string> seen;
};

std::vector<std::pair<std::string, std::string>> finished(Pending& pending) {
  std::vector<std::pair<std::string, std::string>> out;
  out.reserve(pending.options.size());
  for (auto& [name, value] : pending.options) {
    out.emplace_back(std::move(name), std::move(value.text));
  }
  return out;
}

}  // namespace

IniFile IniFile::parse(std::string_view content) {
  // A deque keeps `current` valid while later sections are added.
  std::deque<Pending> sections;
  Pending defaults{std::string(DEFAULT_SECTION), {}, {}};
  std::set<std::string> seen_sections;

  Pending* current = nullptr;
  // The option that an indented line would continue; none right after a header.
  Value* open_value = nullptr;
  std::size_t indent_level = 0;

  std::size_t line_number = 0;
  for (std::size_t pos = 0; pos <= content.size();) {
    const std::size_t end = std::min(content.find('\n', pos), content.size());
    const std::string_view line = content.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    const std::string stripped = text::strip(line);

    if (is_comment(stripped)) continue;
    if (stripped.empty()) {
      if (open_value != nullptr) ++open_value->blank_lines;
      continue;
    }

    const std::size_t indent = indent_of(line);
    if (current != nullptr && open_value != nullptr && indent > indent_level) {
      open_value->continue_with(stripped);
      continue;
    }
    indent_level = indent;

    if (auto header = header_name(stripped)) {
      if (*header == DEFAULT_SECTION) {
        current = &defaults;
      } else {
        if (!seen_sections.insert(*header).second) {
          throw IniError(
              error_at(line_number, "section " + text::repr_cut(*header) + " repeated", line));
        }
        sections.push_back(Pending{std::move(*header), {}, {}});
        current = &sections.back();
      }
      open_value = nullptr;
      continue;
    }
    if (current == nullptr) {
      throw IniError(error_at(line_number, "no section header before", line));
    }

    const std::size_t separator = stripped.find_first_of("=:");
    if (separator == std::string::npos) {
      throw IniError(error_at(line_number, "not an option, header or comment", line));
    }
    std::string option = text::lower(text::rstrip(stripped.substr(0, separator)));
    if (option.empty()) {
      throw IniError(error_at(line_number, "empty option name", line));
    }
    if (!current->seen.insert(option).second) {
      throw IniError(error_at(line_number,
                              "option " + text::repr_cut(option) + " repeated in section " +
                                  text::repr_cut(current->name),
                              line));
    }
    current->options.emplace_back(
        std::move(option),
        Value{.text = text::strip(std::string_view(stripped).substr(separator + 1))});
    open_value = &current->options.back().second;
  }

  IniFile file;
  for (Pending& pending : sections) {
    file.sections_.push_back(Section{std::move(pending.name), finished(pending)});
  }
  file.defaults_ = Section{std::move(defaults.name), finished(defaults)};
  return file;
}

bool IniFile::has_section(std::string_view section) const {
  for (const Section& s : sections_) {
    if (s.name == section) return true;
  }
  return false;
}

bool IniFile::has_option(std::string_view section, std::string_view option) const {
  return get(section, option).has_value();
}

std::optional<std::string> IniFile::get(std::string_view section, std::string_view option) const {
  const std::string key = text::lower(option);
  const auto lookup = [&key](const Section& s) -> std::optional<std::string> {
    for (const auto& [name, value] : s.options) {
      if (name == key) return value;
    }
    return std::nullopt;
  };
  if (section != DEFAULT_SECTION) {
    const Section* found = nullptr;
    for (const Section& s : sections_) {
      if (s.name == section) {
        found = &s;
        break;
      }
    }
    if (found == nullptr) return std::nullopt;
    if (auto value = lookup(*found)) return value;
  }
  return lookup(defaults_);
}

}  // namespace quarnel::utils::ini
