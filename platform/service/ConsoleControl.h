#pragma once
// The console-control events of a program running in a terminal (SetConsoleCtrlHandler): Ctrl-C
// (SIGINT), Ctrl-Break (SIGQUIT), closing the terminal (SIGHUP) and a request to end (SIGTERM,
// delivered as the close event, as a terminal's window closing is on the other platform).
//
// While a ConsoleControlHandler exists these signals are blocked in the thread that created it
// (and so in the threads it starts afterwards) and are read by a thread of the handler's own,
// which calls the handler for each event; an event the handler does not take (returns false)
// ends the process as the signal would have. Destruction stops and joins the thread and restores
// the signal mask of the creating thread.
//
// Create it on the main thread before any other thread starts, so no thread keeps the default
// action for these signals. At most one handler exists per process.
//
// Thread affinity: construct and destroy on the same thread; the handler runs on the handler's
// thread.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/common/Result.h"

namespace uv::platform {

enum class ConsoleControlEvent : std::uint32_t {
  kCtrlC = 0,
  kCtrlBreak = 1,
  kClose = 2,
  kLogoff = 5,
  kShutdown = 6,
};

class ConsoleControlHandler {
 public:
  using Handler = std::function<bool(ConsoleControlEvent event)>;

  // kErrorAlreadyExists when another handler exists in this process.
  static Result<std::unique_ptr<ConsoleControlHandler>> Install(Handler handler);
  ~ConsoleControlHandler();
  ConsoleControlHandler(const ConsoleControlHandler&) = delete;
  ConsoleControlHandler& operator=(const ConsoleControlHandler&) = delete;

  class Impl;
  // For Install only (Impl is not constructible outside this module).
  explicit ConsoleControlHandler(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace uv::platform
