#pragma once

// Named loggers with printf-style templates: "%s" prints a value plainly, "%r" a text in its
// quoted form (text::repr), "%d" an integer, "%%" a percent sign. Messages go to standard error
// at the level the command line sets (warnings by default), one line each, with their control
// characters escaped (text::escape_controls); a warning that part of the assessed repository
// went unseen also gets there above the warning level. A LogCapture sees every record as it was
// made while it lives, whatever the level set for standard error.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace quarnel::utils::log {

enum class Level { DEBUG = 0, INFO = 1, WARNING = 2, ERROR = 3, OFF = 4 };

// One argument of a template.
class Arg {
 public:
  Arg(std::string_view v) : value_(std::string(v)) {}
  Arg(const std::string& v) : value_(v) {}
  Arg(const char* v) : value_(std::string(v)) {}
  template <typename T,
            std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  Arg(T v) : value_(static_cast<std::int64_t>(v)) {}
  Arg(bool v) : value_(v) {}
  Arg(double v) : value_(v) {}

  const std::variant<std::string, std::int64_t, double, bool>& value() const { return value_; }

 private:
  std::variant<std::string, std::int64_t, double, bool> value_;
};

// Renders a template with its arguments ("Skipping unknown category %r", {"misc"} gives
// "Skipping unknown category 'misc'").
std::string render(std::string_view tmpl, const std::vector<Arg>& args);

class Logger {
 public:
  explicit Logger(std::string name);
  const std::string& name() const { return name_; }

  void log(Level level, std::string_view tmpl, const std::vector<Arg>& args) const;

  template <typename... A>
  void debug(std::string_view tmpl, const A&... args) const {
    log(Level::DEBUG, tmpl, {Arg(args)...});
  }
  template <typename... A>
  void info(std::string_view tmpl, const A&... args) const {
    log(Level::INFO, tmpl, {Arg(args)...});
  }
  template <typename... A>
  void warning(std::string_view tmpl, const A&... args) const {
    log(Level::WARNING, tmpl, {Arg(args)...});
  }
  // A warning that the assessment could not see part of the repository (git refused the
  // checkout or stopped answering, a clone has no commits): the results then read as the
  // repository's own while they are not, so it is shown at every level but OFF, under -q too.
  // It is the same one line as any warning, and a WARNING record.
  template <typename... A>
  void unseen_warning(std::string_view tmpl, const A&... args) const {
    emit(Level::WARNING, true, tmpl, {Arg(args)...});
  }

 private:
  void emit(Level level, bool unseen, std::string_view tmpl, const std::vector<Arg>& args) const;

  std::string name_;
};

// The logger of a module, named after its dotted path ("quarnel.core.compliance"). The same
// name gives the same logger; loggers live until the program ends.
const Logger& get_logger(std::string_view name);

// Level of what reaches standard error.
void set_level(Level level);
Level level();

struct Record {
  std::string logger;
  Level level;
  std::string message;
  bool operator==(const Record&) const = default;
};

// Collects every record logged while it exists (from any thread). Captures nest.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Record> records() const;
  // Records of one logger at one level, messages only.
  std::vector<std::string> messages(std::string_view logger, Level level) const;
  void clear();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace quarnel::utils::log
