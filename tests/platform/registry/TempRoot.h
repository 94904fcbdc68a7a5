#pragma once
// A fresh machine root under the system's temporary directory, removed with everything in it
// when the test ends.

#include <filesystem>

#include "tests/support/TempDir.h"

namespace uv::test {

class TempRoot : public TempDir {
 public:
  TempRoot() : TempDir("uvreg") {}
  std::filesystem::path db() const { return path() / "registry.db"; }
};

}  // namespace uv::test
