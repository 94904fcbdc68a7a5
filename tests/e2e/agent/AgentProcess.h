#pragma once
// Runs the real USBVantrelClient on a temporary machine root for end-to-end tests: service
// commands, console mode, and the texts the tests expect.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pnp/DeviceManager.h"
#include "tests/agent/reporter/TestMachine.h"

extern char** environ;

namespace uv::e2e {

using testing::TestMachine;

inline constexpr char kAgent[] = USBVANTREL_CLIENT_PATH;
inline const std::string kStick = "Kingston DataTraveler 3.0 USB Device";

inline pid_t Spawn(const std::filesystem::path& root, const std::vector<std::string>& args) {
  std::vector<std::string> env{"USBVANTREL_ROOT=" + root.string()};
  for (char** e = environ; *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with("USBVANTREL_ROOT=")) env.emplace_back(*e);
  }
  std::vector<char*> argv{const_cast<char*>(kAgent)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, kAgent, nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  return pid;
}

inline int Wait(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The program with a service command (-install, -start, ...); its exit code.
inline int Command(TestMachine& machine, const std::string& action) {
  return Wait(Spawn(machine.root(), {action, "-silent"}));
}

inline platform::PlugRequest Stick(char letter) {
  platform::PlugRequest request;
  request.vendorId = 0x0951;
  request.productId = 0x1666;
  request.serial = "0019E06B9C85F9A0";
  request.vendorName = "Kingston";
  request.productName = "DataTraveler 3.0";
  request.letter = letter;
  return request;
}

inline std::string R(const std::string& text) {
  return "R " + text + "PC17\\alice";
}

}  // namespace uv::e2e
