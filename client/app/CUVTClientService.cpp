#include "client/app/CUVTClientService.h"

#include <limits>

#include "client/agent/settings/CClientSettings.h"
#include "platform/trace/Trace.h"

namespace uv::agent {
namespace {

using platform::ServiceState;

constexpr std::uint32_t kPendingWaitHint = 1100;
// DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE.
constexpr std::uint32_t kMediaArrived = 0x8000;
constexpr std::uint32_t kMediaRemoved = 0x8004;

}  // namespace

CUVTClientService::CUVTClientService(CClientSettings& settings, CReporterContext& context)
    : client::CNTService(kServiceName, kDisplayName,
                         platform::kServiceAcceptStop | platform::kServiceAcceptShutdown,
                         kDescription, &settings.Machine()),
      settings_(settings),
      dialog_(settings, context) {}

void CUVTClientService::Run(const std::vector<std::string>& /*args*/) {
  ReportStatus(ServiceState::kStartPending, 1, kPendingWaitHint);
  ReportStatus(ServiceState::kRunning);
  WriteEvent(platform::EventType::kInformation, client::kEventServiceStarted, {DisplayName()});

  settings_.SetClientStop(false);
  dialog_.DoModal();

  // The dialog ends on the stop; should it end otherwise, the service still stops only when
  // asked. Blocks on the flag itself, without using the processor.
  stopRequested_.wait(0);
  settings_.SetClientStop(true);

  ReportStatus(ServiceState::kStopPending, 1, kPendingWaitHint);
  WriteEvent(platform::EventType::kInformation, client::kEventServiceStopped, {DisplayName()});
  ReportStatus(ServiceState::kStopped);
}

void CUVTClientService::OnStop() {
  platform::Trace("\n In Service On Stop");
  { std::lock_guard lock(lock_); }
  stopRequested_.exchange(1);
  stopRequested_.notify_all();
  // The report is made on the dialog's own thread; this waits until it is out and the dialog
  // has ended.
  dialog_.EndFromService();
  platform::Trace("\n Out Service On Stop");
}

void CUVTClientService::OnShutdown() {
  dialog_.ReportSystemShutdown();
}

std::uint32_t CUVTClientService::OnDeviceEvent(std::uint32_t eventType,
                                               std::span<const std::uint8_t> /*eventData*/) {
  platform::TraceF("In CUVTClientService::OnDeviceEvent\n Event type = %x", eventType);
  if (eventType == kMediaArrived) platform::Trace("Media arrived");
  if (eventType == kMediaRemoved) platform::Trace("Media removed");
  return 0;
}

void CUVTClientService::OnUserControl(std::uint32_t control) {
  std::int32_t interval = userControlInterval_.load();
  if (control < 201) {
    // Doubling stops at the largest interval a 32-bit signed number holds.
    interval = interval > std::numeric_limits<std::int32_t>::max() / 2
                   ? std::numeric_limits<std::int32_t>::max()
                   : interval * 2;
  } else {
    interval /= 2;
  }
  userControlInterval_.store(interval);
  WriteEvent(platform::EventType::kInformation, client::kEventUserControl,
             {std::to_string(interval)});
}

}  // namespace uv::agent
