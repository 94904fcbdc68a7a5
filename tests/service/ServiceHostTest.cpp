// Conformance of the machine root's service manager and the CNTService host, driven through a
// real test service process.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "client/service/CNTService.h"
#include "platform/eventlog/EventLog.h"
#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/service/ServiceControlManager.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using namespace uv::platform;
using uv::client::CNTService;
using uv::client::CNTServiceCommandLineInfo;

namespace {

constexpr const char* kName = "UVTestService";

class ServiceHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.empty());
    machine_ = std::make_unique<Machine>(root_);
    auto manager = ServiceControlManager::Open(*machine_, ScmAccess::kAll);
    ASSERT_TRUE(manager);
    manager_ = std::make_unique<ServiceControlManager>(std::move(manager.value()));
    // Keep failing starts short.
    auto registry = machine_->OpenRegistry();
    ASSERT_TRUE(registry);
    auto control = RegKey::Create(**registry, "SYSTEM\\CurrentControlSet\\Control");
    ASSERT_TRUE(control);
    ASSERT_EQ(control->SetDword("ServicesPipeTimeout", 2000), kErrorSuccess);
  }
  void TearDown() override {
    if (auto service = manager_->OpenService(kName); service) {
      (void)service->Control(kServiceControlStop);
      WaitFor(*service, ServiceState::kStopped);
    }
    manager_.reset();
    machine_.reset();
  }

  ServiceHandle Install(const std::string& imagePath = "\"" UV_TEST_SERVICE "\"") {
    ServiceConfig config;
    config.imagePath = imagePath;
    config.displayName = "UV Test Service";
    auto service = manager_->CreateService(kName, config);
    EXPECT_TRUE(service) << service.error();
    return std::move(service.value());
  }

  static bool WaitFor(ServiceHandle& service, ServiceState state) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      auto status = service.QueryStatus();
      if (status && status->currentState == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  uv::test::TempDir temp_{"uv-svc"};
  const fs::path root_ = temp_.path();
  std::unique_ptr<Machine> machine_;
  std::unique_ptr<ServiceControlManager> manager_;
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
  auto status = service.Control(kServiceControlInterrogate);
  ASSERT_TRUE(status) << status.error();
  EXPECT_EQ(status->currentState, ServiceState::kRunning);
}

TEST(ServiceHostDispatcher, RunByHandGives1063) {
  const uv::test::TempDir temp("uv-svc");
  const fs::path& root = temp.path();
  const std::string command = "USBVANTREL_ROOT=" + root.string() + " " UV_TEST_SERVICE;
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
}

}  // namespace
