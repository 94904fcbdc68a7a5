// A small service for the service host's tests: runs until stopped, pauses and continues, logs
// every user control, and misbehaves on request. The words come from the start arguments or from
// the image path's own arguments:
//   "die"    ends the process during start;
//   "throw"  ends Run with the terminate exception (1066, 42);
//   "hang"   stays start pending and never reports running;
//   "gated"  stays in each pending state until the test creates the file "proceed-start" or
//            "proceed-stop" in the machine root, so the states a tool prints are known.
// The user control 250 does not return until the test creates "proceed-control".
// Reaching running writes the started event, which also tells a test of console mode that the
// console-control handler is in place.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/service/CNTService.h"
#include "platform/machine/Machine.h"

namespace {

using uv::platform::ServiceState;

class TestService : public uv::client::CNTService {
 public:
  explicit TestService(std::vector<std::string> processArgs)
      : CNTService("UVTestService", "UV Test Service",
                   uv::platform::kServiceAcceptStop | uv::platform::kServiceAcceptPauseContinue |
                       uv::platform::kServiceAcceptShutdown,
                   "Service of the host's tests"),
        processArgs_(std::move(processArgs)) {}

  void Run(const std::vector<std::string>& args) override {
    auto has = [&](const char* word) {
      return std::find(args.begin(), args.end(), word) != args.end() ||
             std::find(processArgs_.begin(), processArgs_.end(), word) != processArgs_.end();
    };
    if (has("die")) ::_exit(3);
    if (has("throw")) throw uv::client::CNTServiceTerminateException(1066, 42);
    if (has("hang")) {
      ReportStatus(ServiceState::kStartPending, 1, 60000);
      WaitForStop();
      return;
    }
    const bool gated = has("gated");
    if (gated) {
      WaitForFile("proceed-start");
    } else {
      ReportStatus(ServiceState::kStartPending, 1, 1100);
    }
    ReportStatus(ServiceState::kRunning);
    WriteEvent(uv::platform::EventType::kInformation, uv::client::kEventServiceStarted,
               {DisplayName()});
    WaitForStop();
    if (gated) WaitForFile("proceed-stop");
  }

  void OnStop() override {
    CNTService::OnStop();
    ReportStatus(ServiceState::kStopPending, 1, 4000);
    std::lock_guard lock(mutex_);
    stop_ = true;
    stopped_.notify_all();
  }
  void OnPause() override {
    CNTService::OnPause();
    ReportStatus(ServiceState::kPaused);
  }
  void OnContinue() override {
    CNTService::OnContinue();
    ReportStatus(ServiceState::kRunning);
  }
  void OnUserControl(std::uint32_t control) override {
    // A handler that does not come back in time.
    if (control == 250) WaitForFile("proceed-control");
    WriteEvent(uv::platform::EventType::kInformation, uv::client::kEventUserControl,
               {std::to_string(control)});
  }

 private:
  void WaitForStop() {
    std::unique_lock lock(mutex_);
    stopped_.wait(lock, [this] { return stop_; });
  }
  // Bounded, so a test that fails before it opens the gate does not leave the service behind.
  void WaitForFile(const char* name) {
    const auto file = machine().Root() / name;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::error_code ec;
    while (!std::filesystem::exists(file, ec) && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  const std::vector<std::string> processArgs_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;  // guarded by mutex_
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  TestService service(args);
  uv::client::CNTServiceCommandLineInfo info;
  service.ParseArguments(args, info);
  return static_cast<int>(service.CarryOutCommand(info));
}
