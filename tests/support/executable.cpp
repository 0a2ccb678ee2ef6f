#include "executable.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "fixtures.hpp"

namespace quarnel::testing {

std::string quarnel_binary() {
  const char* path = std::getenv("QUARNEL_BINARY");
  return std::filesystem::absolute(path != nullptr ? path : "quarnel").string();
}

utils::process::Completed run_quarnel(std::vector<std::string> args,
                                      const std::filesystem::path& cwd,
                                      std::chrono::seconds timeout) {
  args.insert(args.begin(), quarnel_binary());
  utils::process::RunOptions options;
  if (!cwd.empty()) options.cwd = cwd;
  options.timeout = timeout;
  return utils::process::run(args, options);
}

utils::process::Completed run_quarnel_bounded(std::vector<std::string> args,
                                              const std::filesystem::path& cwd, Bounds bounds) {
  const unsigned cpu_seconds = bounds.cpu_seconds * sanitizer_slowdown();
  std::vector<std::string> argv{"prlimit", "--cpu=" + std::to_string(cpu_seconds)};
#if !defined(QUARNEL_TEST_ADDRESS_SANITIZER)
  argv.push_back("--as=" + std::to_string(bounds.address_space));
#endif
  argv.push_back("--");
  argv.push_back(quarnel_binary());
  argv.insert(argv.end(), args.begin(), args.end());
  utils::process::RunOptions options;
  if (!cwd.empty()) options.cwd = cwd;
  // glibc reserves 64 MiB of address space for the heap of each thread that allocates; with a
  // check per processor at once, those reservations alone would pass the cap without a byte of
  // them used. Two heaps keep the cap about memory the run takes.
  options.environment.push_back({"MALLOC_ARENA_MAX", "2"});
  // Wall-clock time only as a last resort: the processor-time cap is what decides.
  options.timeout = std::chrono::seconds(10 * cpu_seconds + 60);
  return utils::process::run(argv, options);
}

int closed_loopback_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace quarnel::testing
