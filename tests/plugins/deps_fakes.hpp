#pragma once

// A sandbox for the dependency tests: PATH holds only a directory of fake programs (small shell
// scripts that record how they were called), HOME is a fresh directory, the memo starts and
// ends empty, and the time limits are short. Everything is put back when the test ends.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "quarnel/plugins/deps.hpp"
#include "quarnel/utils/log.hpp"
#include "support/fixtures.hpp"

namespace quarnel::testing {

class DepsSandbox : public ::testing::Test {
 protected:
  DepsSandbox() : saved_timeouts_(plugins::deps::detail::timeouts()) {
    bin_ = dir_.mkdir("bin");
    home_ = dir_.mkdir("home");
    ::setenv("PATH", bin_.c_str(), 1);
    ::setenv("HOME", home_.c_str(), 1);
    plugins::deps::clear_cache();
    auto& limits = plugins::deps::detail::timeouts();
    using std::chrono::milliseconds;
    for (auto* limit : {&limits.check_command, &limits.image_inspect, &limits.python_lookup,
                        &limits.library_lookup, &limits.pip_install, &limits.docker_pull,
                        &limits.git_clone, &limits.git_checkout}) {
      *limit = milliseconds(3000);
    }
  }
  ~DepsSandbox() override {
    plugins::deps::clear_cache();
    plugins::deps::detail::timeouts() = saved_timeouts_;
  }

  // A fake program `name` on PATH running `body` after recording its arguments.
  stdfs::path fake(const std::string& name, const std::string& body) const {
    const auto path =
        dir_.write("bin/" + name,
                   "#!/bin/sh\nPATH=/usr/bin:/bin\n"
                   "{ for a in \"$@\"; do printf '%s\\037' \"$a\"; done; "
                   "printf '\\036'; } >> \"" +
                       (dir_.path() / "calls" / name).string() + "\"\n" + body + "\n");
    stdfs::create_directories(dir_.path() / "calls");
    stdfs::permissions(path, stdfs::perms::owner_all);
    return path;
  }

  // The argument lists of every run of the fake `name`, oldest first.
  std::vector<std::vector<std::string>> calls(const std::string& name) const {
    std::vector<std::vector<std::string>> runs;
    std::ifstream in(dir_.path() / "calls" / name);
    std::string line;
    while (std::getline(in, line, '\036')) {
      std::vector<std::string> args;
      std::stringstream fields(line);
      std::string field;
      while (std::getline(fields, field, '\037')) args.push_back(field);
      runs.push_back(args);
    }
    return runs;
  }

  // Every line the module logged while `capture` lived.
  static std::vector<utils::log::Record> deps_log(const utils::log::LogCapture& capture) {
    std::vector<utils::log::Record> lines;
    for (auto& record : capture.records()) {
      if (record.logger == "quarnel.plugins.deps") lines.push_back(record);
    }
    return lines;
  }

  const stdfs::path& home() const { return home_; }
  const stdfs::path& bin() const { return bin_; }
  const TempDir& dir() const { return dir_; }

 private:
  ScopedEnv path_guard_{"PATH"};
  ScopedEnv home_guard_{"HOME"};
  TempDir dir_;
  stdfs::path bin_;
  stdfs::path home_;
  plugins::deps::detail::Timeouts saved_timeouts_;
};

}  // namespace quarnel::testing
