#pragma once
// Whole files as text for tests: what a program under test wrote, and files a test lays out.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace uv::test {

// The bytes of `file`; "" when it is missing or unreadable.
inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Replaces `file` with `bytes` (not atomically: tests that need a reader never to see half a
// file use the platform's writers).
inline void WriteFile(const std::filesystem::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace uv::test
