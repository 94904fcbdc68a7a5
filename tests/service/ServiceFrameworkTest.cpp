// CNTService as a program uses it: the test service's own command line installs, removes,
// starts, pauses, continues and stops it (with the event sources and the events it writes),
// console mode ends cleanly on each console-control signal, and the profile store and
// FindInstances work on the machine root's database.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "client/service/CNTService.h"
#include "client/service/ServiceMessageBox.h"
#include "tests/service/ServiceTestSupport.h"

namespace {

using namespace uv::servicetest;
using uv::client::CNTService;
using uv::client::kMessageBoxEventId;

constexpr const char* kSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\UV Test Service";

class ServiceFramework : public ServiceRoot {
 protected:
  // The events written since `from` (an index into the log).
  std::vector<EventRecord> EventsSince(std::size_t from) {
    auto events = ReadEventLog(*machine_);
    EXPECT_TRUE(events);
    if (!events || events->size() < from) return {};
    return {events->begin() + static_cast<std::ptrdiff_t>(from), events->end()};
  }
  std::size_t EventCount() {
    auto events = ReadEventLog(*machine_);
    return events ? events->size() : 0;
  }
  // Stops the test service, or kills it when it takes no stop, and deletes it.
  void Discard() {
    auto service = manager_->OpenService(kName);
    if (!service) return;
    auto status = service->QueryStatus();
    if (status && status->currentState != ServiceState::kStopped) {
      if (!service->Control(kServiceControlStop) && status->processId != 0) {
        ::kill(static_cast<pid_t>(status->processId), SIGKILL);
      }
      EXPECT_TRUE(WaitForState(*service, ServiceState::kStopped));
    }
    EXPECT_EQ(service->Delete(), kErrorSuccess);
  }
};

bool Contains(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

TEST_F(ServiceFramework, InstallRegistersTheSourceAndRemoveTakesItOut) {
  ASSERT_EQ(RegisterEventSource(*machine_, "Application", "Other Source", "other.dll", 7),
            kErrorSuccess);
  auto result = Run(kTestService, {"-install"});
  ASSERT_EQ(result.exitCode, 0) << result.err;

  EXPECT_EQ(EventSources(*machine_, "Application"),
            (std::vector<std::string>{"Other Source", kDisplayName}));
  {
    auto registry = machine_->OpenRegistry();
    ASSERT_TRUE(registry);
    auto source = RegKey::Open(**registry, kSourceKey);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->QueryString("EventMessageFile").value_or(""),
              std::string(kTestService) + ".DLL");
    EXPECT_EQ(source->QueryDword("TypesSupported").value_or(0), 7u);
  }
  auto service = manager_->OpenService(kName);
  ASSERT_TRUE(service);
  auto config = service->QueryConfig();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->imagePath, kTestService);  // no blank in it, so no quotes
  EXPECT_EQ(config->startType, kServiceAutoStart);
  EXPECT_EQ(config->errorControl, kServiceErrorIgnore);
  EXPECT_EQ(config->displayName, kDisplayName);
  EXPECT_EQ(service->QueryDescription().value_or(""), "Service of the host's tests");

  // A second install fails with its text, and the source stays listed once.
  const std::size_t before = EventCount();
  result = Run(kTestService, {"-install"});
  EXPECT_EQ(result.exitCode, 1073 & 0xFF);
  auto events = EventsSince(before);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, kMessageBoxEventId);
  EXPECT_EQ(events[0].strings,
            (std::vector<std::string>{
                "Error",
                "The service could not be installed. Error 1073: The specified service "
                "already exists."}));
  EXPECT_EQ(EventSources(*machine_, "Application"),
            (std::vector<std::string>{"Other Source", kDisplayName}));

  // The requests of the command line, and the events of the default operations.
  for (const char* request : {"-start", "-pause", "-continue"}) {
    SCOPED_TRACE(request);
    EXPECT_EQ(Run(kTestService, {request}).exitCode, 0);
  }
  ASSERT_TRUE(service->Control(kServiceControlShutdown));
  EXPECT_EQ(Run(kTestService, {"-stop"}).exitCode, 0);
  EXPECT_EQ(service->QueryStatus()->currentState, ServiceState::kStopped);
  EXPECT_EQ(EventIds(*machine_, kDisplayName),
            (std::vector<std::uint32_t>{0x40000002, kMessageBoxEventId, 0x40000001, 0x40000004,
                                        0x40000005, 0x40000009, 0x40000003}));

  // Remove: the service and its source go; the other source stays.
  ASSERT_EQ(Run(kTestService, {"-remove"}).exitCode, 0);
  EXPECT_EQ(manager_->OpenService(kName).error(), kErrorServiceDoesNotExist);
  EXPECT_EQ(EventSources(*machine_, "Application"), std::vector<std::string>{"Other Source"});
  auto registry = machine_->OpenRegistry();
  ASSERT_TRUE(registry);
  EXPECT_EQ(RegKey::Open(**registry, kSourceKey).error(), kErrorFileNotFound);
}

TEST_F(ServiceFramework, RemoveStopsARunningServiceFirst) {
  ASSERT_EQ(Run(kTestService, {"-install"}).exitCode, 0);
  ASSERT_EQ(Run(kTestService, {"-start"}).exitCode, 0);
  EXPECT_EQ(Run(kTestService, {"-remove"}).exitCode, 0);
  EXPECT_EQ(manager_->OpenService(kName).error(), kErrorServiceDoesNotExist);
  EXPECT_TRUE(Contains(EventIds(*machine_, kDisplayName), 0x40000003));
}

TEST_F(ServiceFramework, FailedRequestsGiveTheirTextAndErrorEvent) {
  const std::string program = std::string("\"") + kTestService + "\"";
  struct Case {
    std::string imagePath;  // empty: not installed
    std::vector<std::string> args;
    int error;
    std::uint32_t eventId;
    const char* text;  // the message box's; nullptr when silent
  };
  const Case cases[] = {
      {"",
       {"-start"},
       1060,
       0xC000000F,
       "The service could not be opened. Error 1060: The specified service does not exist as an "
       "installed service."},
      {"",
       {"-remove"},
       1060,
       0xC0000007,
       "The service could not be opened for removal. Error 1060: The specified service does not "
       "exist as an installed service."},
      {program,
       {"-pause"},
       1062,
       0xC000000D,
       "The service could not be paused. Error 1062: The service has not been started."},
      {program, {"-continue", "-silent"}, 1062, 0xC000000C, nullptr},
      {"/bin/true",
       {"-start"},
       1067,
       0xC000000A,
       "The service could not be started. Error 1067: The process terminated unexpectedly."},
      {program + " die",
       {"-start"},
       1067,
       0xC000000E,
       "The service did not reach the requested state. Error 1067: The process terminated "
       "unexpectedly."},
      // Never reports running: the wait ends after the timeout of the command line.
      {program + " hang",
       {"-start", "/T:600"},
       1460,
       0xC000000E,
       "The service did not reach the requested state. Error 1460: This operation returned "
       "because the timeout period expired."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imagePath + " " + c.args[0]);
    if (!c.imagePath.empty()) Install(c.imagePath);
    const std::size_t before = EventCount();
    const auto result = Run(kTestService, c.args);
    EXPECT_EQ(result.exitCode, c.error & 0xFF);
    EXPECT_EQ(result.err, "");  // no terminal: the text goes to the event log
    std::vector<EventRecord> got;
    for (const auto& e : EventsSince(before)) {
      if (e.id != uv::client::kEventServiceStarted) got.push_back(e);
    }
    // The error event carries the error template alone; the message box the step's whole text.
    ASSERT_EQ(got.size(), c.text != nullptr ? 2u : 1u);
    EXPECT_EQ(got[0].type, EventType::kError);
    EXPECT_EQ(got[0].id, c.eventId);
    ASSERT_EQ(got[0].strings.size(), 1u);
    EXPECT_TRUE(got[0].strings[0].starts_with("Error " + std::to_string(c.error) + ": "))
        << got[0].strings[0];
    if (c.text != nullptr) {
      EXPECT_EQ(got[1].id, kMessageBoxEventId);
      EXPECT_EQ(got[1].strings, (std::vector<std::string>{"Error", c.text}));
      EXPECT_TRUE(std::string_view(c.text).ends_with(got[0].strings[0]));
    }
    if (!c.imagePath.empty()) Discard();
  }
}

// --- console mode ---

// The test service in console mode, in a session of its own; with a terminal when `terminal`
// names the far side of a pseudo-terminal.
pid_t SpawnConsole(const fs::path& root, const char* terminal) {
  auto env = RootEnvironment(root);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string program = kTestService;
  std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("-debug"), nullptr};
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The session leader's first terminal becomes its controlling terminal.
  const char* device = terminal != nullptr ? terminal : "/dev/null";
  for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addopen(&actions, fd, device, O_RDWR, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

TEST_F(ServiceFramework, ConsoleModeStopsCleanlyOnEachConsoleControl) {
  struct Case {
    const char* what;
    int signal;  // 0: close the terminal
  };
  const Case cases[] = {
      {"Ctrl-C", SIGINT},  {"Ctrl-Break", SIGQUIT}, {"end request", SIGTERM},
      {"hang-up", SIGHUP}, {"terminal closed", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int master = -1;
    const char* terminal = nullptr;
    if (c.signal == 0) {
      master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(master, 0);
      ASSERT_EQ(::grantpt(master), 0);
      ASSERT_EQ(::unlockpt(master), 0);
      terminal = ::ptsname(master);
    }
    auto startedEvents = [this] {
      const auto ids = EventIds(*machine_, kDisplayName);
      return std::count(ids.begin(), ids.end(), 0x40000001u);
    };
    const auto started = startedEvents();
    const pid_t pid = SpawnConsole(root_, terminal);
    ASSERT_GT(pid, 0);
    // Running means the handler is in place: a signal now is a console-control event.
    bool running = false;
    for (int i = 0; i < 2000 && !running; ++i) {
      running = startedEvents() > started;
      if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(running);
    const std::size_t before = EventCount();
    if (c.signal != 0) {
      ::kill(pid, c.signal);
    } else {
      ::close(master);
    }
    EXPECT_EQ(WaitExit(pid), 0);
    std::vector<std::uint32_t> ids;
    for (const auto& e : EventsSince(before)) ids.push_back(e.id);
    EXPECT_EQ(ids, std::vector<std::uint32_t>{0x40000003});
  }
}

// --- the profile store and FindInstances, in this process ---

class Framework : public CNTService {
 public:
  explicit Framework(Machine& machine)
      : CNTService(kName, kDisplayName, kServiceAcceptStop, {}, &machine) {}
};

TEST_F(ServiceFramework, ProfileStoreWritesReadsAndRefusesBadValues) {
  Install();
  Framework service(*machine_);
  const std::vector<std::uint8_t> bytes{1, 2, 0, 255};
  ASSERT_TRUE(service.WriteProfileText("Net", "Server", "10.0.0.1"));
  ASSERT_TRUE(service.WriteProfileNumber("Net", "Port", 1234));
  ASSERT_TRUE(service.WriteProfileTextList("Net", "Peers", std::vector<std::string>{"a", "b c"}));
  ASSERT_TRUE(service.WriteProfileBytes("Net", "Key", std::span<const std::uint8_t>(bytes)));
  ASSERT_TRUE(service.WriteProfileText("Other", "Server", "kept"));

  // Where and how the values are kept.
  auto registry = machine_->OpenRegistry();
  ASSERT_TRUE(registry);
  auto key = RegKey::Open(
      **registry, std::string(kServicesKey) + "\\" + kName + "\\Parameters\\Net", RegAccess::kAll);
  ASSERT_TRUE(key);
  const std::pair<const char*, RegType> types[] = {{"Server", RegType::kSz},
                                                   {"Port", RegType::kDword},
                                                   {"Peers", RegType::kMultiSz},
                                                   {"Key", RegType::kBinary}};
  for (const auto& [name, type] : types) {
    EXPECT_EQ(key->QueryValue(name)->type, type) << name;
  }
  // Values edited by hand into nonsense read as missing.
  ASSERT_EQ(key->SetValue("ShortNumber", RegType::kDword, std::vector<std::uint8_t>{1, 2, 3}),
            kErrorSuccess);

  EXPECT_EQ(service.GetProfileText("Net", "Server"), "10.0.0.1");
  EXPECT_EQ(service.GetProfileText("net", "SERVER"), "10.0.0.1");
  EXPECT_EQ(service.GetProfileNumber("Net", "Port"), 1234u);
  EXPECT_EQ(service.GetProfileTextList("Net", "Peers"), (std::vector<std::string>{"a", "b c"}));
  EXPECT_EQ(service.GetProfileBytes("Net", "Key"), bytes);
  // Missing or of another type: the default.
  EXPECT_EQ(service.GetProfileText("Net", "Port", "dflt"), "dflt");
  EXPECT_EQ(service.GetProfileText("Nowhere", "Server", "dflt"), "dflt");
  EXPECT_EQ(service.GetProfileNumber("Net", "Server", 7), 7u);
  EXPECT_EQ(service.GetProfileNumber("Net", "ShortNumber", 7), 7u);
  EXPECT_EQ(service.GetProfileTextList("Net", "Key"), std::nullopt);
  EXPECT_EQ(service.GetProfileBytes("Net", "Server"), std::nullopt);

  // Writing without a value deletes the value; without an entry, the section.
  EXPECT_TRUE(service.WriteProfileText("Net", "Server", std::nullopt));
  EXPECT_TRUE(service.WriteProfileNumber("Net", "Server", std::nullopt));  // already gone
  EXPECT_EQ(service.GetProfileText("Net", "Server", "gone"), "gone");
  EXPECT_EQ(service.GetProfileNumber("Net", "Port"), 1234u);
  EXPECT_TRUE(service.WriteProfileText("Net", std::nullopt, std::nullopt));
  EXPECT_EQ(service.GetProfileNumber("Net", "Port", 9), 9u);
  EXPECT_EQ(service.GetProfileText("Other", "Server"), "kept");
  EXPECT_TRUE(service.WriteProfileText("Net", std::nullopt, std::nullopt));  // already gone
}

TEST_F(ServiceFramework, FindInstancesListsTheServicesOfThisProgram) {
  const std::string program = (root_ / "Program Files" / "agent.bin").string();
  std::string upper = program;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const std::pair<const char*, std::string> services[] = {
      {"Quoted", "\"" + program + "\""},
      {"WithArguments", "\"" + program + "\" /SN:WithArguments -x"},
      {"OtherCase", "\"" + upper + "\""},
      {"OtherProgram", "/bin/true"},
      {"Prefix", "\"" + program + ".old\""},
  };
  for (const auto& [name, imagePath] : services) {
    ServiceConfig config;
    config.imagePath = imagePath;
    ASSERT_TRUE(manager_->CreateService(name, config)) << name;
  }
  // Not a Win32 service (a driver), with the same program.
  ServiceConfig driver;
  driver.serviceType = 1;
  driver.imagePath = "\"" + program + "\"";
  ASSERT_TRUE(manager_->CreateService("Driver", driver));

  Framework service(*machine_);
  service.SetProgramPath(program);
  std::vector<std::string> found{"stale"};
  ASSERT_TRUE(service.FindInstances(found));
  EXPECT_EQ(found, (std::vector<std::string>{"Quoted", "WithArguments", "OtherCase"}));
}

}  // namespace
