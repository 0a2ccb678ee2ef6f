#include "quarnel/utils/log.hpp"

#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "quarnel/utils/text.hpp"

namespace quarnel::utils::log {

namespace {

// What one capture has collected; records arrive from any thread.
struct CaptureBuffer {
  mutable std::mutex mutex;
  std::vector<Record> records;
};

// Everything the loggers share. It is created on first use and never destroyed, so that code
// running during static destruction (or in a detached thread at exit) can still log safely.
struct State {
  std::mutex loggers_mutex;
  std::map<std::string, Logger, std::less<>> loggers;

  std::atomic<Level> stderr_level{Level::WARNING};
  std::shared_ptr<spdlog::logger> stderr_logger;

  std::mutex captures_mutex;
  std::vector<std::shared_ptr<CaptureBuffer>> captures;
  // Read without the lock so that a record nobody wants is dropped before it is rendered.
  std::atomic<int> capture_count{0};

  State() {
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    stderr_logger = std::make_shared<spdlog::logger>("quarnel", std::move(sink));
    stderr_logger->set_pattern("quarnel: %l: %v");
    // The threshold is ours (stderr_level); spdlog passes everything it is handed.
    stderr_logger->set_level(spdlog::level::trace);
    stderr_logger->flush_on(spdlog::level::trace);
  }
};

State& state() {
  static State* const instance = new State();
  return *instance;
}

spdlog::level::level_enum to_spdlog(Level level) {
  switch (level) {
    case Level::DEBUG:
      return spdlog::level::debug;
    case Level::INFO:
      return spdlog::level::info;
    case Level::WARNING:
      return spdlog::level::warn;
    case Level::ERROR:
      return spdlog::level::err;
    case Level::OFF:
      break;
  }
  return spdlog::level::off;
}

std::string plain(const Arg& arg) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return v;
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "True" : "False";
        } else if constexpr (std::is_same_v<T, double>) {
          return text::float_repr(v);
        } else {
          return std::to_string(v);
        }
      },
      arg.value());
}

std::string quoted(const Arg& arg) {
  if (const auto* s = std::get_if<std::string>(&arg.value())) {
    return text::repr(*s);
  }
  return plain(arg);
}

std::string integral(const Arg& arg) {
  if (const auto* b = std::get_if<bool>(&arg.value())) {
    return *b ? "1" : "0";
  }
  if (const auto* d = std::get_if<double>(&arg.value())) {
    if (!std::isfinite(*d)) {
      return text::float_repr(*d);
    }
    // Every double past 2^53 is already whole, so "%.0f" of the truncated value prints the
    // exact integer, however large; adding 0.0 turns a truncated -0.5 into "0", not "-0".
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.0f", std::trunc(*d) + 0.0);
    return buffer;
  }
  // A text where a number was expected: show it rather than lose it.
  return plain(arg);
}

}  // namespace

struct LogCapture::Impl : CaptureBuffer {};

std::string render(std::string_view tmpl, const std::vector<Arg>& args) {
  std::string out;
  out.reserve(tmpl.size() + 16 * args.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < tmpl.size(); ++i) {
    const char c = tmpl[i];
    if (c != '%' || i + 1 == tmpl.size()) {
      out += c;
      continue;
    }
    const char conversion = tmpl[i + 1];
    if (conversion == '%') {
      out += '%';
      ++i;
      continue;
    }
    if (conversion != 's' && conversion != 'r' && conversion != 'd') {
      // Not a placeholder this logger knows: keep it as written.
      out += c;
      continue;
    }
    if (next == args.size()) {
      // Missing argument: leave the placeholder visible instead of inventing a value.
      out += c;
      out += conversion;
      ++i;
      continue;
    }
    const Arg& arg = args[next++];
    out += conversion == 's' ? plain(arg) : conversion == 'r' ? quoted(arg) : integral(arg);
    ++i;
  }
  if (next < args.size()) {
    out += " (unused arguments:";
    for (; next < args.size(); ++next) {
      out += ' ';
      out += quoted(args[next]);
    }
    out += ')';
  }
  return out;
}

Logger::Logger(std::string name) : name_(std::move(name)) {}

void Logger::log(Level level, std::string_view tmpl, const std::vector<Arg>& args) const {
  emit(level, false, tmpl, args);
}

void Logger::emit(Level level, bool unseen, std::string_view tmpl,
                  const std::vector<Arg>& args) const {
  if (level == Level::OFF) {
    return;
  }
  State& s = state();
  const Level threshold = s.stderr_level.load(std::memory_order_relaxed);
  const bool to_stderr = level >= threshold || (unseen && threshold != Level::OFF);
  const bool to_captures = s.capture_count.load(std::memory_order_acquire) > 0;
  if (!to_stderr && !to_captures) {
    return;
  }
  // Logging must never take the caller down; a failure here (out of memory, a sink error)
  // costs the record and nothing else.
  try {
    std::string message = render(tmpl, args);
    if (to_captures) {
      std::lock_guard lock(s.captures_mutex);
      for (const auto& capture : s.captures) {
        std::lock_guard capture_lock(capture->mutex);
        capture->records.push_back(Record{name_, level, message});
      }
    }
    if (to_stderr) {
      if (level == Level::DEBUG) {
        message = "[" + name_ + "] " + message;
      }
      // One record, one line, and no escape sequence of a checkout's text reaches a terminal.
      s.stderr_logger->log(to_spdlog(level), "{}", text::escape_controls(message));
    }
  } catch (...) {
  }
}

const Logger& get_logger(std::string_view name) {
  State& s = state();
  std::lock_guard lock(s.loggers_mutex);
  auto it = s.loggers.find(name);
  if (it == s.loggers.end()) {
    it = s.loggers.emplace(std::string(name), Logger(std::string(name))).first;
  }
  return it->second;
}

void set_level(Level level) { state().stderr_level.store(level, std::memory_order_relaxed); }

Level level() { return state().stderr_level.load(std::memory_order_relaxed); }

LogCapture::LogCapture() : impl_(std::make_shared<Impl>()) {
  State& s = state();
  std::lock_guard lock(s.captures_mutex);
  s.captures.push_back(impl_);
  s.capture_count.fetch_add(1, std::memory_order_release);
}

LogCapture::~LogCapture() {
  State& s = state();
  std::lock_guard lock(s.captures_mutex);
  std::erase(s.captures, impl_);
  s.capture_count.fetch_sub(1, std::memory_order_release);
}

std::vector<Record> LogCapture::records() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->records;
}

std::vector<std::string> LogCapture::messages(std::string_view logger, Level level) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::string> out;
  for (const auto& record : impl_->records) {
    if (record.logger == logger && record.level == level) {
      out.push_back(record.message);
    }
  }
  return out;
}

void LogCapture::clear() {
  std::lock_guard lock(impl_->mutex);
  impl_->records.clear();
}

}  // namespace quarnel::utils::log
