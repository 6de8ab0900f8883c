#ifndef VORN_TESTS_SUPPORT_TEMP_DIR_H_
#define VORN_TESTS_SUPPORT_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace vorn::testing {

// A fresh directory under the test temp dir, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorn-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? std::filesystem::path(pattern) : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace vorn::testing

#endif  // VORN_TESTS_SUPPORT_TEMP_DIR_H_
