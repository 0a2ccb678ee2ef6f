#pragma once

// Qualified references: which files declaring dependencies (package manifests, requirement
// lists, lock files, build and environment descriptions) lie at the checkout root.

#include <array>
#include <string_view>
#include <utility>

#include "quarnel/plugins/base.hpp"

namespace quarnel::plugins::builtin::senwick {

class SenwickPlugin final : public base::DeclaredPlugin<SenwickPlugin> {
 public:
  static constexpr std::string_view NAME = "senwick";
  static constexpr std::string_view VERSION = "0.1.0";
  static constexpr std::array<std::string_view, 1> SUPPORTED_INDICATORS = {"qualified_references"};

  base::CheckResult check(std::string_view indicator_id,
                          const base::Context& context) const override;
};

namespace detail {

// File name and ecosystem label, in the order the files are tested and reported. Labels are
// not unique (two Conda files); names are.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 20> DEP_FILES = {{
    {"pyproject.toml", "Python (pyproject.toml)"},
    {"setup.py", "Python (setup.py)"},
    {"setup.cfg", "Python (setup.cfg)"},
    {"requirements.txt", "Python (requirements.txt)"},
    {"Pipfile", "Python (Pipfile)"},
    {"poetry.lock", "Python (Poetry)"},
    {"package.json", "Node.js"},
    {"Cargo.toml", "Rust"},
    {"go.mod", "Go"},
    {"pom.xml", "Java (Maven)"},
    {"build.gradle", "Java (Gradle)"},
    {"Gemfile", "Ruby"},
    {"composer.json", "PHP"},
    {"DESCRIPTION", "R"},
    {"Project.toml", "Julia"},
    {"CMakeLists.txt", "C/C++ (CMake)"},
    {"conanfile.txt", "C/C++ (Conan)"},
    {"spack.yaml", "Spack"},
    {"environment.yml", "Conda"},
    {"conda.yaml", "Conda"},
}};

}  // namespace detail

}  // namespace quarnel::plugins::builtin::senwick
