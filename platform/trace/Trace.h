#pragma once
// The debugger-output texts of the programs. Off by default; USBVANTREL_TRACE=1 in the
// environment writes each text to stderr as it is (no newline is added: the texts carry their
// own). Tests install a sink to read what was traced. Safe to call from any thread.

#include <functional>
#include <string_view>

namespace uv::platform {

// Writes one trace text (OutputDebugString).
void Trace(std::string_view text);

// printf-style trace, for the texts that are formats ("Sent %s", "err : %u"). The result is cut
// at 4096 bytes.
void TraceF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when traces go anywhere (environment switch or a sink), so callers can skip building
// expensive texts.
bool TraceEnabled();

// Receives every trace text while installed, whether or not USBVANTREL_TRACE is set. Passing an
// empty function removes it. The sink is called under the trace lock: it must not trace.
using TraceSink = std::function<void(std::string_view)>;
void SetTraceSink(TraceSink sink);

// Installs a sink for the life of the object and restores the previous one afterwards.
class ScopedTraceSink {
 public:
  explicit ScopedTraceSink(TraceSink sink);
  ~ScopedTraceSink();
  ScopedTraceSink(const ScopedTraceSink&) = delete;
  ScopedTraceSink& operator=(const ScopedTraceSink&) = delete;

 private:
  TraceSink previous_;
};

}  // namespace uv::platform
