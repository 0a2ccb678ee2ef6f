#include "quarnel/utils/files.hpp"

#include "quarnel/utils/fs.hpp"

namespace quarnel::utils::files {

std::optional<std::filesystem::path> find_first(const std::filesystem::path& repo,
                                                std::span<const std::string_view> names) {
  const std::filesystem::path root = fs::checkout_dir(repo);
  for (const auto name : names) {
    auto path = root / name;
    if (fs::exists(path)) return path;
  }
  return std::nullopt;
}

std::vector<std::filesystem::path> find_files(const std::filesystem::path& repo,
                                              std::span<const std::string_view> names) {
  std::vector<std::filesystem::path> found;
  const std::filesystem::path root = fs::checkout_dir(repo);
  for (const auto name : names) {
    auto path = root / name;
    if (fs::exists(path)) found.push_back(std::move(path));
  }
  return found;
}

}  // namespace quarnel::utils::files
