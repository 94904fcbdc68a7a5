#pragma once
// A client computer for reporter tests: a machine root in a fresh temporary directory with a
// computer name, a hosts file that gives that name its own loopback address, and the client
// settings key. Removed again on destruction.

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/session/SessionStore.h"
#include "tests/support/FileText.h"
#include "tests/support/TempMachine.h"

namespace uv::testing {

class TestMachine {
 public:
  static constexpr std::string_view kSettingsKey =
      "Software\\Quorrel\\USB Vantrel Client\\Settings";

  // An empty address leaves the computer without a hosts entry.
  TestMachine(std::string computerName, std::string address)
      : temp_("uv-reporter"), machine_(&temp_.machine()) {
    Key("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName")
        .SetString("ComputerName", computerName);
    std::filesystem::create_directories(machine_->HostsFile().parent_path());
    std::ofstream hosts(machine_->HostsFile());
    hosts << "# hosts of the test computer\n";
    if (!address.empty()) hosts << address << "\t" << computerName << "\n";
    Settings();  // the key exists, as after installation
  }

  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  platform::Machine& machine() { return temp_.machine(); }
  const std::filesystem::path& root() const { return temp_.root(); }

  platform::RegKey Key(std::string_view path) {
    auto registry = machine_->OpenRegistry();
    if (!registry) throw std::runtime_error("registry: " + machine_->RegistryError());
    auto key = platform::RegKey::Create(**registry, path);
    if (!key) throw std::runtime_error("cannot create key " + std::string(path));
    return std::move(*key);
  }
  platform::RegKey Settings() { return Key(kSettingsKey); }

  void SetSendOfflineMsg(bool on) {
    if (Settings().SetDword("SendOfflineMsg", on ? 1 : 0) != platform::kErrorSuccess) {
      throw std::runtime_error("SetDword failed");
    }
  }
  void SetRunExe(std::string_view value) {
    if (Settings().SetString("RunExe", value) != platform::kErrorSuccess) {
      throw std::runtime_error("SetString failed");
    }
  }
  void Login(std::string_view user) {
    platform::SessionStore sessions(*machine_);
    if (!sessions.Login(user)) throw std::runtime_error("login failed");
  }

 private:
  test::TempMachine temp_;
  platform::Machine* machine_;  // temp_'s
};

using test::ReadFile;
using test::WriteFile;

}  // namespace uv::testing
