#pragma once
// The road from the agent to the console, as the device handling and the file watcher see it.
// CEventReporter is the real one; tests of the callers may put a recording one in its place.

#include <string>

namespace uv::agent {

class IEventReporter {
 public:
  virtual ~IEventReporter() = default;

  // Builds an event report around `text` (a message text already completed with computer and
  // user, or a file-activity text), probes the console at `server` (dotted IPv4) and sends the
  // report, or keeps it in the offline journal. Blocks the calling thread for the probe. When
  // `body` is given it receives the report without its version field and the "," after it.
  virtual void ReportToServer(const std::string& text, const std::string& server,
                              std::string* body = nullptr) = 0;
};

}  // namespace uv::agent
