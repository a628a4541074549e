#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "sim/CaptureFile.h"

namespace lumen::testing {

// A fresh directory for one test's capture files, removed afterwards.
class CaptureDir {
 public:
  CaptureDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_dir = std::filesystem::temp_directory_path() /
            ("lumen-capture-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" +
             std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
    std::filesystem::create_directories(m_dir);
  }
  ~CaptureDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }
  CaptureDir(const CaptureDir&) = delete;
  CaptureDir& operator=(const CaptureDir&) = delete;

  std::string File(const std::string& name) const { return (m_dir / name).string(); }

 private:
  std::filesystem::path m_dir;
};

// For the lead's dissector check: a copy of the capture in LUMEN_CAPTURE_KEEP_DIR.
inline void KeepCapture(const std::string& path, const std::string& name) {
  const char* dir = std::getenv("LUMEN_CAPTURE_KEEP_DIR");
  if (dir == nullptr || *dir == '\0') {
    return;
  }
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file(path, std::filesystem::path(dir) / name,
                             std::filesystem::copy_options::overwrite_existing);
}

inline std::vector<sim::CaptureRecord> RecordsOfKind(const sim::Capture& capture, uint8_t kind) {
  std::vector<sim::CaptureRecord> found;
  for (const sim::CaptureRecord& record : capture.records) {
    if (record.kind == kind) {
      found.push_back(record);
    }
  }
  return found;
}

}  // namespace lumen::testing
