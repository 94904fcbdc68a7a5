#include "platform/trace/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace uv::platform {
namespace {

// The trace switch is read once: the environment of a running process does not change under
// it, and reading it on every call would cost a lookup per trace text.
bool EnvironmentSwitch() {
  static const bool enabled = [] {
    const char* value = std::getenv("USBVANTREL_TRACE");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
  }();
  return enabled;
}

// The one piece of process-wide state of this module: the installed sink, guarded by its lock.
// The lock also keeps texts from several threads from interleaving on stderr.
struct TraceState {
  std::mutex mutex;
  TraceSink sink;  // guarded by mutex
};

TraceState& State() {
  static TraceState state;
  return state;
}

constexpr std::size_t kMaxFormatted = 4096;

}  // namespace

void Trace(std::string_view text) {
  const bool toStderr = EnvironmentSwitch();
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.sink) {
    state.sink(text);
  }
  if (toStderr) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
}

void TraceF(const char* format, ...) {
  if (!TraceEnabled()) return;
  char buffer[kMaxFormatted + 1];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length < 0) return;
  const std::size_t size = static_cast<std::size_t>(length) < kMaxFormatted
                               ? static_cast<std::size_t>(length)
                               : kMaxFormatted;
  Trace(std::string_view(buffer, size));
}

bool TraceEnabled() {
  if (EnvironmentSwitch()) return true;
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  return static_cast<bool>(state.sink);
}

void SetTraceSink(TraceSink sink) {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  state.sink = std::move(sink);
}

ScopedTraceSink::ScopedTraceSink(TraceSink sink) {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  previous_ = std::exchange(state.sink, std::move(sink));
}

ScopedTraceSink::~ScopedTraceSink() {
  TraceState& state = State();
  std::lock_guard lock(state.mutex);
  state.sink = std::move(previous_);
}

}  // namespace uv::platform
