#include "client/agent/reporter/CReporterContext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/machine/Machine.h"

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
      pending_(QueueHoldsReports(offlineUsbMsgPath_)) {}

bool CReporterContext::Pending() {
  std::lock_guard lock(journalMutex_);
  return pending_;
}

}  // namespace uv::agent
