#include "client/agent/watcher/CDirectoryWatcher.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>

#include "platform/common/Text.h"
#include "platform/trace/Trace.h"

namespace uv::agent {

using platform::Trace;
using platform::TraceF;
using platform::WinError;

namespace {

// ERROR_NOT_ENOUGH_MEMORY stands for a thread the system would not start.
constexpr WinError kErrorNoThread = platform::kErrorNotEnoughMemory;

// The machine's 8-bit text is UTF-8; as the system's conversion does, a character it cannot carry
// (half of a surrogate pair) becomes "?". The text ends at the first NUL, as the wide "%s" that
// formats it does.
std::string WideToAnsi(const char16_t* text, std::size_t length) {
  return platform::Utf16ToUtf8(std::u16string_view(text, length));
}

const char* ActionText(std::uint32_t action) {
  switch (action) {
    case platform::kFileActionAdded:
      return "Added ";
    case platform::kFileActionRemoved:
      return "Deleted ";
    case platform::kFileActionModified:
      return "Modified size or access time ";
    case platform::kFileActionRenamedOldName:
      return "Renamed file from ";
    case platform::kFileActionRenamedNewName:
      return "Renamed file to ";
    default:
      return nullptr;
  }
}

}  // namespace

std::string FormatChange(std::uint32_t action, const std::string& rootPath,
                         std::span<const std::byte> name) {
  const char* text = ActionText(action);
  if (text == nullptr) return std::string();
  std::u16string wide(name.size() / 2, u'\0');
  std::memcpy(wide.data(), name.data(), wide.size() * 2);
  const std::string converted = WideToAnsi(wide.data(), wide.size());
  // "Added %s%s" and its siblings: the text, the root path, the name.
  return text + rootPath +
         std::string(platform::Utf8Prefix(converted, CDirectoryWatcher::kMaxNameBytes));
}

// --- CDirectoryInfo ---

CDirectoryWatcher::CDirectoryInfo::CDirectoryInfo(
    std::unique_ptr<platform::DirectoryHandle> directory, std::string rootPath,
    unsigned driveLetter)
    : directory_(std::move(directory)), rootPath_(std::move(rootPath)), driveLetter_(driveLetter) {}

int CDirectoryWatcher::CDirectoryInfo::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool CDirectoryWatcher::CDirectoryInfo::IsRetired() const {
  std::lock_guard lock(mutex_);
  return retired_;
}

NotificationHandle CDirectoryWatcher::CDirectoryInfo::Notification() const {
  std::lock_guard lock(mutex_);
  return notification_;
}

// --- CDirectoryWatcher ---

CDirectoryWatcher::CDirectoryWatcher(IEventReporter& reporter, platform::IDriveResolver& drives)
    : reporter_(reporter), drives_(drives) {}

CDirectoryWatcher::~CDirectoryWatcher() {
  Trace("Directory watcher Destructor");
  UnwatchAll();
  std::lock_guard lock(mutex_);
  port_.reset();
  byLetter_.clear();
  byNotification_.clear();
  // The worker has ended: no completion can reach a record any more.
  records_.clear();
}

unsigned CDirectoryWatcher::LastDriveLetter() const {
  std::lock_guard lock(mutex_);
  return lastDriveLetter_;
}

std::string CDirectoryWatcher::Server() const {
  std::lock_guard lock(serverMutex_);
  return server_;
}

WinError CDirectoryWatcher::Watch(unsigned driveLetter, const std::string& server,
                                  IDriveNotifications* window) {
  std::lock_guard lock(mutex_);
  lastDriveLetter_ = driveLetter;
  if (driveLetter > 0xFF) return platform::kErrorInvalidName;
  char root[8];
  std::snprintf(root, sizeof root, "%c:\\", static_cast<char>(driveLetter));

  const auto known = byLetter_.find(driveLetter);
  if (known != byLetter_.end() && known->second->IsHandleOpen()) return platform::kErrorSuccess;

  {
    std::lock_guard serverLock(serverMutex_);
    server_ = server;
  }

  auto directory = platform::DirectoryHandle::OpenOnDrive(drives_, root);
  if (!directory) return directory.error();
  auto info = std::make_unique<CDirectoryInfo>(std::move(directory).value(), root, driveLetter);

  if (!port_) {
    auto port = platform::CompletionPort::Create();
    if (!port) {
      Trace("Error creating completion port\n");
      return port.error();
    }
    port_ = std::move(port).value();
  }
  if (const WinError error = info->directory_->AssociateWith(*port_, info->Key()); error != 0) {
    Trace("Error creating completion port\n");
    return error;
  }

  if (!worker_.joinable()) {
    try {
      worker_ = std::thread([this] { WorkerLoop(); });
    } catch (const std::system_error&) {
      Trace("Cannot create worker thread!\n");
      return kErrorNoThread;
    }
  }

  CDirectoryInfo& record = *info;
  {
    std::lock_guard recordLock(record.mutex_);
    record.state_ = kStateStartRequested;
    if (const WinError error = port_->Post(4, record.Key(), &record.overlapped_); error != 0) {
      return error;
    }
  }
  // A completion is queued for it now: from here on it lives as long as the watcher.
  records_.push_back(std::move(info));

  if (known != byLetter_.end()) DropNotification(*known->second);

  if (window != nullptr) {
    auto notification = window->RegisterHandle(*record.directory_);
    if (!notification) {
      // Without a notification the window could never release the drive: do not leave a watch
      // running that nothing can find.
      std::lock_guard recordLock(record.mutex_);
      RequestStop(record);
      record.retired_ = true;
      return notification.error();
    }
    std::lock_guard recordLock(record.mutex_);
    record.notification_ = *notification;
    record.notifier_ = window;
    byNotification_[*notification] = &record;
  }
  byLetter_[driveLetter] = &record;
  return platform::kErrorSuccess;
}

void CDirectoryWatcher::DropNotification(CDirectoryInfo& info) {
  std::lock_guard recordLock(info.mutex_);
  if (info.notification_ == 0) return;
  if (info.notifier_ != nullptr) info.notifier_->Unregister(info.notification_);
  byNotification_.erase(info.notification_);
  info.notification_ = 0;
  info.notifier_ = nullptr;
}

void CDirectoryWatcher::RequestStop(CDirectoryInfo& info) {
  Trace(" \n In Stop Watcher ");
  info.state_ = kStateStopRequested;
  if (port_) (void)port_->Post(4, info.Key(), &info.overlapped_);
  // Closed here rather than on the worker, which may be blocked in a report for seconds: the
  // drive's removal must not wait for it. The pending read completes with an error and finds
  // the stop state.
  info.directory_->Close();
  Trace(" \n Out Stop Watcher ");
}

bool CDirectoryWatcher::StopMonitor(unsigned driveLetter, bool keep) {
  Trace(" \n In Stop monitor ");
  std::lock_guard lock(mutex_);
  const auto found = byLetter_.find(driveLetter);
  if (found == byLetter_.end()) {
    Trace(" \n In Stop monitor drive is blocked");
    return false;
  }
  bool result = false;
  if (port_) {
    CDirectoryInfo& info = *found->second;
    {
      std::lock_guard recordLock(info.mutex_);
      RequestStop(info);
      info.retired_ = true;
    }
    // The directory is closed before the notification goes: an eject running meanwhile then
    // either asks us (and finds the handle closing) or finds no handle of ours at all, never an
    // open handle that nobody would be asked to close.
    if (!keep) DropNotification(info);
    result = true;
  }
  Trace(" \n Out Stop monitor ");
  return result;
}

CDirectoryWatcher::CDirectoryInfo* CDirectoryWatcher::FindByDriveLetter(unsigned driveLetter) {
  std::lock_guard lock(mutex_);
  const auto found = byLetter_.find(driveLetter);
  return found == byLetter_.end() ? nullptr : found->second;
}

CDirectoryWatcher::CDirectoryInfo* CDirectoryWatcher::FindByNotificationHandle(
    NotificationHandle handle) {
  std::lock_guard lock(mutex_);
  const auto found = byNotification_.find(handle);
  return found == byNotification_.end() ? nullptr : found->second;
}

void CDirectoryWatcher::UnwatchAll() {
  std::unique_lock lock(mutex_);
  if (!worker_.joinable()) return;
  Trace(" \n In UnWatch all ");
  Trace(" \n In UnWatch all while Loop ");
  for (auto& [letter, info] : byLetter_) {
    {
      std::lock_guard recordLock(info->mutex_);
      RequestStop(*info);
      info->retired_ = true;
    }
    DropNotification(*info);  // after the close, as in StopMonitor
  }
  // Registrations kept by StopMonitor for drives whose letter has moved on.
  for (auto& record : records_) DropNotification(*record);
  byLetter_.clear();
  byNotification_.clear();
  Trace(" \n Out UnWatch all while Loop ");
  if (port_->Post(0, 0, nullptr) != platform::kErrorSuccess) port_->Close();
  std::thread worker = std::move(worker_);
  // The worker never takes mutex_, but StopMonitor and Watch must not slip in between: hold it.
  worker.join();
  Trace(" \n UnWatch all Post Queue completion status ");
  port_.reset();
}

void CDirectoryWatcher::WorkerLoop() noexcept {
  for (;;) {
    auto waited = port_->Wait();
    if (!waited) {
      Trace("Bad return from GetQueueedCompletioStatus()\n");
      // No packet at all: only a closed port gives that without a time limit.
      if (waited.error() == platform::kErrorAbandonedWait0) return;
      continue;
    }
    const platform::Completion completion = *waited;
    if (completion.error != platform::kErrorSuccess) {
      Trace("Bad return from GetQueueedCompletioStatus()\n");
    }
    if (completion.key == 0) return;
    try {
      Serve(*reinterpret_cast<CDirectoryInfo*>(completion.key), completion);
    } catch (const std::exception& error) {
      TraceF("Directory watcher: %s\n", error.what());
    } catch (...) {
      Trace("Directory watcher: unknown failure\n");
    }
  }
}

void CDirectoryWatcher::Serve(CDirectoryInfo& info, const platform::Completion& completion) {
  int state = kStateNew;
  {
    // Taken so that a requester has finished with the record before its state is read.
    std::lock_guard recordLock(info.mutex_);
    state = info.state_;
  }
  switch (state) {
    case kStateStartRequested:
      IssueRead(info);
      break;
    case kStateStopRequested:
      info.directory_->Close();
      break;
    case kStateReading:
      if (completion.error == platform::kErrorSuccess && completion.bytes > 0) {
        ReportChanges(info, completion.bytes);
      } else if (completion.error == platform::kErrorSuccess) {
        TraceF("Directory watcher: changes on %s were lost (buffer overflow)\n",
               info.rootPath_.c_str());
      } else {
        TraceF("Directory watcher: reading changes on %s failed, error %u\n",
               info.rootPath_.c_str(), completion.error);
      }
      IssueRead(info);
      break;
    default:
      break;
  }
}

void CDirectoryWatcher::IssueRead(CDirectoryInfo& info) {
  std::lock_guard recordLock(info.mutex_);
  // A stop requested meanwhile wins: its completion is on its way.
  if (info.state_ == kStateStopRequested) return;
  const WinError error =
      info.directory_->ReadChanges(info.buffer_, true, kNotifyFilter, &info.overlapped_);
  if (error == platform::kErrorSuccess) {
    info.state_ = kStateReading;
  } else {
    // The drive stays silent; say why once, here.
    TraceF("Directory watcher: cannot read changes on %s, error %u\n", info.rootPath_.c_str(),
           error);
  }
}

void CDirectoryWatcher::ReportChanges(CDirectoryInfo& info, std::uint32_t bytes) {
  const std::string server = Server();
  const std::size_t size = std::min<std::size_t>(bytes, info.buffer_.size());
  // Every record read is a real change, also on a drive being stopped: they are the last
  // changes before a removal, or changes made after a removal that failed. The reporter journals
  // them when the console is away; none is dropped here.
  const bool whole = platform::ForEachNotifyRecord(
      std::span<const std::byte>(info.buffer_.data(), size),
      [&](std::uint32_t action, std::span<const std::byte> name) {
        const std::string text = FormatChange(action, info.rootPath_, name);
        if (text.empty()) {
          TraceF("Directory watcher: unknown change %u on %s\n", action, info.rootPath_.c_str());
          return;
        }
        // One failed report must not cost the drive its next read.
        try {
          reporter_.ReportToServer(text, server);
        } catch (const std::exception& error) {
          TraceF("Directory watcher: report failed: %s\n", error.what());
        } catch (...) {
          Trace("Directory watcher: report failed\n");
        }
      });
  if (!whole) {
    TraceF("Directory watcher: damaged change record on %s, rest dropped\n",
           info.rootPath_.c_str());
  }
}

}  // namespace uv::agent
