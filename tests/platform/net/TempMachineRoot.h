#pragma once
// A machine root in a fresh temporary folder, removed afterwards.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "tests/support/TempDir.h"

namespace uv::platform::testing {

class TempMachineRoot {
 public:
  TempMachineRoot() : dir_("uv-net-test"), machine_(std::make_unique<Machine>(dir_.path())) {}
  TempMachineRoot(const TempMachineRoot&) = delete;
  TempMachineRoot& operator=(const TempMachineRoot&) = delete;

  Machine& machine() { return *machine_; }
  const std::filesystem::path& root() const { return dir_.path(); }

  void SetComputerName(const std::string& name) {
    auto registry = machine_->OpenRegistry();
    ASSERT_TRUE(registry.ok());
    auto key = RegKey::Create(**registry,
                              "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName");
    ASSERT_TRUE(key.ok());
    ASSERT_EQ(key->SetString("ComputerName", name), kErrorSuccess);
  }

  void WriteHosts(const std::string& content) {
    const auto file = machine_->HostsFile();
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }

 private:
  test::TempDir dir_;  // outlives the machine
  std::unique_ptr<Machine> machine_;
};

}  // namespace uv::platform::testing
