#include "platform/sync/Event.h"

namespace uv::platform {

void Event::Set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  // An auto-reset event releases one waiter; waking more would only make the others re-check
  // and sleep again, but a manual-reset one must release them all.
  if (manualReset_) {
    changed_.notify_all();
  } else {
    changed_.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

WaitResult Event::Wait(std::optional<std::chrono::milliseconds> timeout) {
  std::unique_lock lock(mutex_);
  auto signalled = [this] { return set_; };
  // Longer waits are as good as endless, and keep the deadline from overflowing.
  if (timeout && *timeout > std::chrono::milliseconds(0x7FFFFFFF)) timeout.reset();
  if (!timeout) {
    changed_.wait(lock, signalled);
  } else if (!changed_.wait_for(lock, *timeout, signalled)) {
    return WaitResult::kTimeout;
  }
  if (!manualReset_) set_ = false;
  return WaitResult::kSignalled;
}

}  // namespace uv::platform
