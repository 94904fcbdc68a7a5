#pragma once
// The console's comma-separated event log. The file stays open between lines, yet behaves as if
// it were opened for every line: each line is in the file, whole, when its event has been
// handled (one write, nothing held back in memory); the header goes only into a file this writer
// creates; a changed path, a file deleted or moved away, or one another program truncated takes
// effect at the next line. Thread affinity: the UI thread only (the one writer of the file).

#include <string>
#include <string_view>

#include "platform/common/FileWrite.h"

namespace uv::server {

inline constexpr std::string_view kLogHeader =
    "Date,Time,Computer Name,IP Address,Category,Message\r\n";

class EventLogFile {
 public:
  // Appends one line ("\r\n" included), or several in one write, to the file the stored path
  // names (backslashes are folder separators, as in the setting). Returns false when the file
  // could not be opened or written; the caller says nothing then (the lines are lost, as an
  // unwritable log always loses them), and the next append tries the path again. Whatever
  // happened to the file since the last append takes effect for all lines of this one.
  bool Append(const std::string& storedPath, std::string_view line);
  // Lets go of the file, e.g. when logging is switched off.
  void Close() { file_.Close(); }
  bool IsOpen() const { return file_.IsOpen(); }

 private:
  std::string storedPath_;        // the setting the native path below was made from
  std::filesystem::path native_;  // made once per change of the setting, not per line
  platform::AppendingFile file_;
};

// One line appended to the file, opened and closed for it: for a writer that writes rarely.
bool AppendLogLine(const std::string& storedPath, std::string_view line);

// The stored path as a path of this system ("\" becomes "/").
std::string NativeLogPath(const std::string& storedPath);

}  // namespace uv::server
