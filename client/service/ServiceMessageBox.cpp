#include "client/service/ServiceMessageBox.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/eventlog/EventLog.h"

namespace uv::client {

bool ServiceMessageBox(platform::Machine& machine, std::string_view source,
                       std::string_view caption, std::string_view text, bool silent) {
  if (silent) return false;
  if (::isatty(STDERR_FILENO) == 1) {
    std::string line(caption);
    line += ": ";
    line += text;
    line += '\n';
    return std::fwrite(line.data(), 1, line.size(), stderr) == line.size();
  }
  return platform::ReportEvent(machine, platform::EventType::kError, kMessageBoxEventId, source,
                               {std::string(caption), std::string(text)}) ==
         platform::kErrorSuccess;
}

}  // namespace uv::client
