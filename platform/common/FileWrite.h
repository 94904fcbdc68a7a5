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

}  // namespace uv::platform
