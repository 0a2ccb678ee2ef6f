#pragma once

// Regular expressions over UTF-8 text with Unicode classes (PCRE2, UTF + UCP). `\s` and `\S`
// mean exactly the white-space set of text::is_space; `(?m)` treats only LF as a line end and
// lets `^` match after every LF, a final one included; `$` matches at the end or before a final
// LF. Patterns are compiled once: keep Regex objects in function-local statics.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::utils::regex {

enum Flags : unsigned {
  NONE = 0,
  IGNORECASE = 1u << 0,
  MULTILINE = 1u << 1,
  DOTALL = 1u << 2,
};

// One match: byte offsets into the subject and the captured groups (group 0 is the whole).
// It views the subject, which must outlive it. A group that did not take part has offsets
// npos; a group number the pattern does not have raises ValueError.
class Match {
 public:
  std::size_t start(std::size_t group = 0) const;
  std::size_t end(std::size_t group = 0) const;
  // The group's text, or none when the group did not take part.
  std::optional<std::string> group(std::size_t index = 0) const;
  bool matched(std::size_t index) const;
  std::size_t size() const { return spans_.size(); }

 private:
  friend class Regex;
  std::string_view subject_;
  std::vector<std::optional<std::pair<std::size_t, std::size_t>>> spans_;
};

class Regex {
 public:
  // Raises ValueError for a pattern that does not compile.
  explicit Regex(std::string_view pattern, unsigned flags = NONE);
  ~Regex();
  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // First match anywhere from byte offset `start`.
  std::optional<Match> search(std::string_view subject, std::size_t start = 0) const;
  // A match that starts exactly at byte offset `start`.
  std::optional<Match> match(std::string_view subject, std::size_t start = 0) const;
  // A match that covers the whole subject.
  std::optional<Match> fullmatch(std::string_view subject) const;
  // Every non-overlapping match, left to right.
  std::vector<Match> find_all(std::string_view subject) const;
  bool contains_match(std::string_view subject) const { return search(subject).has_value(); }

  const std::string& pattern() const { return pattern_; }

 private:
  struct Impl;
  std::string pattern_;
  std::unique_ptr<Impl> impl_;
};

// The pattern with `\s`, `\S` (also inside classes) replaced by the exact white-space set.
std::string translate_pattern(std::string_view pattern);

}  // namespace quarnel::utils::regex
