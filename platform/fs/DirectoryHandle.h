#pragma once
// A directory opened for change notification, and overlapped reads of its changes with the
// behaviour the agent's watcher expects of ReadDirectoryChangesW:
//
// - the handle is opened on a directory (for a drive, "X:\" is the directory backing X:);
// - a read watches the directory, or its whole subtree: directories created later are watched
//   as soon as they appear, and the entries already inside such a directory when it is first
//   seen (a folder created and filled quickly) are reported as added;
// - the notify filter selects file names (created, deleted, renamed files), directory names
//   (the same for directories) and size (a write that changes a file's size is "modified";
//   changes of time stamps or attributes alone are not reported);
// - the caller's buffer receives FILE_NOTIFY_INFORMATION records: next-entry offset, action code,
//   name length in bytes, then the name as UTF-16 (relative to the directory, "\" separators),
//   each record aligned to 4 bytes; a rename is an old-name record followed by a new-name record;
//   a move into or out of the watched tree is an added or removed record (a folder moved in is
//   reported with its contents, as a copy from another volume would be);
// - changes are recorded from the open on (so that none made between the open and the first
//   read is missed), kept between reads and returned by the next one; when more are lost than can
//   be kept (the kernel queue overflowed, a single record larger than the buffer, too many changes
//   at once) the read completes with zero bytes, as the system reports an overflow;
// - every read completes through the completion port the handle is associated with;
// - closing the handle completes a pending read with kErrorOperationAborted; when the directory
//   itself disappears (its drive is removed), the changes already seen are still delivered, then
//   a pending read completes with kErrorAccessDenied and later reads fail at once with it.
//
// Names are bytes on Linux; they are decoded as UTF-8, and bytes that are not valid UTF-8 become
// U+FFFD. What is lost (overflows, directories that could not be watched) is traced.
//
// Thread affinity: none. Close() may race with a read being served by a waiter on the port.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "platform/common/Result.h"
#include "platform/fs/CompletionPort.h"
#include "platform/fs/DriveResolver.h"

namespace uv::platform {

// FILE_NOTIFY_CHANGE_* bits of the notify filter.
inline constexpr std::uint32_t kNotifyChangeFileName = 0x1;
inline constexpr std::uint32_t kNotifyChangeDirName = 0x2;
inline constexpr std::uint32_t kNotifyChangeSize = 0x8;

// FILE_ACTION_* codes of the records.
inline constexpr std::uint32_t kFileActionAdded = 1;
inline constexpr std::uint32_t kFileActionRemoved = 2;
inline constexpr std::uint32_t kFileActionModified = 3;
inline constexpr std::uint32_t kFileActionRenamedOldName = 4;
inline constexpr std::uint32_t kFileActionRenamedNewName = 5;

// ERROR_TOO_MANY_OPEN_FILES and ERROR_DIRECTORY (the name is not a directory).
inline constexpr WinError kErrorTooManyOpenFiles = 4;
inline constexpr WinError kErrorDirectory = 267;

namespace detail {
class DirectoryWatch;
}

class DirectoryHandle {
 public:
  // CreateFile(FILE_LIST_DIRECTORY, share read/write/delete, OPEN_EXISTING,
  // FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED) on a directory. `hold` (may be empty)
  // is kept until the handle is closed. Fails with kErrorFileNotFound / kErrorPathNotFound,
  // kErrorDirectory, kErrorAccessDenied or kErrorTooManyOpenFiles.
  static Result<std::unique_ptr<DirectoryHandle>> Open(const std::filesystem::path& directory,
                                                       std::unique_ptr<IVolumeHold> hold = {});
  // The same for a Windows path on a drive ("E:\" or "E:\dir"), through `drives`.
  static Result<std::unique_ptr<DirectoryHandle>> OpenOnDrive(IDriveResolver& drives,
                                                              std::string_view windowsPath);
  ~DirectoryHandle();  // Close()
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;

  // CreateIoCompletionPort(handle, port, key): every later read completes on `port` with `key`.
  // A handle is associated once (kErrorInvalidParameter the second time).
  [[nodiscard]] WinError AssociateWith(CompletionPort& port, CompletionKey key);

  // ReadDirectoryChangesW, overlapped. Returns kErrorSuccess when the read was issued (its
  // completion arrives on the port later, or at once when changes are already waiting);
  // otherwise nothing is queued. `buffer` and `overlapped` must stay valid, and the buffer
  // untouched, until the completion is dequeued. Fails with kErrorInvalidHandle after Close(),
  // kErrorInvalidParameter without a port, with a read already pending, or with a buffer not
  // aligned to 4 bytes; kErrorAccessDenied when the directory is gone.
  [[nodiscard]] WinError ReadChanges(std::span<std::byte> buffer, bool watchSubtree,
                                     std::uint32_t notifyFilter, Overlapped* overlapped);

  // CloseHandle. Idempotent.
  void Close();
  bool IsOpen() const;

  const std::filesystem::path& Directory() const { return directory_; }

  // The hold on the volume given at Open (nullptr when none, or once closed). Valid until the
  // handle is closed; whoever closes it must not race with a caller of this.
  const IVolumeHold* VolumeHold() const;

  // Changes lost so far (overflows, records too large, directories that could not be watched).
  std::uint64_t LostCount() const;

 private:
  struct PrivateTag {};

 public:
  DirectoryHandle(std::filesystem::path directory, std::shared_ptr<detail::DirectoryWatch> watch,
                  PrivateTag);

 private:
  std::filesystem::path directory_;
  std::shared_ptr<detail::DirectoryWatch> watch_;
};

// Walks the records of a completed read (`data` = the first `bytes` of the buffer) in order,
// following the next-entry offsets. `visit` gets the action and the name's bytes (UTF-16, little
// endian, not terminated). Returns false, after visiting the good records before it, when a record
// is malformed (offset or length outside the data, misaligned, or a loop).
bool ForEachNotifyRecord(
    std::span<const std::byte> data,
    const std::function<void(std::uint32_t action, std::span<const std::byte> name)>& visit);

}  // namespace uv::platform
