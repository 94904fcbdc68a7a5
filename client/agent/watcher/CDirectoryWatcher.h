#pragma once
// The file activity watcher: watches the root directory of each mounted USB drive for files and
// folders added, deleted, resized and renamed anywhere below it, and reports each change to the
// console through the event reporter.
//
// One completion port serves every watched drive; one worker thread waits on it, serves each
// drive's change reads and reports the changes itself (so reports of all drives are serialised on
// that thread, each blocking it for the reporter's probe). Each drive has a CDirectoryInfo, which
// is also its completion key; its request state moves new (0) -> start requested (1) -> reading
// (4, re-armed after every completion) -> stop requested (2) -> handle closed. A stopped drive's
// record is never reused: the next Watch of its letter makes a new one. Records live until the
// watcher goes, so a completion still queued for a stopped drive always finds its record.
//
// Thread affinity: Watch, StopMonitor, UnwatchAll and the lookups are called on the client's
// window thread (any single thread at a time is fine: they are serialised by mutex_). The worker
// thread is owned by the watcher: UnwatchAll (and the destructor) stop and join it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "client/agent/IEventReporter.h"
#include "client/agent/watcher/IDriveNotifications.h"
#include "platform/common/Result.h"
#include "platform/fs/CompletionPort.h"
#include "platform/fs/DirectoryHandle.h"
#include "platform/fs/DriveResolver.h"

namespace uv::agent {

class CDirectoryWatcher {
 public:
  // Request states of a drive's record.
  static constexpr int kStateNew = 0;
  static constexpr int kStateStartRequested = 1;
  static constexpr int kStateStopRequested = 2;
  static constexpr int kStateReading = 4;

  // FILE_NOTIFY_CHANGE_FILE_NAME | _DIR_NAME | _SIZE: last-write and last-access changes are
  // not watched.
  static constexpr std::uint32_t kNotifyFilter = 0xB;
  static constexpr std::size_t kBufferSize = 4096;
  // Names are converted into a 260-byte buffer, so longer ones are cut to the whole UTF-8
  // characters that fit in 259 bytes.
  static constexpr std::size_t kMaxNameBytes = 259;

  // One watched drive.
  class CDirectoryInfo {
   public:
    CDirectoryInfo(std::unique_ptr<platform::DirectoryHandle> directory, std::string rootPath,
                   unsigned driveLetter);
    CDirectoryInfo(const CDirectoryInfo&) = delete;
    CDirectoryInfo& operator=(const CDirectoryInfo&) = delete;

    unsigned DriveLetter() const { return driveLetter_; }
    const std::string& RootPath() const { return rootPath_; }  // "E:\"
    int State() const;
    bool IsRetired() const;
    bool IsHandleOpen() const { return directory_->IsOpen(); }
    NotificationHandle Notification() const;

   private:
    friend class CDirectoryWatcher;
    platform::CompletionKey Key() { return reinterpret_cast<platform::CompletionKey>(this); }

    const std::unique_ptr<platform::DirectoryHandle> directory_;  // closed, never reset
    const std::string rootPath_;
    const unsigned driveLetter_;
    // Touched only by the worker between a completion and the next read it issues.
    alignas(4) std::array<std::byte, kBufferSize> buffer_{};
    platform::Overlapped overlapped_{};

    mutable std::mutex mutex_;  // guards the fields below
    int state_ = kStateNew;
    bool retired_ = false;
    NotificationHandle notification_ = 0;
    IDriveNotifications* notifier_ = nullptr;  // where notification_ was registered
  };

  // `reporter` receives every change on the worker thread; `drives` maps drive letters to the
  // directories behind them. Both must outlive the watcher.
  CDirectoryWatcher(IEventReporter& reporter, platform::IDriveResolver& drives);
  // Traces "Directory watcher Destructor", then UnwatchAll.
  ~CDirectoryWatcher();
  CDirectoryWatcher(const CDirectoryWatcher&) = delete;
  CDirectoryWatcher& operator=(const CDirectoryWatcher&) = delete;

  // Starts watching the root of drive `driveLetter` ('A'..'Z'); `server` (dotted IPv4) is where
  // every later event of any drive is reported; `window` (may be null: no handle notifications)
  // receives the drive's query-remove. Returns 0, or the error of the step that failed (the
  // directory cannot be opened, no port, no worker, no notification). A drive already watched
  // with an open handle returns 0 and nothing changes.
  platform::WinError Watch(unsigned driveLetter, const std::string& server,
                           IDriveNotifications* window);

  // Stops watching the drive: true when it had a record. With `keep` the notification stays
  // registered (the system is asking whether the drive may go: the window must still hear
  // whether the removal failed); without it, it is unregistered (the drive has gone). The
  // directory handle is closed before this returns, so that the removal can go ahead; changes of
  // the drive that the worker has already read are still reported.
  bool StopMonitor(unsigned driveLetter, bool keep);

  // The record of a drive letter or of a notification registration; nullptr when none. Records
  // live as long as the watcher.
  CDirectoryInfo* FindByDriveLetter(unsigned driveLetter);
  CDirectoryInfo* FindByNotificationHandle(NotificationHandle handle);

  // Stops every drive, ends the worker and closes the port. Watch may start afresh afterwards.
  void UnwatchAll();

  unsigned LastDriveLetter() const;

 private:
  void WorkerLoop() noexcept;
  void Serve(CDirectoryInfo& info, const platform::Completion& completion);
  void IssueRead(CDirectoryInfo& info);
  void ReportChanges(CDirectoryInfo& info, std::uint32_t bytes);
  // Under info.mutex_: state 2, post its completion, close its handle.
  void RequestStop(CDirectoryInfo& info);
  void DropNotification(CDirectoryInfo& info);
  std::string Server() const;

  IEventReporter& reporter_;
  platform::IDriveResolver& drives_;

  mutable std::mutex mutex_;  // guards everything below; serialises Watch, stops and lookups
  std::unique_ptr<platform::CompletionPort> port_;
  std::thread worker_;
  unsigned lastDriveLetter_ = 0;
  std::vector<std::unique_ptr<CDirectoryInfo>> records_;  // every record ever made
  std::map<unsigned, CDirectoryInfo*> byLetter_;
  std::map<NotificationHandle, CDirectoryInfo*> byNotification_;

  mutable std::mutex serverMutex_;  // guards server_ (written by Watch, read by the worker)
  std::string server_;
};

// The text the reporter gets for one change: the action's format with the root path and the
// name (UTF-16) in the machine's 8-bit text, UTF-8 cut to whole characters within kMaxNameBytes
// bytes. Empty for an action
// code the system does not send.
std::string FormatChange(std::uint32_t action, const std::string& rootPath,
                         std::span<const std::byte> name);

}  // namespace uv::agent
