#pragma once

// HTTP GETs of JSON resources over libcurl.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/utils/json.hpp"

namespace quarnel::utils::http {

inline constexpr long CONNECT_TIMEOUT_SECONDS = 10;
inline constexpr long TOTAL_TIMEOUT_SECONDS = 30;
inline constexpr long MAX_REDIRECTS = 5;
inline constexpr std::size_t MAX_BODY_BYTES = 16 * 1024 * 1024;

// Failure to connect or receive, or an error status: the one error kind of the client.
class HttpError : public Error {
 public:
  using Error::Error;
};

// No reply in time, to the connection or to the request: the server may be there and silent,
// and the caller waited for it.
class HttpTimeout : public HttpError {
 public:
  using HttpError::HttpError;
};

struct Response {
  long status = 0;
  std::string body = {};
  // The URL that gave this reply (after redirects), for messages.
  std::string url = {};
  // HttpError for a status of 400 or more.
  void raise_for_status() const;
  // Decodes the body; JsonSyntaxError when it is not JSON.
  json::Json json() const;
};

// What the forge reads need of a client: a GET of a URL. Its owner sets up authentication.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // HttpError when the request cannot be sent or the reply not received (HttpTimeout when it
  // did not come in time).
  virtual Response get(const std::string& url) const = 0;
};

// A client over libcurl with the time-outs, redirect limit and body cap above.
class CurlClient : public HttpClient {
 public:
  // `token`, when non-empty, is sent as "Authorization: Bearer <token>" to the URL's own host,
  // over HTTPS only (a loopback host aside).
  explicit CurlClient(std::optional<std::string> token = std::nullopt);
  Response get(const std::string& url) const override;

 private:
  std::optional<std::string> token_;
};

// GET of `url` decoded as JSON. Never throws: none on any failure (connection, status >= 400,
// body too large, not JSON; JSON null is none as well). A non-empty token goes as a Bearer header
// to the URL's host only (never to a host a redirect leads to) and only over HTTPS, unless that
// host is this machine's loopback ("localhost", a name ending in ".localhost", 127.0.0.0/8,
// [::1]); the request is made all the same. GitHub's API gets its Accept header.
std::optional<json::Json> get_json(const std::string& url,
                                   const std::optional<std::string>& token = std::nullopt);
// As get_json, except that a reply that did not come in time raises HttpTimeout: the caller can
// then say what went unread, and that it was waited for.
std::optional<json::Json> get_json_or_timeout(
    const std::string& url, const std::optional<std::string>& token = std::nullopt);

namespace detail {
// Test seam: the most one GET may take, redirects included (TOTAL_TIMEOUT_SECONDS unless
// changed).
std::chrono::milliseconds total_timeout();
void set_total_timeout(std::chrono::milliseconds timeout);

// Headers of one request to `url` in a redirect chain that began at `first_url`: GitHub's
// Accept header for its API host, and the Bearer token only while the request stays at the
// scheme, host and port of `first_url`, and only when that scheme is HTTPS or the host a
// loopback one.
std::vector<std::string> request_headers(const std::string& url, const std::string& first_url,
                                         const std::optional<std::string>& token);
// The URL as libcurl is given it: a host name that is not ASCII in its IDNA form (kept as given
// when it has none), and after the authority every byte that may not stand in a URL as written
// (blanks, controls, non-ASCII and the characters " < > \ ^ ` { | }) as %XX; "%" stays, since
// the text may already be encoded.
std::string escape_url(std::string_view url);
}  // namespace detail

}  // namespace quarnel::utils::http
