#pragma once
// The reporter's process-wide state: the version text at the head of every report, the two
// journal files in the system directory and the pending flag of the replay queue. The program
// creates one context at start and hands it by reference to every CEventReporter, so the two
// reporting threads (the dialog's thread and the watcher's worker) share one flag and one lock.
//
// Thread affinity: none. The version text and the paths never change after construction; the
// pending flag and the queue files are guarded by JournalMutex(); the hosts and session caches
// have locks of their own.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/net/HostResolver.h"
#include "platform/session/SessionStore.h"

namespace uv::platform {
class Machine;
}

namespace uv::agent {

class CReporterContext {
 public:
  // Builds the journal paths from the machine's system directory and sets the pending flag when
  // the replay queue exists, can be opened for appending and is not empty, as at process start.
  CReporterContext(platform::Machine& machine, std::string versionText);
  CReporterContext(const CReporterContext&) = delete;
  CReporterContext& operator=(const CReporterContext&) = delete;

  platform::Machine& Machine() const { return machine_; }
  // The computer's hosts file for the lookups of every report (the computer's own address, the
  // name in the report): from memory until the file changes.
  platform::HostsFileCache& Hosts() { return hosts_; }
  // The computer's logon sessions for the user named in every report: from memory until the
  // store changes (a login or logout takes effect at the next report).
  platform::SessionCache& Sessions() { return sessions_; }
  const std::string& VersionText() const { return versionText_; }
  // "<system directory>/OfflineMsg.log": every report that was not delivered; the journal
  // viewer lists and clears it.
  const std::filesystem::path& OfflineMsgPath() const { return offlineMsgPath_; }
  // "<system directory>/OfflineUSBMsg.log": the device reports waiting to be replayed.
  const std::filesystem::path& OfflineUSBMsgPath() const { return offlineUsbMsgPath_; }

  // Journal appends, replays and the pending flag all happen under this lock. Without it the
  // dialog's thread could append a device report between the watcher worker's read of the queue
  // and its rewrite, and that report would be lost; it also keeps two appends from interleaving.
  std::mutex& JournalMutex() { return journalMutex_; }

  // The replay queue holds reports not replayed yet. Call only with JournalMutex() held.
  bool PendingLocked() const { return pending_; }
  void SetPendingLocked(bool pending) { pending_ = pending; }
  // Takes the lock for one read; for callers outside the reporter (tests, the agent's status).
  bool Pending();

  // Where the agent's message boxes go ("Could not resolve IP", "Excepation in FormatDetails"):
  // the agent runs as a service, so nobody could answer a box and nothing may wait for one. The
  // program installs the service host's outlet (stderr with a terminal, else the event log);
  // until one is installed a message is traced and written to the event log as an error event
  // kEventAgentMessage with the text and the caption as its strings. Called from the reporting
  // threads; the outlet must not block.
  using MessageBoxFunction = std::function<void(std::string_view text, std::string_view caption)>;
  void SetMessageBox(MessageBoxFunction show);
  bool HasMessageBox();
  void ShowMessage(std::string_view text, std::string_view caption);

  static constexpr std::uint32_t kEventAgentMessage = 0xC0000101;
  static constexpr std::string_view kEventSource = "USBVantrel Client Service";

 private:
  platform::Machine& machine_;
  const std::string versionText_;
  const std::filesystem::path offlineMsgPath_;
  const std::filesystem::path offlineUsbMsgPath_;
  platform::HostsFileCache hosts_;
  platform::SessionCache sessions_;
  std::mutex journalMutex_;
  bool pending_ = false;     // guarded by journalMutex_
  std::mutex messageMutex_;  // guards messageBox_
  MessageBoxFunction messageBox_;
};

}  // namespace uv::agent
