#pragma once
// A machine root in a fresh temporary folder, removed afterwards.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "tests/support/TempMachine.h"

namespace uv::platform::testing {

class TempMachineRoot {
 public:
  TempMachineRoot() : temp_("uv-net-test") {}
  TempMachineRoot(const TempMachineRoot&) = delete;
  TempMachineRoot& operator=(const TempMachineRoot&) = delete;

  Machine& machine() { return temp_.machine(); }
  const std::filesystem::path& root() const { return temp_.root(); }

  void SetComputerName(const std::string& name) {
    auto registry = machine().OpenRegistry();
    ASSERT_TRUE(registry.ok());
    auto key = RegKey::Create(**registry,
                              "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName");
    ASSERT_TRUE(key.ok());
    ASSERT_EQ(key->SetString("ComputerName", name), kErrorSuccess);
  }

  void WriteHosts(const std::string& content) {
    const auto file = machine().HostsFile();
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }

 private:
  test::TempMachine temp_;
};

}  // namespace uv::platform::testing
