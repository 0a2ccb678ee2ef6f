#include "quarnel/reports/orchestrator.hpp"

#include <algorithm>

#include "quarnel/reports/markdown.hpp"
#include "quarnel/utils/fs.hpp"
#include "quarnel/utils/log.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::reports::orchestrator {

namespace stdfs = std::filesystem;
using renderers::Renderer;

namespace detail {

namespace {

using Factory = std::unique_ptr<Renderer> (*)();

template <typename R>
std::unique_ptr<Renderer> make() {
  return std::make_unique<R>();
}

struct RendererClass {
  std::string_view module_path;
  std::string_view class_name;
  Factory create;
};

// Every renderer a location can name, listed here rather than registered at start-up.
constexpr std::array<RendererClass, 3> RENDERER_CLASSES = {{
    {"quarnel.reports.renderers", "TextRenderer", &make<renderers::TextRenderer>},
    {"quarnel.reports.renderers", "JsonRenderer", &make<renderers::JsonRenderer>},
    {"quarnel.reports.markdown", "MarkdownRenderer", &make<markdown::MarkdownRenderer>},
}};

std::string_view lookup(const std::array<std::pair<std::string_view, std::string_view>, 3>& table,
                        std::string_view key) {
  for (const auto& [name, value] : table) {
    if (name == key) return value;
  }
  return {};
}

}  // namespace

std::unique_ptr<Renderer> create_renderer(std::string_view location) {
  const auto colon = location.rfind(':');
  const std::string_view module_path =
      colon == std::string_view::npos ? std::string_view() : location.substr(0, colon);
  const std::string_view class_name =
      colon == std::string_view::npos ? location : location.substr(colon + 1);
  bool module_known = false;
  for (const auto& entry : RENDERER_CLASSES) {
    if (entry.module_path != module_path) continue;
    module_known = true;
    if (entry.class_name == class_name) return entry.create();
  }
  if (!module_known) {
    throw RendererLoadError("No renderer module named " + utils::text::repr(module_path));
  }
  throw RendererLoadError("Renderer module " + utils::text::repr(module_path) + " has no class " +
                          utils::text::repr(class_name));
}

std::unique_ptr<Renderer> load_renderer(std::string_view fmt) {
  const std::string_view location = lookup(RENDERER_MAP, fmt);
  if (location.empty()) {
    throw UnknownFormatError("Unknown report format: " + utils::text::repr(fmt) +
                             ". Available: " + utils::text::join(available_formats(), ", "));
  }
  return create_renderer(location);
}

}  // namespace detail

std::vector<std::string> available_formats() {
  std::vector<std::string> formats;
  for (const auto& entry : detail::RENDERER_MAP) formats.emplace_back(entry.first);
  // Byte order of UTF-8 is code-point order.
  std::sort(formats.begin(), formats.end());
  return formats;
}

namespace {

// Renders and, with a path, writes through `write`, which holds the rule for the checkout.
template <typename Write>
std::string render_and_write(const core::models::Assessment& assessment, std::string_view fmt,
                             const std::optional<stdfs::path>& output_path,
                             const RenderOptions& options, const Write& write) {
  const auto renderer = detail::load_renderer(fmt);
  std::string content = renderer->render(assessment, options);
  // Paths and file names from the checkout may hold any bytes, and a renderer copies them; a
  // report must stay readable as UTF-8 whatever its format. Valid text is left byte for byte.
  if (!utils::text::is_valid_utf8(content)) {
    content = utils::text::decode_raw(content, utils::text::DecodeMode::Replace);
  }
  if (!output_path || output_path->empty()) return content;

  stdfs::path target = *output_path;
  // A trailing separator says the path is a directory, to be made when missing.
  if (target.native().ends_with('/') || utils::fs::is_directory(target)) {
    std::string_view extension = detail::lookup(detail::EXTENSIONS, fmt);
    if (extension.empty()) extension = detail::DEFAULT_EXTENSION;
    target /= std::string(detail::DEFAULT_STEM) + std::string(extension);
  }
  // The directories on the way are made there too: inside the checkout only once the rule has
  // cleared the whole path, since one made through a planted link would already be outside.
  write(target, content);
  utils::log::get_logger(LOGGER_NAME).info("Report written to %s", target.string());
  return target.string();
}

}  // namespace

std::string generate_report(const core::models::Assessment& assessment, std::string_view fmt,
                            const std::optional<stdfs::path>& output_path,
                            const RenderOptions& options,
                            const std::optional<stdfs::path>& checkout) {
  return render_and_write(assessment, fmt, output_path, options,
                          [&](const stdfs::path& target, const std::string& content) {
                            utils::fs::write_text(target, content, checkout,
                                                  utils::fs::Parents::Made);
                          });
}

std::string generate_report(const core::models::Assessment& assessment, std::string_view fmt,
                            const std::optional<stdfs::path>& output_path,
                            const RenderOptions& options, const utils::fs::Checkout& checkout) {
  return render_and_write(assessment, fmt, output_path, options,
                          [&](const stdfs::path& target, const std::string& content) {
                            utils::fs::write_text(target, content, checkout,
                                                  utils::fs::Parents::Made);
                          });
}

}  // namespace quarnel::reports::orchestrator
