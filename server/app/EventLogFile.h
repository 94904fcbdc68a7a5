#pragma once
// The console's comma-separated event log: opened, appended to and closed for every line, so
// other programs may read it between events. The header goes only into a file this writer
// creates. Thread affinity: called on the UI thread only (the one writer of the file).

#include <string>
#include <string_view>

namespace uv::server {

inline constexpr std::string_view kLogHeader =
    "Date,Time,Computer Name,IP Address,Category,Message\r\n";

// Appends one line ("\r\n" included). Returns false when the file could not be opened or
// written; the caller says nothing then (the line is lost, as an unwritable log always loses
// it). Backslashes in the path are folder separators, as in the stored setting.
bool AppendLogLine(const std::string& path, std::string_view line);

// The stored path as a path of this system ("\" becomes "/").
std::string NativeLogPath(const std::string& storedPath);

}  // namespace uv::server
