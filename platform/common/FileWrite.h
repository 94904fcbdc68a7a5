#pragma once
// Writing files whole, so that no reader ever sees half a write.
//
// Replacing a file whole: the new bytes go to a temporary file beside it, which is renamed over
// the old one only when it has been written completely. A reader that takes no lock sees the old
// file or the new one, never a mix; a writer that fails or dies half way leaves the old one.
//
// Errors are the Windows errors callers expect: a missing folder is kErrorPathNotFound; an error
// the table of the platform modules does not name is `otherError`.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/common/Result.h"
#include "platform/common/WinError.h"

namespace uv::platform {

struct AtomicWriteOptions {
  std::uint32_t permissions = 0644;  // of the new file, whatever the process's umask
  bool durable = false;              // flush to the disk before the rename
  WinError otherError = kErrorInvalidData;
  // Empty: a new hidden name beside the target for every write. Otherwise the temporary is the
  // target's name with this appended, for a writer whose writes are already serialised.
  std::string_view temporarySuffix;
};

class AtomicFileWriter {
 public:
  // Creates the temporary file in the target's folder.
  static Result<AtomicFileWriter> Begin(std::filesystem::path target,
                                        AtomicWriteOptions options = {});

  AtomicFileWriter(AtomicFileWriter&&) noexcept;
  AtomicFileWriter& operator=(AtomicFileWriter&&) noexcept;
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
  // Without a successful Commit the temporary is removed and the target stays as it was.
  ~AtomicFileWriter();

  // Appends to the temporary (all of it, or an error).
  WinError Write(std::string_view bytes);
  // Closes the temporary and renames it over the target. The writer is spent afterwards.
  WinError Commit();

 private:
  struct Impl;
  explicit AtomicFileWriter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The whole of it in one call.
WinError WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                             AtomicWriteOptions options = {});

// Appending: `bytes` go to the end of the file in one write, whole against other appenders (the
// file is opened for appending). A file that does not exist yet is created, and only then gets
// `headerIfNew` first: when two processes create it at the same moment only one writes the
// header. Errors as above.
WinError AppendToFile(const std::filesystem::path& file, std::string_view bytes,
                      std::string_view headerIfNew = {}, AtomicWriteOptions options = {});

// Appending to one file line after line without opening it for every line: the file stays open
// between appends, and each append is still one write of the whole of `bytes` to the end of the
// file as it is then (a file another program truncated gets the bytes at its new end). Nothing
// is buffered here, so what an append wrote is in the file even if the process dies right after.
//
// Before each append the path is looked up (not opened) and compared with the open file: a path
// that now names another file, or none (the file was deleted or moved away), or a different path
// than the last append's, makes this append open the path afresh, as AppendToFile would, header
// and all. A failed write closes the file, so the next append tries again from the path.
//
// One writer: not thread-safe.
class AppendingFile {
 public:
  AppendingFile();
  AppendingFile(AppendingFile&&) noexcept;
  AppendingFile& operator=(AppendingFile&&) noexcept;
  AppendingFile(const AppendingFile&) = delete;
  AppendingFile& operator=(const AppendingFile&) = delete;
  ~AppendingFile();

  // Errors as for AppendToFile.
  WinError Append(const std::filesystem::path& file, std::string_view bytes,
                  std::string_view headerIfNew = {}, AtomicWriteOptions options = {});
  // Lets go of the open file (the next append opens it again).
  void Close();
  bool IsOpen() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace uv::platform
