#include "client/agent/reporter/CReporterContext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/eventlog/EventLog.h"
#include "platform/machine/Machine.h"
#include "platform/trace/Trace.h"

namespace uv::agent {
namespace {

// The queue counts as pending only when it exists, opens for appending (so a replay could later
// empty it) and holds at least one byte.
bool QueueHoldsReports(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  const bool nonEmpty = ::fstat(fd, &info) == 0 && info.st_size > 0;
  ::close(fd);
  return nonEmpty;
}

}  // namespace

CReporterContext::CReporterContext(platform::Machine& machine, std::string versionText)
    : machine_(machine),
      versionText_(std::move(versionText)),
      offlineMsgPath_(machine.SystemDirectory() / "OfflineMsg.log"),
      offlineUsbMsgPath_(machine.SystemDirectory() / "OfflineUSBMsg.log"),
      hosts_(machine),
      sessions_(machine),
      pending_(QueueHoldsReports(offlineUsbMsgPath_)) {}

bool CReporterContext::Pending() {
  std::lock_guard lock(journalMutex_);
  return pending_;
}

void CReporterContext::SetMessageBox(MessageBoxFunction show) {
  std::lock_guard lock(messageMutex_);
  messageBox_ = std::move(show);
}

bool CReporterContext::HasMessageBox() {
  std::lock_guard lock(messageMutex_);
  return static_cast<bool>(messageBox_);
}

void CReporterContext::ShowMessage(std::string_view text, std::string_view caption) {
  MessageBoxFunction show;
  {
    std::lock_guard lock(messageMutex_);
    show = messageBox_;
  }
  if (show) {
    show(text, caption);
    return;
  }
  platform::Trace(text);
  const platform::WinError logged =
      platform::ReportEvent(machine_, platform::EventType::kError, kEventAgentMessage, kEventSource,
                            {std::string(text), std::string(caption)});
  if (logged != platform::kErrorSuccess) {
    platform::TraceF("Could not write to the event log err : %u", static_cast<unsigned>(logged));
  }
}

}  // namespace uv::agent
