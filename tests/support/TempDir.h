#pragma once
// Fresh temporary folders for tests, removed with everything in them when the test ends.

#include <filesystem>
#include <string_view>

namespace uv::test {

class TempDir {
 public:
  // A new folder "<prefix>-XXXXXX" under the system's temporary directory. A folder that cannot
  // be made throws std::runtime_error, which fails the test (or ends the benchmark) that asked
  // for it whatever framework runs it.
  explicit TempDir(std::string_view prefix = "uv-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace uv::test
