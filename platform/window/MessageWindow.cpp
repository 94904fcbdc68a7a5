#include "platform/window/MessageWindow.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/trace/Trace.h"

namespace uv::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Longer waits are as good as endless, and keep deadline arithmetic from overflowing.
constexpr std::chrono::milliseconds kLongestWait(0x7FFFFFFF);

// Window ids are handed out once per process, like window handles, so a stale id never
// reaches a new window.
std::atomic<WindowId> nextWindowId{1};

// A Send from another thread: the sender sleeps on done until the loop has handled it, or the
// window ends and fails it.
struct SentMessage {
  WindowMessage message;
  bool started = false;   // the handler has been called
  bool finished = false;  // result is valid, or failed
  bool failed = false;
  std::intptr_t result = 0;
  std::condition_variable done;
};

struct Timer {
  std::chrono::milliseconds period{1};
  Clock::time_point due;
};

enum class Phase { kNotStarted, kRunning, kEnded, kDestroyed };

}  // namespace

class MessageWindow::State {
 public:
  explicit State(MessageHandler handler)
      : id_(nextWindowId.fetch_add(1)),
        owner_(std::this_thread::get_id()),
        handler_(std::move(handler)) {}

  WindowId Id() const { return id_; }
  bool IsOwnerThread() const { return std::this_thread::get_id() == owner_; }

  bool IsValid() const {
    std::lock_guard lock(mutex_);
    return phase_ != Phase::kDestroyed;
  }

  Result<std::intptr_t> Send(WindowMessage message,
                             std::optional<std::chrono::milliseconds> timeout) {
    if (IsOwnerThread()) {
      {
        std::lock_guard lock(mutex_);
        if (phase_ == Phase::kDestroyed) return Result<std::intptr_t>::Failure(kErrorInvalidHandle);
      }
      return Call(message);
    }
    auto sent = std::make_shared<SentMessage>();
    sent->message = std::move(message);
    std::unique_lock lock(mutex_);
    if (phase_ == Phase::kEnded || phase_ == Phase::kDestroyed) {
      return Result<std::intptr_t>::Failure(kErrorInvalidHandle);
    }
    sent_.push_back(sent);
    wake_.notify_one();
    auto finished = [&] { return sent->finished; };
    if (timeout) timeout = std::clamp(*timeout, std::chrono::milliseconds(0), kLongestWait);
    if (!timeout) {
      sent->done.wait(lock, finished);
    } else if (!sent->done.wait_for(lock, *timeout, finished)) {
      if (!sent->started) {
        for (auto it = sent_.begin(); it != sent_.end(); ++it) {
          if (*it == sent) {
            sent_.erase(it);
            break;
          }
        }
      }
      // A message already being handled runs to its end; its result is dropped.
      return Result<std::intptr_t>::Failure(kErrorTimeout);
    }
    if (sent->failed) return Result<std::intptr_t>::Failure(kErrorInvalidHandle);
    return sent->result;
  }

  WinError Post(WindowMessage message) {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::kEnded || phase_ == Phase::kDestroyed) return kErrorInvalidHandle;
    posted_.push_back(std::move(message));
    wake_.notify_one();
    return kErrorSuccess;
  }

  WinError SetTimer(std::uintptr_t id, std::chrono::milliseconds period) {
    // As USER_TIMER_MINIMUM/MAXIMUM do: no busy timer, and no deadline that overflows.
    period =
        std::clamp(period, std::chrono::milliseconds(1), std::chrono::milliseconds(0x7FFFFFFF));
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::kDestroyed) return kErrorInvalidHandle;
    timers_[id] = Timer{period, Clock::now() + period};
    wake_.notify_one();
    return kErrorSuccess;
  }

  WinError KillTimer(std::uintptr_t id) {
    std::lock_guard lock(mutex_);
    return timers_.erase(id) > 0 ? kErrorSuccess : kErrorInvalidParameter;
  }

  void Quit(int code) {
    std::lock_guard lock(mutex_);
    quitCode_ = code;
    wake_.notify_one();
  }

  Result<int> Run() {
    if (!IsOwnerThread()) return Result<int>::Failure(kErrorInvalidParameter);
    std::unique_lock lock(mutex_);
    if (inRun_ || phase_ == Phase::kDestroyed) return Result<int>::Failure(kErrorInvalidParameter);
    inRun_ = true;
    phase_ = Phase::kRunning;
    for (;;) {
      // Order of a Windows queue: messages sent from other threads, then posted ones; the quit
      // request once those are done; timers only when nothing else waits.
      if (!sent_.empty()) {
        auto sent = sent_.front();
        sent_.pop_front();
        sent->started = true;
        lock.unlock();
        const std::intptr_t result = Call(sent->message);
        lock.lock();
        sent->result = result;
        sent->finished = true;
        sent->done.notify_all();
        continue;
      }
      if (!posted_.empty()) {
        WindowMessage message = std::move(posted_.front());
        posted_.pop_front();
        lock.unlock();
        (void)Call(message);
        lock.lock();
        continue;
      }
      if (quitCode_) break;
      const auto now = Clock::now();
      auto earliest = timers_.end();
      for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (earliest == timers_.end() || it->second.due < earliest->second.due) earliest = it;
      }
      if (earliest != timers_.end() && earliest->second.due <= now) {
        // The next tick counts from now: a loop held up by a long handler gets one kWmTimer,
        // not a burst of the ones it missed.
        earliest->second.due = now + earliest->second.period;
        WindowMessage tick;
        tick.message = kWmTimer;
        tick.wParam = earliest->first;
        lock.unlock();
        (void)Call(tick);
        lock.lock();
        continue;
      }
      if (earliest != timers_.end()) {
        wake_.wait_until(lock, earliest->second.due);
      } else {
        wake_.wait(lock);
      }
    }
    const int code = *quitCode_;
    quitCode_.reset();
    inRun_ = false;
    phase_ = Phase::kEnded;
    FailPendingLocked();
    return code;
  }

  void Destroy() {
    std::lock_guard lock(mutex_);
    phase_ = Phase::kDestroyed;
    timers_.clear();
    FailPendingLocked();
  }

  // Only the owner thread calls the handler, and only until Destroy.
  void DropHandler() { handler_ = nullptr; }

 private:
  std::intptr_t Call(const WindowMessage& message) {
    if (!handler_) return 0;
    try {
      return handler_(message);
    } catch (const std::exception& e) {
      TraceF("MessageWindow: handler of message 0x%x threw: %s\n", message.message, e.what());
    } catch (...) {
      TraceF("MessageWindow: handler of message 0x%x threw\n", message.message);
    }
    return 0;
  }

  void FailPendingLocked() {
    for (auto& sent : sent_) {
      sent->failed = true;
      sent->finished = true;
      sent->done.notify_all();
    }
    sent_.clear();
    posted_.clear();
  }

  const WindowId id_;
  const std::thread::id owner_;
  MessageHandler handler_;  // used by the owner thread only

  mutable std::mutex mutex_;      // guards everything below
  std::condition_variable wake_;  // the loop sleeps here; notified by Send, Post, timers, Quit
  Phase phase_ = Phase::kNotStarted;
  bool inRun_ = false;
  std::deque<std::shared_ptr<SentMessage>> sent_;
  std::deque<WindowMessage> posted_;
  std::map<std::uintptr_t, Timer> timers_;
  std::optional<int> quitCode_;
};

namespace {
WindowMessage MakeMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                          std::vector<std::uint8_t> payload) {
  WindowMessage m;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.payload = std::move(payload);
  return m;
}
}  // namespace

// ---- Handle ----

WindowId MessageWindow::Handle::Id() const {
  return state_ ? state_->Id() : 0;
}

bool MessageWindow::Handle::IsValid() const {
  return state_ && state_->IsValid();
}

Result<std::intptr_t> MessageWindow::Handle::Send(std::uint32_t message, std::uintptr_t wParam,
                                                  std::intptr_t lParam,
                                                  std::vector<std::uint8_t> payload) const {
  if (!state_) return Result<std::intptr_t>::Failure(kErrorInvalidHandle);
  return state_->Send(MakeMessage(message, wParam, lParam, std::move(payload)), std::nullopt);
}

Result<std::intptr_t> MessageWindow::Handle::SendTimeout(std::chrono::milliseconds timeout,
                                                         std::uint32_t message,
                                                         std::uintptr_t wParam,
                                                         std::intptr_t lParam,
                                                         std::vector<std::uint8_t> payload) const {
  if (!state_) return Result<std::intptr_t>::Failure(kErrorInvalidHandle);
  return state_->Send(MakeMessage(message, wParam, lParam, std::move(payload)), timeout);
}

WinError MessageWindow::Handle::Post(std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam,
                                     std::vector<std::uint8_t> payload) const {
  if (!state_) return kErrorInvalidHandle;
  return state_->Post(MakeMessage(message, wParam, lParam, std::move(payload)));
}

// ---- MessageWindow ----

MessageWindow::MessageWindow(MessageHandler handler)
    : state_(std::make_shared<State>(std::move(handler))) {}

MessageWindow::~MessageWindow() {
  state_->Destroy();
  // Handles may keep the state alive; what the handler captured must not outlive the window.
  state_->DropHandler();
}

WindowId MessageWindow::Id() const {
  return state_->Id();
}

MessageWindow::Handle MessageWindow::GetHandle() const {
  return Handle(state_);
}

bool MessageWindow::IsOwnerThread() const {
  return state_->IsOwnerThread();
}

Result<std::intptr_t> MessageWindow::Send(std::uint32_t message, std::uintptr_t wParam,
                                          std::intptr_t lParam,
                                          std::vector<std::uint8_t> payload) const {
  return state_->Send(MakeMessage(message, wParam, lParam, std::move(payload)), std::nullopt);
}

WinError MessageWindow::Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                             std::vector<std::uint8_t> payload) const {
  return state_->Post(MakeMessage(message, wParam, lParam, std::move(payload)));
}

WinError MessageWindow::SetTimer(std::uintptr_t id, std::chrono::milliseconds period) {
  return state_->SetTimer(id, period);
}

WinError MessageWindow::KillTimer(std::uintptr_t id) {
  return state_->KillTimer(id);
}

Result<int> MessageWindow::Run() {
  return state_->Run();
}

void MessageWindow::Quit(int code) {
  state_->Quit(code);
}

}  // namespace uv::platform
