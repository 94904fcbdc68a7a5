#pragma once
// What the service host's tests share: a temporary machine root with its manager, the small test
// service installed in it, and running a real program of the build against that root.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventlog/EventLog.h"
#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/service/ServiceControlManager.h"
#include "tests/support/FileText.h"
#include "tests/support/TempMachine.h"

extern char** environ;

namespace uv::servicetest {

namespace fs = std::filesystem;
using namespace uv::platform;

inline constexpr const char* kName = "UVTestService";
inline constexpr const char* kDisplayName = "UV Test Service";
inline constexpr const char* kTestService = UV_TEST_SERVICE;

struct ProgramResult {
  int exitCode = -1;  // the exit status, or -signal when a signal ended it
  std::string out;
  std::string err;
};

// The environment of a program run against `root`: ours with USBVANTREL_ROOT replaced.
inline std::vector<std::string> RootEnvironment(const fs::path& root) {
  std::vector<std::string> env{"USBVANTREL_ROOT=" + root.string()};
  for (char** e = environ; *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with("USBVANTREL_ROOT=")) env.emplace_back(*e);
  }
  return env;
}

// Starts `program` with `args` against `root`, stdout and stderr into files of `outputs`.
inline pid_t SpawnProgram(const fs::path& root, const fs::path& outputs, const std::string& program,
                          const std::vector<std::string>& args) {
  auto env = RootEnvironment(root);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string out = (outputs / "stdout").string();
  const std::string err = (outputs / "stderr").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

inline int WaitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1000;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Runs a program to its end. Exit codes above 255 arrive cut to their low byte.
inline ProgramResult RunProgram(const fs::path& root, const std::string& program,
                                const std::vector<std::string>& args) {
  const fs::path outputs = root / "outputs";
  std::error_code ec;
  fs::create_directories(outputs, ec);
  ProgramResult result;
  const pid_t pid = SpawnProgram(root, outputs, program, args);
  if (pid < 0) return result;
  result.exitCode = WaitExit(pid);
  result.out = test::ReadFile(outputs / "stdout");
  result.err = test::ReadFile(outputs / "stderr");
  return result;
}

inline bool WaitForState(const ServiceHandle& service, ServiceState state) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    auto status = service.QueryStatus();
    if (status && status->currentState == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// The identifiers of the events `source` wrote, in order.
inline std::vector<std::uint32_t> EventIds(const Machine& machine, std::string_view source) {
  std::vector<std::uint32_t> ids;
  auto events = ReadEventLog(machine);
  if (!events) return ids;
  for (const auto& e : *events) {
    if (e.source == source) ids.push_back(e.id);
  }
  return ids;
}

// A machine root of its own per test, with a manager open on it and short start waits. The test
// service is stopped (or killed, when it refuses) and the root removed afterwards.
class ServiceRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    auto manager = ServiceControlManager::Open(*machine_, ScmAccess::kAll);
    ASSERT_TRUE(manager);
    manager_ = std::make_unique<ServiceControlManager>(std::move(manager.value()));
    auto registry = machine_->OpenRegistry();
    ASSERT_TRUE(registry);
    auto control = RegKey::Create(**registry, "SYSTEM\\CurrentControlSet\\Control");
    ASSERT_TRUE(control);
    ASSERT_EQ(control->SetDword("ServicesPipeTimeout", 2000), kErrorSuccess);
  }
  void TearDown() override {
    Touch("proceed-start");
    Touch("proceed-stop");
    Touch("proceed-control");
    if (auto service = manager_->OpenService(kName); service) {
      auto status = service->QueryStatus();
      if (status && status->currentState != ServiceState::kStopped) {
        (void)service->Control(kServiceControlStop);
        if (!WaitForState(*service, ServiceState::kStopped) && status->processId != 0) {
          ::kill(static_cast<pid_t>(status->processId), SIGKILL);
        }
      }
    }
    manager_.reset();
  }

  ServiceHandle Install(const std::string& imagePath = "\"" UV_TEST_SERVICE "\"") {
    ServiceConfig config;
    config.imagePath = imagePath;
    config.displayName = kDisplayName;
    auto service = manager_->CreateService(kName, config);
    EXPECT_TRUE(service) << service.error();
    return std::move(service.value());
  }

  RegKey ServiceKey(std::string_view name = kName) {
    auto registry = machine_->OpenRegistry();
    EXPECT_TRUE(registry);
    auto key = RegKey::Open(**registry, std::string(kServicesKey) + "\\" + std::string(name),
                            RegAccess::kAll);
    EXPECT_TRUE(key);
    return std::move(key.value());
  }

  void Touch(const char* name) { std::ofstream(root_ / name).flush(); }

  ProgramResult Run(const std::string& program, const std::vector<std::string>& args) {
    return RunProgram(root_, program, args);
  }

  test::TempMachine temp_{"uv-svc"};
  const fs::path& root_ = temp_.root();
  Machine* machine_ = &temp_.machine();
  std::unique_ptr<ServiceControlManager> manager_;
};

}  // namespace uv::servicetest
