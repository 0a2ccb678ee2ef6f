#include "quarnel/utils/forge.hpp"

#include <algorithm>
#include <cstddef>

#include "quarnel/error.hpp"
#include "quarnel/utils/log.hpp"
#include "quarnel/utils/text.hpp"
#include "quarnel/utils/url.hpp"

namespace quarnel::utils::forge {

namespace {

const log::Logger& logger() {
  static const log::Logger& instance = log::get_logger("quarnel.utils.forge");
  return instance;
}

bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) {
  return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_scheme_char(char c) {
  return is_ascii_alpha(c) || is_ascii_digit(c) || c == '+' || c == '-' || c == '.';
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool ends_with_git(std::string_view text) { return text.ends_with(".git"); }

std::string_view drop_git_suffix(std::string_view text) {
  return ends_with_git(text) ? text.substr(0, text.size() - 4) : text;
}

// Schemes whose last path segment may carry ";params", which are not part of the path.
constexpr std::array<std::string_view, 16> PARAM_SCHEMES = {
    "",     "ftp",   "hdl",   "prospero", "http", "imap", "https", "shttp",
    "rtsp", "rtsps", "rtspu", "sip",      "sips", "mms",  "sftp",  "tel"};

bool uses_params(std::string_view scheme) {
  return std::find(PARAM_SCHEMES.begin(), PARAM_SCHEMES.end(), scheme) != PARAM_SCHEMES.end();
}

std::string_view host_info(std::string_view netloc) {
  const auto at = netloc.rfind('@');
  return at == std::string_view::npos ? netloc : netloc.substr(at + 1);
}

void require_utf8(std::string_view url) {
  if (!text::is_valid_utf8(url)) throw UrlError("URL is not valid UTF-8 text");
}

// Dotted-quad IPv4 with at most three decimal digits per octet, no leading zeros.
bool is_ipv4_address(std::string_view text) {
  int octets = 0;
  std::size_t pos = 0;
  while (true) {
    const auto dot = text.find('.', pos);
    const std::string_view part =
        text.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
    if (part.empty() || part.size() > 3) return false;
    if (!std::all_of(part.begin(), part.end(), is_ascii_digit)) return false;
    if (part.size() > 1 && part[0] == '0') return false;
    if (std::stoi(std::string(part)) > 255) return false;
    ++octets;
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  return octets == 4;
}

bool is_hextet(std::string_view part) {
  return !part.empty() && part.size() <= 4 && std::all_of(part.begin(), part.end(), is_hex_digit);
}

// "v" + hex digits + "." + at least one more character.
bool is_ipvfuture(std::string_view text) {
  if (text.size() < 4 || text[0] != 'v') return false;
  std::size_t i = 1;
  while (i < text.size() && is_hex_digit(text[i])) ++i;
  return i > 1 && i < text.size() && text[i] == '.' && i + 1 < text.size();
}

bool is_valid_bracketed_host(std::string_view host) {
  if (!host.empty() && host[0] == 'v') return is_ipvfuture(host);
  return detail::is_ipv6_address(host);
}

void check_brackets(std::string_view netloc) {
  if (netloc.find_first_of("[]") == std::string_view::npos) return;
  const std::string_view info = host_info(netloc);
  const auto close = info.find(']');
  if (info.empty() || info[0] != '[' || close == std::string_view::npos) {
    throw UrlError("invalid bracketed host in URL");
  }
  const std::string_view after = info.substr(close + 1);
  if (!after.empty() && after[0] != ':') throw UrlError("invalid bracketed host in URL");
  if (!is_valid_bracketed_host(info.substr(1, close - 1))) {
    throw UrlError("invalid bracketed host in URL");
  }
}

std::string strip_char(std::string_view text, char c, bool leading, bool trailing) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  if (leading) {
    while (begin < end && text[begin] == c) ++begin;
  }
  if (trailing) {
    while (end > begin && text[end - 1] == c) --end;
  }
  return std::string(text.substr(begin, end - begin));
}

}  // namespace

namespace detail {

bool is_ipv6_address(std::string_view text) {
  std::string_view addr = text;
  if (const auto percent = text.find('%'); percent != std::string_view::npos) {
    const std::string_view zone = text.substr(percent + 1);
    if (zone.empty() || zone.find('%') != std::string_view::npos) return false;
    addr = text.substr(0, percent);
  }
  if (addr.empty()) return false;
  constexpr std::size_t hextets = 8;
  // An address has at most hextets + 1 pieces between its ":": a host of millions is refused
  // at the first piece past them, before anything is kept of the rest.
  std::vector<std::string_view> parts;
  for (std::size_t pos = 0;;) {
    const auto colon = addr.find(':', pos);
    parts.push_back(addr.substr(pos, colon == std::string_view::npos ? colon : colon - pos));
    if (parts.size() > hextets + 1) return false;
    if (colon == std::string_view::npos) break;
    pos = colon + 1;
  }
  if (parts.size() < 3) return false;
  if (parts.back().find('.') != std::string_view::npos) {
    if (!is_ipv4_address(parts.back())) return false;
    // An embedded IPv4 tail stands for two hextets.
    parts.back() = "0";
    parts.emplace_back("0");
  }
  if (parts.size() > hextets + 1) return false;

  std::optional<std::size_t> skip;
  for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
    if (parts[i].empty()) {
      if (skip) return false;
      skip = i;
    }
  }
  std::size_t hi = 0;
  std::size_t lo = 0;
  if (skip) {
    hi = *skip;
    lo = parts.size() - *skip - 1;
    if (parts.front().empty()) {
      if (--hi != 0) return false;
    }
    if (parts.back().empty()) {
      if (--lo != 0) return false;
    }
    if (hi + lo >= hextets) return false;
  } else {
    if (parts.size() != hextets || parts.front().empty() || parts.back().empty()) return false;
    hi = parts.size();
  }
  for (std::size_t i = 0; i < hi; ++i) {
    if (!is_hextet(parts[i])) return false;
  }
  for (std::size_t i = parts.size() - lo; i < parts.size(); ++i) {
    if (!is_hextet(parts[i])) return false;
  }
  return true;
}

SplitUrl split_url(std::string_view input) {
  require_utf8(input);
  std::size_t start = 0;
  while (start < input.size() && static_cast<unsigned char>(input[start]) < 0x21) ++start;
  std::string url;
  url.reserve(input.size() - start);
  for (char c : input.substr(start)) {
    if (c != '\t' && c != '\r' && c != '\n') url.push_back(c);
  }

  SplitUrl parts;
  std::string_view rest = url;
  const auto colon = rest.find(':');
  if (colon != std::string_view::npos && colon > 0 && is_ascii_alpha(rest[0]) &&
      std::all_of(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(colon),
                  is_scheme_char)) {
    parts.scheme = ascii_lower(rest.substr(0, colon));
    rest.remove_prefix(colon + 1);
  }
  if (rest.starts_with("//")) {
    const auto end = rest.find_first_of("/?#", 2);
    parts.netloc = std::string(rest.substr(2, end == std::string_view::npos ? end : end - 2));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    check_brackets(parts.netloc);
  }
  if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
    parts.fragment = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (const auto question = rest.find('?'); question != std::string_view::npos) {
    parts.query = std::string(rest.substr(question + 1));
    rest = rest.substr(0, question);
  }
  if (uses_params(parts.scheme)) {
    // Only the last segment's ";" starts the parameters.
    const auto slash = rest.rfind('/');
    const auto semicolon = rest.find(';', slash == std::string_view::npos ? 0 : slash);
    if (semicolon != std::string_view::npos) rest = rest.substr(0, semicolon);
  }
  parts.path = std::string(rest);
  return parts;
}

bool SplitUrl::bracketed() const { return host_info(netloc).find('[') != std::string_view::npos; }

std::optional<std::string> SplitUrl::hostname() const {
  const std::string_view info = host_info(netloc);
  std::string_view host;
  if (const auto open = info.find('['); open != std::string_view::npos) {
    const auto close = info.find(']', open);
    host = info.substr(open + 1, close == std::string_view::npos ? close : close - open - 1);
  } else {
    host = info.substr(0, info.find(':'));
  }
  if (host.empty()) return std::nullopt;
  // A zone identifier names a local interface and is case-sensitive.
  const auto percent = host.find('%');
  if (percent == std::string_view::npos) return text::lower(host);
  return text::lower(host.substr(0, percent)) + std::string(host.substr(percent));
}

std::optional<std::string> SplitUrl::url_host() const {
  auto host = hostname();
  if (host && bracketed()) return "[" + *host + "]";
  return host;
}

std::optional<int> SplitUrl::port() const {
  const std::string_view info = host_info(netloc);
  std::string_view port;
  if (const auto open = info.find('['); open != std::string_view::npos) {
    const auto close = info.find(']', open);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view after = info.substr(close + 1);
    const auto colon = after.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    port = after.substr(colon + 1);
  } else {
    const auto colon = info.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    port = info.substr(colon + 1);
  }
  if (port.empty()) return std::nullopt;
  // The message leaves the port text out: in a URL without a host it may be a password.
  if (!std::all_of(port.begin(), port.end(), is_ascii_digit)) {
    throw UrlError("URL port is not a number");
  }
  long value = 0;
  for (char c : port) {
    value = value * 10 + (c - '0');
    if (value > 65535) throw UrlError("URL port is out of range 0-65535");
  }
  return static_cast<int>(value);
}

const regex::Regex& scp_re() {
  static const regex::Regex pattern(R"(^(?:[\w.-]+@)?([\w.-]+):(?!//)([\w.@:~/-]+?)(?:\.git)?/?$)");
  return pattern;
}

std::string percent_encode(std::string_view text) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (is_ascii_alpha(c) || is_ascii_digit(c) || c == '_' || c == '.' || c == '-' || c == '~') {
      out.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(HEX[byte >> 4]);
      out.push_back(HEX[byte & 0x0F]);
    }
  }
  return out;
}

namespace {

// The scheme, host and port a request went to, as they may be shown.
std::string shown_origin(const std::string& url) {
  try {
    const SplitUrl parts = split_url(url);
    return url::redact(parts.scheme + "://" + parts.netloc);
  } catch (const UrlError&) {
    return url::redact(url);
  }
}

std::optional<std::string> resource_url(const ForgeInfo& info, std::string_view tail) {
  if (info.api_style == "github" || info.api_style == "gitea") {
    return info.api_base() + "/repos/" + info.owner + "/" + info.repo + std::string(tail);
  }
  if (info.api_style == "gitlab") {
    return info.api_base() + "/projects/" + percent_encode(info.owner + "/" + info.repo) +
           std::string(tail);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> releases_url(const ForgeInfo& info) {
  if (info.api_style == "github" || info.api_style == "gitlab" || info.api_style == "gitea") {
    return resource_url(info, "/releases");
  }
  return std::nullopt;
}

std::optional<std::string> repository_url(const ForgeInfo& info) { return resource_url(info, ""); }

std::optional<json::Json> fetch(const std::string& url, const std::optional<std::string>& token,
                                const http::HttpClient* client, std::string_view what) {
  try {
    if (client == nullptr) return http::get_json_or_timeout(url, token);
    const http::Response response = client->get(url);
    response.raise_for_status();
    json::Json value = response.json();
    if (value.is_null()) return std::nullopt;
    return value;
  } catch (const http::HttpTimeout& error) {
    // The run waited the whole time-out for it, and the result reads as if the forge had
    // nothing to give: the user must learn that it was the forge that was silent.
    logger().warning("the forge at %s did not answer: %s; %s could not be read", shown_origin(url),
                     error.what(), std::string(what));
    return std::nullopt;
  } catch (const http::HttpError& error) {
    logger().debug("Request failed: %s", error.what());
    return std::nullopt;
  }
}

}  // namespace detail

namespace {

// What the SCP-like rewrite takes of a remote: the host (group 1), the ":" after it, which
// becomes "/", and the path (group 2 without its trailing "/" and one ".git"), each a view of
// the remote's own characters.
struct ScpRewrite {
  std::string_view host;
  std::string_view separator;
  std::string_view path;
};

ScpRewrite scp_rewrite(std::string_view remote, const regex::Match& match) {
  const std::string_view host = remote.substr(match.start(1), match.end(1) - match.start(1));
  std::string_view path = remote.substr(match.start(2), match.end(2) - match.start(2));
  while (path.ends_with('/')) path.remove_suffix(1);
  return ScpRewrite{
      .host = host, .separator = remote.substr(match.end(1), 1), .path = drop_git_suffix(path)};
}

}  // namespace

std::string normalize_url(std::string_view url) {
  require_utf8(url);
  const std::string stripped = text::strip(url);

  if (const auto match = detail::scp_re().match(stripped)) {
    const ScpRewrite rewrite = scp_rewrite(stripped, *match);
    return "https://" + std::string(rewrite.host) + "/" + std::string(rewrite.path);
  }

  if (stripped.starts_with("ssh://")) {
    const detail::SplitUrl parts = detail::split_url(stripped);
    const std::string host = parts.url_host().value_or("");
    const std::string path = strip_char(parts.path, '/', true, false);
    std::string port_part;
    if (const auto port = parts.port(); port && *port != 0 && *port != 22 && *port != 443) {
      port_part = ":" + std::to_string(*port);
    }
    return "https://" + host + port_part + "/" + std::string(drop_git_suffix(path));
  }

  return stripped;
}

std::string ForgeInfo::api_base() const {
  if (api_style == "github") return std::string(GITHUB_API_BASE);
  if (api_style == "gitlab") return base_url + "/api/v4";
  if (api_style == "gitea") return base_url + "/api/v1";
  return base_url;
}

std::optional<ForgeInfo> parse_forge_url(std::string_view url,
                                         const std::optional<ForgeOverrides>& forge_overrides) {
  const std::string normalized = normalize_url(url);
  const detail::SplitUrl parts = detail::split_url(normalized);
  const auto host = parts.hostname();
  if (!host || host->empty()) return std::nullopt;

  // Owner and repository are the first two segments; the rest of a path (which may be
  // megabytes of "/") is never cut up.
  std::string_view path = parts.path;
  while (path.starts_with('/')) path.remove_prefix(1);
  while (path.ends_with('/')) path.remove_suffix(1);
  const auto slash = path.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view owner = path.substr(0, slash);
  const std::string_view rest = path.substr(slash + 1);
  const std::string_view repo = rest.substr(0, rest.find('/'));

  std::string base_url = (parts.scheme.empty() ? std::string("https") : parts.scheme) + "://" +
                         parts.url_host().value_or("");
  if (const auto port = parts.port(); port && *port != 0 && *port != 80 && *port != 443) {
    base_url += ":" + std::to_string(*port);
  }

  std::string style = "unknown";
  const auto known = std::find_if(detail::KNOWN_FORGES.begin(), detail::KNOWN_FORGES.end(),
                                  [&](const detail::KnownForge& f) { return f.host == *host; });
  if (known != detail::KNOWN_FORGES.end()) {
    style = std::string(known->api_style);
  } else if (forge_overrides && forge_overrides->contains(*host)) {
    style = forge_overrides->at(*host);
  } else if (host->find("gitlab") != std::string::npos) {
    style = "gitlab";
  }

  return ForgeInfo{.forge_type = style,
                   .api_style = style,
                   .base_url = std::move(base_url),
                   .owner = std::string(owner),
                   .repo = std::string(drop_git_suffix(repo))};
}

std::optional<std::string> detect_forge(std::string_view url) {
  const auto info = parse_forge_url(url);
  if (!info || info->forge_type == "unknown") return std::nullopt;
  if (info->forge_type == "gitea" && url.find(CODEBERG_HOST) != std::string_view::npos) {
    return "codeberg";
  }
  return info->forge_type;
}

std::optional<std::pair<std::string, std::string>> parse_owner_repo(std::string_view url) {
  auto info = parse_forge_url(url);
  if (!info) return std::nullopt;
  return std::make_pair(std::move(info->owner), std::move(info->repo));
}

std::optional<json::Json> get_releases(std::string_view url,
                                       const std::optional<std::string>& token,
                                       const std::optional<ForgeOverrides>& forge_overrides,
                                       const http::HttpClient* client) {
  const auto info = parse_forge_url(url, forge_overrides);
  if (!info) return std::nullopt;
  const auto resource = detail::releases_url(*info);
  if (!resource) return std::nullopt;
  auto value = detail::fetch(*resource, token, client,
                             "the release list of " + info->owner + "/" + info->repo);
  if (!value) return std::nullopt;
  if (value->is_array()) return value;
  logger().debug("Unexpected response from releases API: %s", json::type_name(*value));
  return std::nullopt;
}

std::optional<json::Json> get_default_branch(std::string_view url,
                                             const std::optional<std::string>& token,
                                             const std::optional<ForgeOverrides>& forge_overrides,
                                             const http::HttpClient* client) {
  const auto info = parse_forge_url(url, forge_overrides);
  if (!info) return std::nullopt;
  const auto resource = detail::repository_url(*info);
  if (!resource) return std::nullopt;
  const auto value = detail::fetch(*resource, token, client,
                                   "the default branch of " + info->owner + "/" + info->repo);
  if (!value || !value->is_object() || value->empty()) return std::nullopt;
  const json::Json* branch = json::find(*value, "default_branch");
  if (branch == nullptr || branch->is_null()) return std::nullopt;
  return *branch;
}

json::Json get_repo_metadata(std::string_view url, const std::optional<std::string>& token,
                             const std::optional<ForgeOverrides>& forge_overrides,
                             const http::HttpClient* client) {
  const auto info = parse_forge_url(url, forge_overrides);
  json::Json summary = json::Json::object();
  summary["url"] = std::string(url);
  summary["forge_type"] = nullptr;
  summary["owner"] = nullptr;
  summary["repo"] = nullptr;
  if (info) {
    summary["forge_type"] = info->forge_type;
    summary["owner"] = info->owner;
    summary["repo"] = info->repo;
  }
  const auto releases = get_releases(url, token, forge_overrides, client);
  summary["release_count"] = releases && !releases->empty() ? releases->size() : std::size_t{0};
  const auto branch = get_default_branch(url, token, forge_overrides, client);
  summary["default_branch"] = branch ? *branch : json::Json(nullptr);
  return summary;
}

std::optional<std::string> probe_forge_type(std::string_view base_url,
                                            const std::optional<std::string>& token) {
  struct Probe {
    std::string_view path;
    std::string_view style;
    std::string_view message;
  };
  static constexpr std::array<Probe, 2> PROBES = {{
      {"/api/v4/version", "gitlab", "Detected GitLab at %s (v%s)"},
      {"/api/v1/version", "gitea", "Detected Gitea/Forgejo at %s (v%s)"},
  }};
  for (const Probe& probe : PROBES) {
    const auto value = http::get_json(std::string(base_url) + std::string(probe.path), token);
    if (!value || !value->is_object()) continue;
    const json::Json* version = json::find(*value, "version");
    if (version == nullptr) continue;
    // The message may reach a terminal or a report: no user information in it.
    logger().debug(probe.message, redact_url(base_url), json::py_str(*version));
    return std::string(probe.style);
  }
  return std::nullopt;
}

std::string redact_url(std::string_view url) { return url::redact(url); }

std::string redacted_normalized_url(std::string_view url) {
  const std::string normalized = normalize_url(url);
  const std::string stripped = text::strip(url);
  const auto match = detail::scp_re().match(stripped);
  if (!match) return url::redact(normalized);
  // Every character the SCP-like rewrite shows stands for one of the remote: the user
  // information that redaction finds in the remote is left out wherever the rewrite puts it
  // ("https:/u:p@host/x" reads as the host "https" and a path that holds it). The rewrite is
  // then redacted like any URL, for user information of its own.
  const auto hidden = url::user_information(stripped);
  const auto shown_of = [&](std::string_view piece) {
    const auto begin = static_cast<std::size_t>(piece.data() - stripped.data());
    const std::size_t end = begin + piece.size();
    if (!hidden || hidden->second <= begin || hidden->first >= end) return std::string(piece);
    return std::string(stripped.substr(begin, std::max(begin, hidden->first) - begin)) +
           std::string(
               stripped.substr(std::min(end, hidden->second), end - std::min(end, hidden->second)));
  };
  const ScpRewrite rewrite = scp_rewrite(stripped, *match);
  std::string shown = "https://" + shown_of(rewrite.host);
  if (!shown_of(rewrite.separator).empty()) shown += "/";
  shown += shown_of(rewrite.path);
  return url::redact(shown);
}

}  // namespace quarnel::utils::forge
