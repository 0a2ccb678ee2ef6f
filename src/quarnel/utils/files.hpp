#pragma once

// Named files at the root of a checkout.

#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quarnel::utils::files {

// The path of the first name, in list order, that exists directly in `repo` (an entry of any
// kind, following links; a broken link counts as absent), or none.
std::optional<std::filesystem::path> find_first(const std::filesystem::path& repo,
                                                std::span<const std::string_view> names);

// The paths of every name, in list order, that exists directly in `repo`, as find_first tests.
std::vector<std::filesystem::path> find_files(const std::filesystem::path& repo,
                                              std::span<const std::string_view> names);

}  // namespace quarnel::utils::files
