// Conformance of the machine root's service manager and the CNTService host, driven through a
// real test service process.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "client/service/CNTService.h"
#include "platform/eventlog/EventLog.h"
#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/service/ServiceControlManager.h"
#include "tests/service/ServiceTestSupport.h"

namespace fs = std::filesystem;
using namespace uv::platform;
using uv::client::CNTService;
using uv::client::CNTServiceCommandLineInfo;

namespace {

using namespace uv::servicetest;

class ServiceHost : public ServiceRoot {
 protected:
  static bool WaitFor(const ServiceHandle& service, ServiceState state) {
    return WaitForState(service, state);
  }
};

TEST_F(ServiceHost, CreateOpenQueryAndDuplicates) {
  auto service = Install();
  auto config = service.QueryConfig();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->imagePath, "\"" UV_TEST_SERVICE "\"");
  EXPECT_EQ(config->displayName, "UV Test Service");
  EXPECT_EQ(manager_->OpenService("uvtestservice").ok(), true);  // names ignore case
  EXPECT_EQ(manager_->OpenService("NoSuchService").error(), kErrorServiceDoesNotExist);
  ServiceConfig again;
  again.imagePath = "/bin/true";
  EXPECT_EQ(manager_->CreateService(kName, again).error(), kErrorServiceExists);
  again.displayName = "UV Test Service";
  EXPECT_EQ(manager_->CreateService("Other", again).error(), kErrorDuplicateServiceName);
  EXPECT_EQ(manager_->CreateService(std::string(257, 'x'), again).error(), kErrorInvalidName);
  auto list = manager_->EnumServices();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ(list->front().name, kName);
  EXPECT_EQ(service.ChangeDescription("described"), kErrorSuccess);
  EXPECT_EQ(service.QueryDescription().value_or(""), "described");
}

TEST_F(ServiceHost, StartRunsTheServiceAndControlsReachIt) {
  auto service = Install();
  ASSERT_EQ(service.Start(), kErrorSuccess);
  ASSERT_TRUE(WaitFor(service, ServiceState::kRunning));
  EXPECT_EQ(service.Start(), kErrorServiceAlreadyRunning);

  auto status = service.Control(kServiceControlInterrogate);
  ASSERT_TRUE(status) << status.error();
  EXPECT_EQ(status->currentState, ServiceState::kRunning);
  EXPECT_NE(status->processId, 0u);

  status = service.Control(kServiceControlPause);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->currentState, ServiceState::kPaused);
  status = service.Control(kServiceControlContinue);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->currentState, ServiceState::kRunning);

  EXPECT_TRUE(service.Control(200));
  // A handler that does not return within the pipe timeout: 1053, and the service still
  // answers once it has.
  EXPECT_EQ(service.Control(250).error(), kErrorServiceRequestTimeout);
  Touch("proceed-control");
  EXPECT_TRUE(service.Control(kServiceControlInterrogate));
  EXPECT_EQ(service.Control(50).error(), kErrorInvalidServiceControl);
  EXPECT_EQ(service.Control(kServiceControlParamChange).error(), kErrorInvalidServiceControl);

  ASSERT_TRUE(service.Control(kServiceControlStop));
  ASSERT_TRUE(WaitFor(service, ServiceState::kStopped));
  EXPECT_EQ(service.Control(kServiceControlInterrogate).error(), kErrorServiceNotActive);

  auto events = ReadEventLog(*machine_);
  ASSERT_TRUE(events);
  bool sawUserControl = false;
  bool sawStopped = false;
  for (const auto& e : *events) {
    if (e.id == uv::client::kEventUserControl && e.strings == std::vector<std::string>{"200"}) {
      sawUserControl = true;
    }
    if (e.id == uv::client::kEventServiceStopped && e.source == "UV Test Service") {
      sawStopped = true;
    }
  }
  EXPECT_TRUE(sawUserControl);
  EXPECT_TRUE(sawStopped);
}

TEST_F(ServiceHost, DeleteWhileRunningMarksAndRemovesAtStop) {
  auto service = Install();
  ASSERT_EQ(service.Start(), kErrorSuccess);
  ASSERT_TRUE(WaitFor(service, ServiceState::kRunning));
  EXPECT_EQ(service.Delete(), kErrorSuccess);
  EXPECT_EQ(service.Delete(), kErrorServiceMarkedForDelete);
  ServiceConfig config;
  config.imagePath = "/bin/true";
  EXPECT_EQ(manager_->CreateService(kName, config).error(), kErrorServiceMarkedForDelete);
  ASSERT_TRUE(service.Control(kServiceControlStop));
  ASSERT_TRUE(WaitFor(service, ServiceState::kStopped));
  // The key goes once the service has stopped.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (manager_->OpenService(kName) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(manager_->OpenService(kName).error(), kErrorServiceDoesNotExist);
}

TEST_F(ServiceHost, BrokenStartsGiveWindowsErrors) {
  struct Case {
    const char* imagePath;
    std::vector<std::string> arguments;
    WinError startError;
  };
  const Case cases[] = {
      {"/no/such/program", {}, kErrorFileNotFound},
      {"/bin/sleep 30", {}, kErrorServiceRequestTimeout},  // never connects
      {"/bin/true", {}, kErrorProcessAborted},             // ends without connecting
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imagePath);
    ServiceConfig config;
    config.imagePath = c.imagePath;
    auto service = manager_->CreateService("Broken", config);
    ASSERT_TRUE(service);
    EXPECT_EQ(service->Start(c.arguments), c.startError);
    EXPECT_EQ(service->QueryStatus()->currentState, ServiceState::kStopped);
    EXPECT_EQ(service->Delete(), kErrorSuccess);
  }
  // A service process that dies during start is seen as stopped by every query.
  auto service = Install();
  ASSERT_EQ(service.Start({"die"}), kErrorSuccess);
  ASSERT_TRUE(WaitFor(service, ServiceState::kStopped));
  EXPECT_EQ(service.QueryStatus()->win32ExitCode, kErrorProcessAborted);
  // A Run that throws the terminate exception ends with its codes.
  ASSERT_EQ(service.Start({"throw"}), kErrorSuccess);
  ASSERT_TRUE(WaitFor(service, ServiceState::kStopped));
  auto status = service.QueryStatus();
  EXPECT_EQ(status->win32ExitCode, 1066u);
  EXPECT_EQ(status->serviceSpecificExitCode, 42u);
}

TEST_F(ServiceHost, DatabaseEditedByHandGivesErrorsNotNonsense) {
  struct Case {
    const char* what;
    const char* value;
    RegType type;
    std::vector<std::uint8_t> data;
    WinError startError;
    WinError configError;
  };
  auto text = [](std::string_view t) {
    std::vector<std::uint8_t> bytes(t.begin(), t.end());
    bytes.push_back(0);
    return bytes;
  };
  const std::string directory = root_.string();
  const Case cases[] = {
      {"image path a number",
       "ImagePath",
       RegType::kDword,
       {1, 0, 0, 0},
       kErrorInvalidData,
       kErrorInvalidData},
      {"image path empty", "ImagePath", RegType::kSz, text(""), kErrorFileNotFound, kErrorSuccess},
      {"image path only quotes", "ImagePath", RegType::kSz, text("\"\""), kErrorFileNotFound,
       kErrorSuccess},
      {"image path a directory", "ImagePath", RegType::kSz, text(directory), kErrorAccessDenied,
       kErrorSuccess},
      {"start type disabled",
       "Start",
       RegType::kDword,
       {4, 0, 0, 0},
       kErrorServiceDisabled,
       kErrorSuccess},
      {"start type a text", "Start", RegType::kSz, text("2"), kErrorSuccess, kErrorInvalidData},
      {"start type cut short", "Start", RegType::kDword, {2, 0}, kErrorSuccess, kErrorInvalidData},
      {"display name a number",
       "DisplayName",
       RegType::kDword,
       {1, 0, 0, 0},
       kErrorSuccess,
       kErrorInvalidData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto service = Install();
    ASSERT_EQ(ServiceKey().SetValue(c.value, c.type, c.data), kErrorSuccess);
    EXPECT_EQ(service.QueryConfig().error(), c.configError);
    EXPECT_EQ(service.Start(), c.startError);
    if (c.startError == kErrorSuccess) {
      ASSERT_TRUE(WaitFor(service, ServiceState::kRunning));
      ASSERT_TRUE(service.Control(kServiceControlStop));
    }
    EXPECT_TRUE(WaitFor(service, ServiceState::kStopped));
    EXPECT_EQ(service.Delete(), kErrorSuccess);
  }
}

TEST_F(ServiceHost, TwoManagersAtOnce) {
  constexpr int kManagers = 4;
  // Each thread is another manager: a machine object and a handle of its own, as another
  // process would have.
  auto together = [&](auto work) {
    std::vector<WinError> results(kManagers, kErrorSuccess);
    std::atomic<int> ready{0};
    std::vector<std::jthread> threads;
    for (int i = 0; i < kManagers; ++i) {
      threads.emplace_back([&, i] {
        Machine machine(root_);
        auto manager = ServiceControlManager::Open(machine, ScmAccess::kAll);
        if (!manager) {
          results[i] = manager.error();
          return;
        }
        ++ready;
        while (ready.load() < kManagers) std::this_thread::yield();
        results[i] = work(*manager);
      });
    }
    threads.clear();
    std::sort(results.begin(), results.end());
    return results;
  };
  ServiceConfig config;
  config.imagePath = "\"" UV_TEST_SERVICE "\"";
  auto created = together([&](ServiceControlManager& manager) {
    auto service = manager.CreateService(kName, config);
    return service ? kErrorSuccess : service.error();
  });
  EXPECT_EQ(created, (std::vector<WinError>{kErrorSuccess, kErrorServiceExists, kErrorServiceExists,
                                            kErrorServiceExists}));
  auto started = together([&](ServiceControlManager& manager) {
    auto service = manager.OpenService(kName);
    return service ? service->Start() : service.error();
  });
  EXPECT_EQ(started,
            (std::vector<WinError>{kErrorSuccess, kErrorServiceAlreadyRunning,
                                   kErrorServiceAlreadyRunning, kErrorServiceAlreadyRunning}));
  auto service = manager_->OpenService(kName);
  ASSERT_TRUE(service);
  ASSERT_TRUE(WaitFor(*service, ServiceState::kRunning));
  auto interrogated = together([&](ServiceControlManager& manager) {
    auto handle = manager.OpenService(kName);
    for (int i = 0; i < 20 && handle; ++i) {
      auto status = handle->Control(i % 2 == 0 ? kServiceControlInterrogate : 200);
      if (!status) return status.error();
      if (status->currentState != ServiceState::kRunning) return kErrorInvalidData;
    }
    return handle ? kErrorSuccess : handle.error();
  });
  EXPECT_EQ(interrogated, std::vector<WinError>(kManagers, kErrorSuccess));
  auto stopped = together([&](ServiceControlManager& manager) {
    auto handle = manager.OpenService(kName);
    if (!handle) return handle.error();
    auto status = handle->Control(kServiceControlStop);
    return status ? kErrorSuccess : status.error();
  });
  // One stop is taken; the others find the service stop pending or already gone.
  EXPECT_EQ(stopped[0], kErrorSuccess);
  for (int i = 1; i < kManagers; ++i) {
    EXPECT_TRUE(stopped[i] == kErrorServiceCannotAcceptCtrl ||
                stopped[i] == kErrorServiceNotActive || stopped[i] == kErrorSuccess)
        << stopped[i];
  }
  EXPECT_TRUE(WaitFor(*service, ServiceState::kStopped));
}

TEST_F(ServiceHost, ControlSocketSurvivesGarbage) {
  auto service = Install();
  ASSERT_EQ(service.Start(), kErrorSuccess);
  ASSERT_TRUE(WaitFor(service, ServiceState::kRunning));
  for (const auto& entry : fs::directory_iterator(root_ / "run" / "services")) {
    if (entry.path().extension() != ".ctl") continue;
    for (std::size_t size : {0, 3, 17, 9000}) {
      const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::snprintf(address.sun_path, sizeof address.sun_path, "%s", entry.path().c_str());
      ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      std::vector<char> garbage(size, 'x');
      if (size > 0) (void)::send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL);
      ::close(fd);
    }
  }
  // A client that connects and says nothing holds nobody else's controls for long.
  for (const auto& entry : fs::directory_iterator(root_ / "run" / "services")) {
    if (entry.path().extension() != ".ctl") continue;
    const int silent = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", entry.path().c_str());
    ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto status = service.Control(kServiceControlInterrogate);
    ::close(silent);
    ASSERT_TRUE(status) << status.error();
  }
  auto status = service.Control(kServiceControlInterrogate);
  ASSERT_TRUE(status) << status.error();
  EXPECT_EQ(status->currentState, ServiceState::kRunning);
}

TEST(ServiceHostDispatcher, RunByHandGives1063) {
  const uv::test::TempDir root("uv-svc");
  const std::string command = "USBVANTREL_ROOT=" + root.path().string() + " " UV_TEST_SERVICE;
  const int status = std::system(command.c_str());
  EXPECT_EQ(WEXITSTATUS(status), 1063 & 0xFF);
}

TEST(CNTServiceCommandLineInfo, SwitchTable) {
  using Action = CNTServiceCommandLineInfo::Action;
  struct Case {
    std::vector<std::string> args;
    Action action;
    std::uint32_t timeout;
  };
  const Case cases[] = {
      {{"p", "-install"}, Action::kInstallService, 5000},
      {{"p", "/REMOVE"}, Action::kUninstallService, 5000},
      {{"p", "-Uninstall"}, Action::kUninstallService, 5000},
      {{"p", "-start", "/T:1234"}, Action::kStartService, 1234},
      {{"p", "-pause"}, Action::kPauseService, 5000},
      {{"p", "-continue"}, Action::kContinueService, 5000},
      {{"p", "-stop", "-t:-1"}, Action::kStopService, 0xFFFFFFFF},
      {{"p", "-debug"}, Action::kRunInConsole, 5000},
      {{"p", "/app"}, Action::kRunInConsole, 5000},
      {{"p", "-application"}, Action::kRunInConsole, 5000},
      {{"p", "-console"}, Action::kRunInConsole, 5000},
      {{"p", "-help"}, Action::kShowHelp, 5000},
      {{"p", "/?"}, Action::kShowHelp, 5000},
      {{"p", "install", "-bogus", "/T:", "/T:12x"}, Action::kRunAsService, 5000},
      {{"p", "/T:0"}, Action::kRunAsService, 0},
      {{"p", "/T:99999999999"}, Action::kRunAsService, 5000},  // does not fit
      {{"p", "/T:4294967295"}, Action::kRunAsService, 5000},   // only "-1" means no limit
      {{"p", "/T: 12"}, Action::kRunAsService, 5000},
      {{"p", "--install", "/", "-", ""}, Action::kRunAsService, 5000},
      {{"p", "-stop", "/START"}, Action::kStartService, 5000},  // the last action counts
  };
  for (const auto& c : cases) {
    CNTServiceCommandLineInfo info;
    info.Parse(c.args);
    EXPECT_EQ(info.action, c.action) << c.args[1];
    EXPECT_EQ(info.timeout, c.timeout) << c.args[1];
  }
  CNTServiceCommandLineInfo info;
  info.Parse({"p", "-silent", "-auto", "/SCL:-x Y", "/SN:Name", "/SDN:Shown", "/SD:Said", "/U:bob",
              "/P:Secret", "/SN:"});
  EXPECT_TRUE(info.silent);
  EXPECT_TRUE(info.autoStart);
  EXPECT_EQ(info.serviceCommandLine, "-x Y");
  EXPECT_EQ(info.serviceName, "Name");
  EXPECT_EQ(info.serviceDisplayName, "Shown");
  EXPECT_EQ(info.serviceDescription, "Said");
  EXPECT_EQ(info.userName, "bob");
  EXPECT_EQ(info.password, "Secret");
  info.WipeAccount();
  EXPECT_TRUE(info.password.empty());
  info.Parse({"p", "/SN:" + std::string(10240, 'n')});
  EXPECT_EQ(info.serviceName.size(), CNTServiceCommandLineInfo::kMaxSwitchText);

  // Prefixes in any case, values in theirs; a prefix without a value changes nothing; a long
  // value is cut before a character, never inside one.
  struct Text {
    std::string arg;
    std::string CNTServiceCommandLineInfo::*field;
    std::string value;
  };
  const std::string longName = std::string(CNTServiceCommandLineInfo::kMaxSwitchText - 1, 'n');
  const Text texts[] = {
      {"/sn:MixedCase", &CNTServiceCommandLineInfo::serviceName, "MixedCase"},
      {"-sdn:Shown Name", &CNTServiceCommandLineInfo::serviceDisplayName, "Shown Name"},
      {"/Sd:said", &CNTServiceCommandLineInfo::serviceDescription, "said"},
      {"/scl:/a \"b\"", &CNTServiceCommandLineInfo::serviceCommandLine, "/a \"b\""},
      {"/SD:", &CNTServiceCommandLineInfo::serviceDescription, ""},
      {"/U:", &CNTServiceCommandLineInfo::userName, ""},
      {"/SN:" + longName + "\xC3\xA9", &CNTServiceCommandLineInfo::serviceName, longName},
  };
  for (const auto& t : texts) {
    SCOPED_TRACE(t.arg.substr(0, 20));
    CNTServiceCommandLineInfo parsed;
    parsed.Parse({"p", t.arg});
    EXPECT_EQ(parsed.*t.field, t.value);
    EXPECT_EQ(parsed.action, CNTServiceCommandLineInfo::Action::kRunAsService);
  }
}

}  // namespace
