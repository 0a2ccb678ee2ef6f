#include "fixtures.hpp"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <utility>

extern char** environ;

namespace quarnel::testing {

TempDir::TempDir() {
  std::string tmpl = (stdfs::temp_directory_path() / "quarnel-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = stdfs::path(tmpl);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may have made entries unreadable; make them removable again first.
  for (auto it = stdfs::recursive_directory_iterator(
           path_, stdfs::directory_options::skip_permission_denied, ec);
       !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (!it->is_symlink(ignored)) {
      stdfs::permissions(it->path(), stdfs::perms::owner_all, stdfs::perm_options::add, ignored);
    }
  }
  stdfs::permissions(path_, stdfs::perms::owner_all, stdfs::perm_options::add, ec);
  stdfs::remove_all(path_, ec);
}

stdfs::path TempDir::write(const stdfs::path& relative, std::string_view content) const {
  const stdfs::path full = path_ / relative;
  stdfs::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + full.string());
  return full;
}

stdfs::path TempDir::mkdir(const stdfs::path& relative) const {
  const stdfs::path full = path_ / relative;
  stdfs::create_directories(full);
  return full;
}

std::string run_checked(const std::vector<std::string>& argv, const stdfs::path& cwd) {
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  if (rc != 0) {
    ::close(out_pipe[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  std::string output;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(out_pipe[0], buffer, sizeof buffer)) > 0) output.append(buffer, n);
  ::close(out_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string command;
    for (const auto& a : argv) command += a + " ";
    ADD_FAILURE() << "command failed: " << command << "in " << cwd;
  }
  return output;
}

ScopedEnv::ScopedEnv(std::string name) : name_(std::move(name)) {
  if (const char* value = std::getenv(name_.c_str())) saved_ = value;
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : ScopedEnv(std::move(name)) {
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (saved_) {
    ::setenv(name_.c_str(), saved_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

WorkingDirectory::WorkingDirectory() : saved_(stdfs::current_path()) {}

WorkingDirectory::WorkingDirectory(const stdfs::path& dir) : WorkingDirectory() {
  stdfs::current_path(dir);
}

WorkingDirectory::~WorkingDirectory() {
  std::error_code ec;
  stdfs::current_path(saved_, ec);
}

void prepare_git_environment() {
  ::setenv("GIT_AUTHOR_NAME", "Quarnel Test", 1);
  ::setenv("GIT_AUTHOR_EMAIL", "test@example.org", 1);
  ::setenv("GIT_COMMITTER_NAME", "Quarnel Test", 1);
  ::setenv("GIT_COMMITTER_EMAIL", "test@example.org", 1);
  ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  ::setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  ::setenv("GIT_CEILING_DIRECTORIES", stdfs::temp_directory_path().c_str(), 1);
}

GitFixture::GitFixture() {
  prepare_git_environment();
  git({"init", "-q", "-b", "main"});
}

std::string GitFixture::git(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_checked(argv, path());
}

void GitFixture::commit_file(const stdfs::path& relative, std::string_view content,
                             std::string_view message) {
  dir_.write(relative, content);
  git({"add", "--", relative.string()});
  git({"commit", "-q", "-m", std::string(message)});
}

#if defined(__SANITIZE_ADDRESS__)
#define QUARNEL_TEST_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARNEL_TEST_ADDRESS_SANITIZER 1
#endif
#endif

void limit_address_space([[maybe_unused]] std::size_t bytes) {
#ifndef QUARNEL_TEST_ADDRESS_SANITIZER
  const rlimit limit{.rlim_cur = bytes, .rlim_max = bytes};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) {
    throw std::system_error(errno, std::generic_category(), "setrlimit");
  }
#endif
}

}  // namespace quarnel::testing
