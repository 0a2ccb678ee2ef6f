#include "quarnel/utils/http.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "quarnel/utils/forge.hpp"
#include "quarnel/utils/text.hpp"
#include "quarnel/utils/url.hpp"
#include "quarnel/version.hpp"

namespace quarnel::utils::http {

namespace {

std::atomic<long long> total_timeout_ms{std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::seconds(TOTAL_TIMEOUT_SECONDS))
                                            .count()};

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// Scheme, host and port: a token stays within the origin it was given for.
struct Origin {
  std::string scheme;
  std::string host;
  std::string port;
  bool operator==(const Origin&) const = default;
};

std::optional<std::string> url_part(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* value = nullptr;
  if (curl_url_get(url, part, &value, flags) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string out(value);
  curl_free(value);
  return out;
}

std::optional<Origin> origin_of(const std::string& url) {
  std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  auto scheme = url_part(handle.get(), CURLUPART_SCHEME);
  auto host = url_part(handle.get(), CURLUPART_HOST);
  auto port = url_part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port) return std::nullopt;
  return Origin{text::lower(*scheme), text::lower(*host), *port};
}

// libcurl resolves "localhost" and every name under it to this machine itself, and writes an
// address host in its normal form ("127.1" and "2130706433" as "127.0.0.1", every spelling of
// the IPv6 loopback as "[::1]"), so these few forms cover every loopback host it reaches.
bool is_loopback(std::string_view host) {
  if (host == "localhost" || host.ends_with(".localhost") || host == "[::1]") return true;
  if (!host.starts_with("127.")) return false;
  // Four non-empty runs of digits; walked, since a host may be as long as the URL.
  std::size_t octets = 1;
  bool digits = false;
  for (const char c : host) {
    if (c == '.') {
      if (!digits || ++octets > 4) return false;
      digits = false;
    } else if (c >= '0' && c <= '9') {
      digits = true;
    } else {
      return false;
    }
  }
  return octets == 4 && digits;
}

// Over plain HTTP anyone on the way reads the header; a forge served on this machine (as tests
// serve theirs) is the one exception, since its traffic never leaves it.
bool may_carry_token(const Origin& origin) {
  return origin.scheme == "https" || is_loopback(origin.host);
}

const std::optional<Origin>& github_api_origin() {
  static const std::optional<Origin> origin = origin_of(std::string(forge::GITHUB_API_BASE));
  return origin;
}

struct Body {
  std::string data;
  bool too_large = false;
};

std::size_t write_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  const std::size_t length = size * count;
  if (body->data.size() + length > MAX_BODY_BYTES) {
    // Returning short makes libcurl abort the transfer right here.
    body->too_large = true;
    return 0;
  }
  body->data.append(data, length);
  return length;
}

struct Hop {
  long status = 0;
  std::string body;
  std::optional<std::string> location;
};

[[noreturn]] void throw_too_large() {
  throw HttpError("response body larger than " + std::to_string(MAX_BODY_BYTES) + " bytes");
}

Hop perform_once(const std::string& url, const std::vector<std::string>& headers,
                 std::chrono::milliseconds time_left) {
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) throw HttpError("cannot create an HTTP request");
  CURL* h = easy.get();

  curl_slist* raw = nullptr;
  for (const std::string& header : headers) {
    curl_slist* next = curl_slist_append(raw, header.c_str());
    if (next == nullptr) {
      curl_slist_free_all(raw);
      throw HttpError("cannot create an HTTP request");
    }
    raw = next;
  }
  const std::unique_ptr<curl_slist, ListDeleter> list(raw);

  static const std::string user_agent = "quarnel/" + std::string(VERSION);
  Body body;
  char error[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // Redirects are followed by the caller, which decides per hop whether the token goes along.
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  // The request path is sent exactly as built: no "/../" folding towards other resources.
  curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_SECONDS);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(time_left.count()));
  curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(MAX_BODY_BYTES));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  // A token goes over plain HTTP to this machine only because that traffic never leaves it: a
  // proxy from the environment would receive the request, header and all. An empty proxy
  // overrides every proxy variable; any other host keeps the user's proxy.
  if (const auto origin = origin_of(url); origin && is_loopback(origin->host)) {
    curl_easy_setopt(h, CURLOPT_PROXY, "");
  }

  const CURLcode code = curl_easy_perform(h);
  if (body.too_large || code == CURLE_FILESIZE_EXCEEDED) throw_too_large();
  if (code != CURLE_OK) {
    std::string message = error[0] != '\0' ? std::string(error) : curl_easy_strerror(code);
    if (code == CURLE_OPERATION_TIMEDOUT) throw HttpTimeout(std::move(message));
    throw HttpError(std::move(message));
  }

  Hop hop;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &hop.status);
  char* location = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr) {
    hop.location = location;
  }
  hop.body = std::move(body.data);
  return hop;
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

namespace detail {

std::chrono::milliseconds total_timeout() {
  return std::chrono::milliseconds(total_timeout_ms.load());
}

void set_total_timeout(std::chrono::milliseconds timeout) {
  total_timeout_ms.store(timeout.count());
}

// A repository name with a space, or a forge on a host name that is not ASCII, still makes a
// request.
std::string escape_url(std::string_view url) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  static constexpr std::string_view UNSAFE = "\"<>\\^`{|}";
  std::size_t authority = std::string_view::npos;
  if (const auto scheme_end = url.find("://");
      scheme_end != std::string_view::npos && scheme_end < url.find_first_of("/?#")) {
    authority = scheme_end + 3;
  } else if (url.starts_with("//")) {
    authority = 2;
  }

  std::string out;
  out.reserve(url.size());
  std::size_t rest = 0;
  if (authority != std::string_view::npos) {
    // libcurl refuses a percent-encoded host, and reads one that is not ASCII in the locale's
    // character set (this process keeps the "C" locale): it gets the IDNA form instead.
    rest = std::min(url.find_first_of("/?#", authority), url.size());
    const std::string_view netloc = url.substr(authority, rest - authority);
    const auto at = netloc.rfind('@');
    const std::size_t host_begin = at == std::string_view::npos ? 0 : at + 1;
    const std::string_view host_and_port = netloc.substr(host_begin);
    const std::string_view host = host_and_port.substr(
        0, host_and_port.starts_with('[') ? std::string_view::npos : host_and_port.find(':'));
    out.append(url.substr(0, authority + host_begin));
    out.append(url::ascii_host(host).value_or(std::string(host)));
    out.append(host_and_port.substr(host.size()));
  }
  for (char c : url.substr(rest)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || UNSAFE.find(c) != std::string_view::npos) {
      out.push_back('%');
      out.push_back(HEX[byte >> 4]);
      out.push_back(HEX[byte & 0x0F]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<std::string> request_headers(const std::string& url, const std::string& first_url,
                                         const std::optional<std::string>& token) {
  std::vector<std::string> headers;
  const std::optional<Origin> here = origin_of(url);
  if (!here) return headers;
  if (here == github_api_origin()) headers.emplace_back("Accept: application/vnd.github+json");
  if (token && !token->empty() && here == origin_of(first_url) && may_carry_token(*here)) {
    headers.push_back("Authorization: Bearer " + *token);
  }
  return headers;
}

}  // namespace detail

void Response::raise_for_status() const {
  if (status >= 400) {
    throw HttpError("HTTP status " + std::to_string(status) + " for " + forge::redact_url(url));
  }
}

json::Json Response::json() const {
  if (!text::is_valid_utf8(body)) throw JsonSyntaxError("response body is not UTF-8 text");
  return json::parse(body);
}

CurlClient::CurlClient(std::optional<std::string> token) : token_(std::move(token)) {}

Response CurlClient::get(const std::string& url) const {
  global_init();
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + detail::total_timeout();
  const std::string first = detail::escape_url(url);
  std::string current = first;
  for (long redirects = 0;; ++redirects) {
    const std::vector<std::string> headers = detail::request_headers(current, first, token_);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) throw HttpTimeout("request timed out");
    Hop hop = perform_once(current, headers, left);
    if (is_redirect(hop.status) && hop.location) {
      if (redirects >= MAX_REDIRECTS) throw HttpError("too many redirects");
      current = detail::escape_url(*hop.location);
      continue;
    }
    return Response{.status = hop.status, .body = std::move(hop.body), .url = current};
  }
}

std::optional<json::Json> get_json_or_timeout(const std::string& url,
                                              const std::optional<std::string>& token) {
  // Whatever else goes wrong, the forge reads only need to know that there is no answer.
  try {
    const Response response = CurlClient(token).get(url);
    if (response.status >= 400) return std::nullopt;
    json::Json value = response.json();
    if (value.is_null()) return std::nullopt;
    return value;
  } catch (const HttpTimeout&) {
    throw;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<json::Json> get_json(const std::string& url,
                                   const std::optional<std::string>& token) {
  try {
    return get_json_or_timeout(url, token);
  } catch (const HttpTimeout&) {
    return std::nullopt;
  }
}

}  // namespace quarnel::utils::http
