#pragma once

// Fixtures for tests: temporary directories that remove themselves, files written into them,
// and real git repositories with a fixed identity.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::testing {

namespace stdfs = std::filesystem;

// A fresh directory below the system's temporary directory, removed with everything in it
// when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const stdfs::path& path() const { return path_; }
  stdfs::path operator/(const stdfs::path& relative) const { return path_ / relative; }

  // Writes `content` to `relative` (parents created) and returns the full path.
  stdfs::path write(const stdfs::path& relative, std::string_view content) const;
  stdfs::path mkdir(const stdfs::path& relative) const;

 private:
  stdfs::path path_;
};

// Runs a command (no shell) in `cwd` and returns its standard output; fails the test on a
// non-zero exit.
std::string run_checked(const std::vector<std::string>& argv, const stdfs::path& cwd);

// A git repository in a temporary directory, with author and committer set and
// GIT_CEILING_DIRECTORIES keeping git from finding any enclosing repository.
class GitFixture {
 public:
  GitFixture();
  const stdfs::path& path() const { return dir_.path(); }
  const TempDir& dir() const { return dir_; }

  // git with these arguments in the repository; its standard output.
  std::string git(const std::vector<std::string>& args) const;
  // Writes the file, adds it and commits it.
  void commit_file(const stdfs::path& relative, std::string_view content,
                   std::string_view message = "change");

 private:
  TempDir dir_;
};

// Saves an environment variable (or its absence), optionally sets it, and puts the old state
// back when it goes away.
class ScopedEnv {
 public:
  explicit ScopedEnv(std::string name);
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Saves the working directory, optionally changes into `dir`, and goes back when it goes away.
class WorkingDirectory {
 public:
  WorkingDirectory();
  explicit WorkingDirectory(const stdfs::path& dir);
  ~WorkingDirectory();
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  stdfs::path saved_;
};

// Caps the address space of the calling process at `bytes`, so that any allocation beyond it
// fails: meant for the child of a death test that shows a bound on memory. In an
// AddressSanitizer build it caps nothing, since the sanitizer reserves terabytes of address
// space for its shadow memory.
void limit_address_space(std::size_t bytes);

// Sets the environment variables git needs for reproducible test repositories (identity,
// no system or global configuration). Called by GitFixture; safe to call more than once.
void prepare_git_environment();

}  // namespace quarnel::testing
