#pragma once
// A fresh machine root under the system's temporary directory, removed with everything in it
// when the test ends.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace uv::test {

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "uvreg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path db() const { return path_ / "registry.db"; }

 private:
  std::filesystem::path path_;
};

}  // namespace uv::test
