#include "quarnel/utils/regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cctype>
#include <cstdint>
#include <new>
#include <utility>

#include "quarnel/error.hpp"

namespace quarnel::utils::regex {

namespace {

// The members of the white-space class, usable inside brackets: exactly text::is_space.
constexpr std::string_view SPACE_MEMBERS =
    "\\x{9}-\\x{d}\\x{1c}-\\x{20}\\x{85}\\x{a0}\\x{1680}\\x{2000}-\\x{200a}\\x{2028}\\x{2029}"
    "\\x{202f}\\x{205f}\\x{3000}";

// Limits that keep a pathological subject from stalling a check or taking memory in proportion
// to its length; a match that hits one counts as no match. The backtracking count bounds time.
// A lazy or repeated group over a long line legitimately nests one level per character, so
// memory is what bounds depth: at most MATCH_MEMORY for one match, whatever the subject, on the
// JIT stack or, for a pattern that has no JIT code, on the interpreter's heap. The depth limit
// is left high for that reason; the heap limit already caps what depth can cost.
constexpr uint32_t MATCH_LIMIT = 10'000'000;
constexpr uint32_t DEPTH_LIMIT = 10'000'000;
constexpr std::size_t MATCH_MEMORY = 32 * 1024 * 1024;
constexpr uint32_t HEAP_LIMIT_KIB = MATCH_MEMORY / 1024;
// Each thread keeps a JIT stack of at most JIT_STACK_MAX for the common, shallow matches; only a
// match that outgrows it gets a stack of MATCH_MEMORY, for that match alone, so that threads do
// not each hold the larger reservation.
constexpr std::size_t JIT_STACK_START = 64 * 1024;
constexpr std::size_t JIT_STACK_MAX = 8 * 1024 * 1024;

std::string pcre2_message(int code) {
  PCRE2_UCHAR buffer[256];
  const int length = pcre2_get_error_message(code, buffer, sizeof buffer);
  if (length < 0) return "error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

// Each thread matches with its own JIT stack; the shared match context only names this
// function, so one const Regex can be used from several threads at once.
struct ThreadJitStack {
  pcre2_jit_stack* stack = nullptr;
  ~ThreadJitStack() {
    if (stack != nullptr) pcre2_jit_stack_free(stack);
  }
};

pcre2_jit_stack* jit_stack_for_thread(void*) {
  thread_local ThreadJitStack holder;
  if (holder.stack == nullptr) {
    holder.stack = pcre2_jit_stack_create(JIT_STACK_START, JIT_STACK_MAX, nullptr);
  }
  return holder.stack;
}

pcre2_match_context* shared_match_context() {
  static pcre2_match_context* const context = [] {
    pcre2_match_context* created = pcre2_match_context_create(nullptr);
    pcre2_set_match_limit(created, MATCH_LIMIT);
    pcre2_set_depth_limit(created, DEPTH_LIMIT);
    pcre2_set_heap_limit(created, HEAP_LIMIT_KIB);
    pcre2_jit_stack_assign(created, &jit_stack_for_thread, nullptr);
    return created;
  }();
  return context;
}

// The shared limits with a JIT stack of MATCH_MEMORY, for one deep match; freed with it.
class LargeStackContext {
 public:
  LargeStackContext()
      : stack_(pcre2_jit_stack_create(JIT_STACK_START, MATCH_MEMORY, nullptr)),
        context_(pcre2_match_context_copy(shared_match_context())) {
    if (stack_ != nullptr && context_ != nullptr) pcre2_jit_stack_assign(context_, nullptr, stack_);
  }
  ~LargeStackContext() {
    if (context_ != nullptr) pcre2_match_context_free(context_);
    if (stack_ != nullptr) pcre2_jit_stack_free(stack_);
  }
  LargeStackContext(const LargeStackContext&) = delete;
  LargeStackContext& operator=(const LargeStackContext&) = delete;

  // None when the memory for it could not be had: the match then stays at its limit.
  pcre2_match_context* get() const {
    return stack_ != nullptr && context_ != nullptr ? context_ : nullptr;
  }

 private:
  pcre2_jit_stack* stack_;
  pcre2_match_context* context_;
};

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// `\uXXXX` and `\UXXXXXXXX` name a code point in the patterns we write; PCRE2 spells that
// `\x{...}`. Returns the number of pattern bytes consumed, 0 when the escape is not one.
std::size_t translate_code_point_escape(std::string_view pattern, std::size_t i, std::string& out) {
  const char kind = pattern[i + 1];
  const std::size_t digits = kind == 'u' ? 4 : kind == 'U' ? 8 : 0;
  if (digits == 0 || i + 2 + digits > pattern.size()) return 0;
  for (std::size_t k = 0; k < digits; ++k) {
    if (!is_hex(pattern[i + 2 + k])) return 0;
  }
  out += "\\x{";
  out.append(pattern.substr(i + 2, digits));
  out += "}";
  return 2 + digits;
}

// Translates a bracketed class starting at `i` (the '['). Members follow the rules of the
// patterns' own dialect: a ']' right after the opening (or after '^') is a member, and a
// '[' inside is a plain member, which PCRE2 would otherwise read as the start of a POSIX
// class.
std::size_t translate_class(std::string_view pattern, std::size_t i, std::string& out) {
  const std::size_t n = pattern.size();
  std::size_t j = i + 1;
  bool negated = false;
  if (j < n && pattern[j] == '^') {
    negated = true;
    ++j;
  }
  std::string members;
  bool has_non_space = false;
  bool first = true;
  while (true) {
    if (j >= n) {
      // Unterminated: hand it over unchanged so the compiler reports it.
      out.append(pattern.substr(i));
      return n;
    }
    const char c = pattern[j];
    if (c == ']' && !first) break;
    first = false;
    if (c == '\\' && j + 1 < n) {
      const char next = pattern[j + 1];
      if (next == 's') {
        members += SPACE_MEMBERS;
        j += 2;
      } else if (next == 'S') {
        has_non_space = true;
        j += 2;
      } else if (const std::size_t used = translate_code_point_escape(pattern, j, members)) {
        j += used;
      } else {
        members.append(pattern.substr(j, 2));
        j += 2;
      }
    } else if (c == '[' || c == ']' || c == '^') {
      // Escaped so that a rebuilt class cannot change their meaning.
      members.push_back('\\');
      members.push_back(c);
      ++j;
    } else {
      members.push_back(c);
      ++j;
    }
  }
  if (!has_non_space) {
    out += negated ? "[^" : "[";
    out += members;
    out += "]";
  } else if (members.empty()) {
    out += negated ? "[" : "[^";
    out += SPACE_MEMBERS;
    out += "]";
  } else if (negated) {
    // [^\S...] is white space that is none of the other members.
    out += "(?:(?![";
    out += members;
    out += "])[";
    out += SPACE_MEMBERS;
    out += "])";
  } else {
    throw ValueError("\\S inside a character class with other members is not supported: " +
                     std::string(pattern));
  }
  return j + 1;
}

}  // namespace

std::string translate_pattern(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size() + 32);
  const std::size_t n = pattern.size();
  std::size_t i = 0;
  while (i < n) {
    const char c = pattern[i];
    if (c == '[') {
      i = translate_class(pattern, i, out);
    } else if (c == '\\' && i + 1 < n) {
      const char next = pattern[i + 1];
      if (next == 's' || next == 'S') {
        out += next == 's' ? "[" : "[^";
        out += SPACE_MEMBERS;
        out += "]";
        i += 2;
      } else if (next == 'Z') {
        // The patterns' \Z is the very end; PCRE2's \Z would also allow a final newline.
        out += "\\z";
        i += 2;
      } else if (const std::size_t used = translate_code_point_escape(pattern, i, out)) {
        i += used;
      } else {
        out.append(pattern.substr(i, 2));
        i += 2;
      }
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

// Match data of the calling thread with room for at least `pairs` offset pairs. One per thread
// rather than one per match: a check may match a pattern against every scalar of a document,
// and concurrent callers still share nothing but the compiled code and the read-only match
// context. A match never starts another one on the same thread while it runs.
pcre2_match_data* thread_match_data(uint32_t pairs) {
  struct Held {
    pcre2_match_data* data = nullptr;
    ~Held() {
      if (data != nullptr) pcre2_match_data_free(data);
    }
  };
  thread_local Held held;
  if (held.data == nullptr || pcre2_get_ovector_count(held.data) < pairs) {
    pcre2_match_data* grown = pcre2_match_data_create(pairs, nullptr);
    if (grown == nullptr) throw std::bad_alloc();
    if (held.data != nullptr) pcre2_match_data_free(held.data);
    held.data = grown;
  }
  return held.data;
}

struct Regex::Impl {
  pcre2_code* code = nullptr;
  std::size_t groups = 0;

  ~Impl() {
    if (code != nullptr) pcre2_code_free(code);
  }

  // One match attempt.
  std::optional<Match> run(std::string_view subject, std::size_t start, uint32_t options) const {
    if (start > subject.size()) start = subject.size();
    pcre2_match_data* data = thread_match_data(static_cast<uint32_t>(groups + 1));
    const auto attempt = [&](pcre2_match_context* context) {
      return pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start,
                         options, data, context);
    };
    int rc = attempt(shared_match_context());
    // A deep but legitimate match (a repeated group over a long text) still succeeds on the
    // larger stack. The interpreter is no way out: it needs several times the JIT's memory for
    // the same depth.
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
      const LargeStackContext large;
      if (large.get() != nullptr) rc = attempt(large.get());
    }
    if (rc < 0) {
      switch (rc) {
        case PCRE2_ERROR_NOMATCH:
        case PCRE2_ERROR_MATCHLIMIT:
        case PCRE2_ERROR_DEPTHLIMIT:
        case PCRE2_ERROR_HEAPLIMIT:
        case PCRE2_ERROR_JIT_STACKLIMIT:
          return std::nullopt;
        default:
          // Invalid UTF-8 or an offset inside a character: a caller broke the contract.
          throw ValueError("regular expression match failed: " + pcre2_message(rc));
      }
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
    Match match;
    match.subject_ = subject;
    match.spans_.resize(groups + 1);
    const std::size_t filled = static_cast<std::size_t>(rc);
    for (std::size_t g = 0; g <= groups && g < filled; ++g) {
      if (ovector[2 * g] != PCRE2_UNSET) {
        match.spans_[g] = std::make_pair(ovector[2 * g], ovector[2 * g + 1]);
      }
    }
    return match;
  }
};

Regex::Regex(std::string_view pattern, unsigned flags)
    : pattern_(pattern), impl_(std::make_unique<Impl>()) {
  const std::string translated = translate_pattern(pattern);
  // ALT_CIRCUMFLEX: in multi-line mode ^ also matches after a line feed that ends the text.
  uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_ALT_CIRCUMFLEX;
  if (flags & IGNORECASE) options |= PCRE2_CASELESS;
  if (flags & MULTILINE) options |= PCRE2_MULTILINE;
  if (flags & DOTALL) options |= PCRE2_DOTALL;

  pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(context, PCRE2_NEWLINE_LF);
  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  impl_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated.data()), translated.size(),
                              options, &error_code, &error_offset, context);
  pcre2_compile_context_free(context);
  if (impl_->code == nullptr) {
    throw ValueError("invalid regular expression " + pattern_ + ": " + pcre2_message(error_code));
  }
  // Without JIT support the interpreter is used; the results are the same.
  pcre2_jit_compile(impl_->code, PCRE2_JIT_COMPLETE);
  uint32_t captures = 0;
  pcre2_pattern_info(impl_->code, PCRE2_INFO_CAPTURECOUNT, &captures);
  impl_->groups = captures;
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::optional<Match> Regex::search(std::string_view subject, std::size_t start) const {
  return impl_->run(subject, start, 0);
}

std::optional<Match> Regex::match(std::string_view subject, std::size_t start) const {
  return impl_->run(subject, start, PCRE2_ANCHORED);
}

std::optional<Match> Regex::fullmatch(std::string_view subject) const {
  return impl_->run(subject, 0, PCRE2_ANCHORED | PCRE2_ENDANCHORED);
}

std::vector<Match> Regex::find_all(std::string_view subject) const {
  std::vector<Match> matches;
  std::size_t offset = 0;
  uint32_t options = 0;
  while (offset <= subject.size()) {
    std::optional<Match> found = impl_->run(subject, offset, options);
    if (!found) break;
    const std::size_t begin = found->start();
    const std::size_t end = found->end();
    matches.push_back(std::move(*found));
    // The first call checked the whole subject's UTF-8; later offsets are match ends and so
    // always on character boundaries. After an empty match the next one may start at the
    // same place only if it is not empty, which moves on by at least one character.
    options = PCRE2_NO_UTF_CHECK | (begin == end ? PCRE2_NOTEMPTY_ATSTART : 0u);
    offset = end;
  }
  return matches;
}

std::size_t Match::start(std::size_t group) const {
  if (group >= spans_.size()) throw ValueError("no such group");
  return spans_[group] ? spans_[group]->first : std::string_view::npos;
}

std::size_t Match::end(std::size_t group) const {
  if (group >= spans_.size()) throw ValueError("no such group");
  return spans_[group] ? spans_[group]->second : std::string_view::npos;
}

std::optional<std::string> Match::group(std::size_t index) const {
  if (index >= spans_.size()) throw ValueError("no such group");
  if (!spans_[index]) return std::nullopt;
  const auto [begin, end] = *spans_[index];
  return std::string(subject_.substr(begin, end - begin));
}

bool Match::matched(std::size_t index) const {
  return index < spans_.size() && spans_[index].has_value();
}

}  // namespace quarnel::utils::regex
