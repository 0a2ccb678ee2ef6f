#include "quarnel/cli/app.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/fs.hpp"

namespace quarnel::cli {
namespace {

// What a child process found after closing `closed` and calling the guard: 0 when all is well,
// otherwise the number of the first broken promise.
int guarded_child(const std::vector<int>& closed) {
  for (const int fd : closed) ::close(fd);
  if (!guard_standard_descriptors()) return 1;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) return 2;  // every standard descriptor is taken again
  }
  int fds[2];
  if (::pipe(fds) != 0 || fds[0] <= 2 || fds[1] <= 2) return 3;  // a pipe never gets 0, 1 or 2
  const int file = ::open("/dev/null", O_WRONLY);
  if (file <= 2) return 4;  // nor does a file
  for (const int fd : closed) {
    // A write to a descriptor that was closed fails, so that the loss can be reported.
    if (fd != STDIN_FILENO && ::write(fd, "x", 1) != -1) return 5;
    // So does a report named on it, rather than a placeholder reopened for writing.
    const std::string named = "/dev/fd/" + std::to_string(fd);
    try {
      utils::fs::write_text(named, "x");
      return 6;
    } catch (const OsError& e) {
      if (std::string(e.what()) != "Bad file descriptor: '" + named + "'") return 7;
    }
  }
  // The user's own /dev/null is still written, whatever stands in for a closed descriptor.
  try {
    utils::fs::write_text("/dev/null", "x");
  } catch (const OsError&) {
    return 8;
  }
  return 0;
}

TEST(GuardStandardDescriptors, ClosedDescriptorsAreTakenByPlaceholdersThatRefuseWrites) {
  const std::vector<std::vector<int>> cases = {{1}, {2}, {0, 1}, {1, 2}, {0, 1, 2}};
  for (const auto& closed : cases) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(guarded_child(closed));
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    std::string label = "closed:";
    for (const int fd : closed) label += " " + std::to_string(fd);
    EXPECT_EQ(WEXITSTATUS(status), 0) << label;
  }
}

}  // namespace
}  // namespace quarnel::cli
