#pragma once
// Events as the programs use them for hand-offs between threads (CreateEvent): a manual-reset
// event stays signalled until Reset and releases every waiter; an auto-reset event releases
// exactly one waiter per Set and resets itself when it does (a Set with nobody waiting is kept
// for the next Wait). No polling: waiters sleep on a condition variable.
//
// Thread affinity: none; every member is thread-safe. An event must outlive its waiters.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace uv::platform {

enum class WaitResult {
  kSignalled,  // WAIT_OBJECT_0
  kTimeout,    // WAIT_TIMEOUT
};

// What Wait/TryWait share; use ManualResetEvent or AutoResetEvent.
class Event {
 public:
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits until signalled or the timeout passes (none = forever; zero = just look).
  WaitResult Wait(std::optional<std::chrono::milliseconds> timeout = {});
  // The state without waiting or consuming it.
  bool IsSet() const;

 protected:
  Event(bool manualReset, bool initiallySet) : manualReset_(manualReset), set_(initiallySet) {}
  ~Event() = default;

 private:
  const bool manualReset_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // notified by Set
  bool set_;                         // guarded by mutex_
};

class ManualResetEvent : public Event {
 public:
  explicit ManualResetEvent(bool initiallySet = false) : Event(true, initiallySet) {}
};

class AutoResetEvent : public Event {
 public:
  explicit AutoResetEvent(bool initiallySet = false) : Event(false, initiallySet) {}
};

}  // namespace uv::platform
