// Small file helpers shared by the end-to-end tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace infodiv::testing {

// The bytes of a file, or nothing when it cannot be opened (e.g. it is absent).
inline std::optional<std::string> slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace infodiv::testing
