#pragma once

// A real HTTP server on 127.0.0.1 for tests that read from a forge: canned replies by request
// path, and a record of every request it saw.

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarnel::testing {

struct HttpReply {
  int status = 200;
  std::string body = {};
  std::string content_type = "application/json";
  // Further response headers, such as {"Location", "http://..."}.
  std::vector<std::pair<std::string, std::string>> headers = {};
  // Send the body `repeat` times in chunked encoding, without a Content-Length.
  bool chunked = false;
  std::size_t repeat = 1;
};

struct SeenRequest {
  // The request target as sent, before any percent-decoding, without the query.
  std::string path;
  std::string query;
  std::vector<std::pair<std::string, std::string>> headers;
  // Body bytes the server managed to write for this request (a client may hang up early).
  std::size_t bytes_sent = 0;

  // The first header of this name (letter case ignored), or none.
  std::optional<std::string> header(std::string_view name) const;
};

// Listens on 127.0.0.1 at a port the system picks, from construction until destruction.
// Paths without a registered reply get 404. Safe to use from the test's thread while the
// server answers on its own.
class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string base_url() const;
  // base_url() + path
  std::string url(std::string_view path) const;

  // Registers (or replaces) the reply for a path, compared with the raw request target.
  void reply(std::string path, HttpReply reply);
  void reply(std::string path, int status, std::string body,
             std::string content_type = "application/json");
  // A redirect (302 unless given) from `path` to `location`.
  void redirect(std::string path, std::string location, int status = 302);

  std::vector<SeenRequest> requests() const;
  std::vector<std::string> paths() const;
  void clear_requests();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

// A port on 127.0.0.1 that takes connections (the system completes them from its backlog) and
// never replies: a forge that hangs. Listens from construction until destruction.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string base_url() const;

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace quarnel::testing
