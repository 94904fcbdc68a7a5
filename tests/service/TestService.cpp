// A small service for the service host's tests: runs until stopped, pauses and continues, logs
// every user control, and misbehaves on request (start arguments "die", "hang", "throw").

#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "client/service/CNTService.h"

namespace {

using uv::platform::ServiceState;

class TestService : public uv::client::CNTService {
 public:
  TestService()
      : CNTService("UVTestService", "UV Test Service",
                   uv::platform::kServiceAcceptStop | uv::platform::kServiceAcceptPauseContinue |
                       uv::platform::kServiceAcceptShutdown,
                   "Service of the host's tests") {}

  void Run(const std::vector<std::string>& args) override {
    for (const auto& arg : args) {
      if (arg == "die") ::_exit(3);
      if (arg == "throw") throw uv::client::CNTServiceTerminateException(1066, 42);
      if (arg == "hang") {
        ReportStatus(ServiceState::kStartPending, 1, 60000);
        std::unique_lock lock(mutex_);
        stopped_.wait(lock, [this] { return stop_; });
        return;
      }
    }
    ReportStatus(ServiceState::kStartPending, 1, 1100);
    ReportStatus(ServiceState::kRunning);
    std::unique_lock lock(mutex_);
    stopped_.wait(lock, [this] { return stop_; });
    lock.unlock();
    ReportStatus(ServiceState::kStopPending, 1, 1100);
  }

  void OnStop() override {
    CNTService::OnStop();
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
    WriteEvent(uv::platform::EventType::kInformation, uv::client::kEventUserControl,
               {std::to_string(control)});
  }

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;  // guarded by mutex_
};

}  // namespace

int main(int argc, char** argv) {
  TestService service;
  uv::client::CNTServiceCommandLineInfo info;
  service.ParseArguments(std::vector<std::string>(argv, argv + argc), info);
  return static_cast<int>(service.CarryOutCommand(info));
}
