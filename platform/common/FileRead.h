#pragma once
// Reading files piece by piece, for readers that must not take a file of any size into memory at
// once (the journal viewer lists journals of a million lines), and emptying a file in place.
//
// Only regular files are read: opening never waits, so a FIFO or a device put where a file is
// expected is refused at once (kErrorAccessDenied) instead of hanging the reader. Other errors are
// the Windows errors callers expect (a missing file is kErrorFileNotFound).
//
// Thread affinity: none; a FileReader is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "platform/common/Result.h"
#include "platform/common/WinError.h"

namespace uv::platform {

class FileReader {
 public:
  static Result<FileReader> Open(const std::filesystem::path& file);

  FileReader(FileReader&&) noexcept;
  FileReader& operator=(FileReader&&) noexcept;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader();

  // The file's length when it was opened. A writer may append afterwards; Read goes on past this
  // length to whatever the file holds then.
  std::uint64_t SizeAtOpen() const { return sizeAtOpen_; }

  // The next bytes of the file, at most buffer.size() of them, from where the last read ended:
  // 0 at the end of the file. A reader that was moved from reads kErrorInvalidHandle.
  Result<std::size_t> Read(std::span<char> buffer);

 private:
  struct Impl;
  FileReader(std::unique_ptr<Impl> impl, std::uint64_t size);
  std::unique_ptr<Impl> impl_;
  std::uint64_t sizeAtOpen_ = 0;
};

// Empties an existing file; a missing one is kErrorFileNotFound and is not created.
WinError TruncateFile(const std::filesystem::path& file);

}  // namespace uv::platform
