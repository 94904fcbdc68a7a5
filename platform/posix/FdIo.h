#pragma once
// Whole reads and writes on a descriptor for the POSIX implementations of the platform modules
// (never part of a platform interface). Both go on after EINTR and short transfers.

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace uv::platform {

// Reads to the end of the file into `out`, at most `limit` bytes (the rest is left unread).
// 0 on success, else the errno of the failed read.
[[nodiscard]] int ReadAll(int fd, std::string& out,
                          std::size_t limit = std::numeric_limits<std::size_t>::max());
// Writes all of `data`. 0 on success, else the errno of the failed write (ENOSPC for a write
// that made no progress).
[[nodiscard]] int WriteAll(int fd, std::string_view data);

}  // namespace uv::platform
