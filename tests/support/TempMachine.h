#pragma once
// A machine root in a fresh temporary folder and the machine on it, removed when the test ends.
// Header-only, so that only the tests that use it link the machine module.

#include <filesystem>
#include <memory>
#include <string_view>

#include "platform/machine/Machine.h"
#include "tests/support/TempDir.h"

namespace uv::test {

class TempMachine {
 public:
  explicit TempMachine(std::string_view prefix = "uv-machine")
      : dir_(prefix), machine_(std::make_unique<platform::Machine>(dir_.path())) {}
  TempMachine(const TempMachine&) = delete;
  TempMachine& operator=(const TempMachine&) = delete;

  platform::Machine& machine() { return *machine_; }
  const std::filesystem::path& root() const { return dir_.path(); }

 private:
  TempDir dir_;  // outlives the machine
  std::unique_ptr<platform::Machine> machine_;
};

}  // namespace uv::test
