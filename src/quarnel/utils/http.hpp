#pragma once

// HTTP GETs of JSON resources over libcurl.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

struct Response {
  long status = 0;
  std::string body;
  // HttpError for a status of 400 or more.
  void raise_for_status() const;
  // Decodes the body; JsonSyntaxError when it is not JSON.
  json::Json json() const;
};

// What the forge reads need of a client: a GET of a URL. Its owner sets up authentication.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // HttpError when the request cannot be sent or the reply not received.
  virtual Response get(const std::string& url) const = 0;
};

// A client over libcurl with the time-outs, redirect limit and body cap above.
class CurlClient : public HttpClient {
 public:
  // `token`, when non-empty, is sent as "Authorization: Bearer <token>" to the URL's own host.
  explicit CurlClient(std::optional<std::string> token = std::nullopt);
  Response get(const std::string& url) const override;

 private:
  std::optional<std::string> token_;
};

// GET of `url` decoded as JSON. Never throws: none on any failure (connection, status >= 400,
// body too large, not JSON). A non-empty token goes as a Bearer header to the URL's host only
// (never to a host a redirect leads to); GitHub's API gets its Accept header.
std::optional<json::Json> get_json(const std::string& url,
                                   const std::optional<std::string>& token = std::nullopt);

}  // namespace quarnel::utils::http
