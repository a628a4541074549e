#pragma once

// Unique names in the system's temporary directory, on POSIX and Windows alike.

#include <atomic>
#include <filesystem>
#include <random>
#include <string>

namespace lumen::testing {

// A path no other test process or thread is using; nothing is created.
inline std::filesystem::path UniqueTempPath(const std::string& prefix, const std::string& extension = "") {
  static const unsigned processTag = std::random_device{}();
  static std::atomic<unsigned> serial{0};
  return std::filesystem::temp_directory_path() /
         (prefix + "-" + std::to_string(processTag) + "-" + std::to_string(serial++) + extension);
}

}  // namespace lumen::testing
