#pragma once

// Report generation by format name: the format picks a renderer through a table of renderer
// locations ("module:Class"), a new renderer renders the assessment, and the text is returned
// or written to a file.

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/core/models.hpp"
#include "quarnel/error.hpp"
#include "quarnel/reports/renderers.hpp"
#include "quarnel/utils/fs.hpp"

namespace quarnel::reports::orchestrator {

using renderers::RenderOptions;

inline constexpr std::string_view LOGGER_NAME = "quarnel.reports.orchestrator";

// A renderer location that names no known module or no class in it.
class RendererLoadError : public Error {
 public:
  using Error::Error;
};

// A new list of the format names, sorted by code point: "json", "markdown", "text".
std::vector<std::string> available_formats();

// Renders the assessment in the format `fmt` (matched exactly) as valid UTF-8 (each maximal
// invalid subpart of a rendered text replaced by U+FFFD) and returns the text; with a
// non-empty `output_path` writes it there instead (into "quarnel-report" plus the format's
// extension when the path is an existing directory or ends in a separator, parents created) and
// returns the path written. UnknownFormatError before anything is rendered; a rendering error
// before anything is written; OsError when the file or its parents cannot be made. With
// `checkout`, the checkout being assessed, the report is written under the rule of
// utils::fs::write_text, which decides before any directory is made.
std::string generate_report(const core::models::Assessment& assessment,
                            std::string_view fmt = "text",
                            const std::optional<std::filesystem::path>& output_path = std::nullopt,
                            const RenderOptions& options = {},
                            const std::optional<std::filesystem::path>& checkout = std::nullopt);

// As above, with the checkout as the run took it when it started, so that the rule compares with
// that directory and never looks the checkout's name up again.
std::string generate_report(const core::models::Assessment& assessment, std::string_view fmt,
                            const std::optional<std::filesystem::path>& output_path,
                            const RenderOptions& options, const utils::fs::Checkout& checkout);

namespace detail {

inline constexpr std::array<std::pair<std::string_view, std::string_view>, 3> RENDERER_MAP = {{
    {"text", "quarnel.reports.renderers:TextRenderer"},
    {"json", "quarnel.reports.renderers:JsonRenderer"},
    {"markdown", "quarnel.reports.markdown:MarkdownRenderer"},
}};

inline constexpr std::array<std::pair<std::string_view, std::string_view>, 3> EXTENSIONS = {{
    {"text", ".txt"},
    {"json", ".json"},
    {"markdown", ".md"},
}};

inline constexpr std::string_view DEFAULT_STEM = "quarnel-report";
inline constexpr std::string_view DEFAULT_EXTENSION = ".txt";

// A new renderer for the format; UnknownFormatError naming the available formats otherwise.
std::unique_ptr<renderers::Renderer> load_renderer(std::string_view fmt);

// A new renderer from its location, split at the last colon into module path and class name;
// RendererLoadError when the module or the class is not known.
std::unique_ptr<renderers::Renderer> create_renderer(std::string_view location);

}  // namespace detail

}  // namespace quarnel::reports::orchestrator
