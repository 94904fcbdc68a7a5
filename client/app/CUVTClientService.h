#pragma once
// The client agent as a service: its run operation shows the hidden dialog modally for the life
// of the service; the stop, shutdown, device-event and user-control operations of the service
// host are answered here.
//
// Thread affinity: Run on the service thread (or the main thread in console mode); OnStop,
// OnShutdown, OnDeviceEvent and OnUserControl on the control thread. The stop and the shutdown
// make their reports on the dialog's thread (see CNewOrmClientDlg).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "client/agent/dialog/CNewOrmClientDlg.h"
#include "client/service/CNTService.h"

namespace uv::agent {

class CClientSettings;
class CReporterContext;

class CUVTClientService final : public client::CNTService {
 public:
  static constexpr const char* kServiceName = "USBVantrelClient";
  static constexpr const char* kDisplayName = "USBVantrel Client Service";
  static constexpr const char* kDescription = "USBVantrel Client";
  static constexpr std::uint32_t kUserControlStart = 1000;

  CUVTClientService(CClientSettings& settings, CReporterContext& context);

  void Run(const std::vector<std::string>& args) override;
  void OnStop() override;
  void OnShutdown() override;
  std::uint32_t OnDeviceEvent(std::uint32_t eventType,
                              std::span<const std::uint8_t> eventData) override;
  void OnUserControl(std::uint32_t control) override;

  CNewOrmClientDlg& Dialog() { return dialog_; }
  std::int32_t UserControlInterval() const { return userControlInterval_.load(); }

 private:
  CClientSettings& settings_;
  CNewOrmClientDlg dialog_;
  std::mutex lock_;  // the service's own lock, taken by the stop handler
  std::atomic<std::uint32_t> stopRequested_{0};
  std::atomic<std::int32_t> userControlInterval_{kUserControlStart};
};

}  // namespace uv::agent
