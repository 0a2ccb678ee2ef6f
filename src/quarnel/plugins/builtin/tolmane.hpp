#pragma once

// Getting at the software: whether its repository URL is retrievable over a standard protocol,
// whether that protocol is open, and whether the checkout documents how to obtain and install it.

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::tolmane {

class TolmanePlugin final : public base::DeclaredPlugin<TolmanePlugin> {
 public:
  static constexpr std::string_view NAME = "tolmane";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::array<std::string_view, 3> SUPPORTED_INDICATORS = {
      "identifier_retrieval", "open_access_protocol", "access_documentation"};

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;

 private:
  base::CheckResult check_retrieval(const base::Context& context) const;
  base::CheckResult check_protocol(const base::Context& context) const;
  base::CheckResult check_access_docs(const base::Context& context) const;
};

namespace detail {

// Install documents in search order; only the first present counts.
inline constexpr std::array<std::string_view, 6> INSTALL_DOCS = {
    "INSTALL.md", "INSTALL.txt", "INSTALL.rst", "INSTALL", "CONTRIBUTING.md", "CONTRIBUTING.rst"};

// Lower-case installation phrases, in the order they are reported.
inline constexpr std::array<std::string_view, 9> INSTALL_KEYWORDS = {
    "pip install",  "npm install",     "cargo install",  "go install",        "conda install",
    "installation", "getting started", "how to install", "setup instructions"};

struct RepositoryUrl {
  // What the checks judge: the URL as obtained, normalised.
  std::string url;
  // What the results show of it: the same without the credentials and query values it holds.
  std::string shown;
};

// The repository URL of the checks: the context's URL when it is non-empty, else the
// checkout's remote "origin"; none when neither gives text. A URL the forge functions cannot
// normalise is kept as given, trimmed (undecodable bytes replaced).
std::optional<RepositoryUrl> repository_url(const base::Context& context);

// detect_forge, with a URL it rejects counting as one on no known forge.
std::optional<std::string> forge_kind(std::string_view url);

}  // namespace detail

}  // namespace quarnel::plugins::builtin::tolmane
