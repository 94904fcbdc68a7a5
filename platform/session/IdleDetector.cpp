#include "platform/session/IdleDetector.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/machine/Machine.h"
#include "platform/posix/ErrnoError.h"
#include "platform/posix/UniqueFd.h"
#include "platform/session/IdleTimeScale.h"
#include "platform/session/SessionStore.h"

namespace uv::platform {

namespace {

constexpr std::string_view kSessionsFileName = "sessions";

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::optional<std::int64_t> ParseMs(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool SameUser(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

WinError ChangeInput(Machine& machine, std::string_view user, bool stop) {
  SessionStore store(machine);
  return store.Update([&](std::vector<SessionInfo>& sessions) -> WinError {
    for (auto& s : sessions) {
      if (!SameUser(s.userName, user)) continue;
      const std::string key(kIdleSinceAttribute);
      if (!stop) {
        s.attributes.erase(key);
      } else if (!s.attributes.contains(key) || !ParseMs(s.attributes[key])) {
        s.attributes[key] = std::to_string(NowMs());
      }
      return kErrorSuccess;
    }
    return kErrorFileNotFound;
  });
}

}  // namespace

WinError StopUserInput(Machine& machine, std::string_view user) {
  return ChangeInput(machine, user, true);
}

WinError ResumeUserInput(Machine& machine, std::string_view user) {
  return ChangeInput(machine, user, false);
}

class IdleDetector::Impl {
 public:
  Impl(Machine& machine, std::chrono::milliseconds minuteLength)
      : machine_(machine), minuteLength_(minuteLength) {}
  ~Impl() { End(); }

  WinError Begin(IdleCallback callback, std::uint32_t minutes) {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
    minutes_ = minutes;
    if (thread_.joinable()) {
      Wake();
      return kErrorSuccess;
    }
    UniqueFd notify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!notify || !wake) return ErrnoToWinError(errno, kErrorNotEnoughMemory);
    const std::string dir = machine_.RunDirectory().string();
    if (::inotify_add_watch(notify.get(), dir.c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM) <
        0) {
      return ErrnoToWinError(errno, kErrorPathNotFound);
    }
    notify_ = std::move(notify);
    wake_ = std::move(wake);
    stop_ = false;
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      notify_.Reset();
      wake_.Reset();
      return kErrorNotEnoughMemory;
    }
    return kErrorSuccess;
  }

  void End() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      if (thread_.joinable()) Wake();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    std::lock_guard lock(mutex_);
    notify_.Reset();
    wake_.Reset();
  }

 private:
  void Wake() {
    const std::uint64_t one = 1;
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // The moment input stopped at the console, or none while somebody gives input. Without a
  // readable store the last answer stands.
  std::optional<std::int64_t> IdleSince(std::int64_t now) {
    SessionStore store(machine_);
    auto sessions = store.Enumerate();
    if (!sessions) return lastIdleSince_;
    const std::uint32_t console = store.ActiveConsoleSessionId();
    std::optional<std::int64_t> since;
    bool haveConsole = false;
    for (const auto& s : *sessions) {
      if (s.id != console || s.state != SessionState::kActive) continue;
      haveConsole = true;
      const auto it = s.attributes.find(std::string(kIdleSinceAttribute));
      if (it != s.attributes.end()) since = ParseMs(it->second);
    }
    if (haveConsole) {
      emptyConsoleSince_.reset();
    } else {
      if (!emptyConsoleSince_) emptyConsoleSince_ = now;
      since = emptyConsoleSince_;
    }
    lastIdleSince_ = since;
    return since;
  }

  // True when the watch reported a change of the sessions file (or lost its folder).
  bool DrainNotifications() {
    alignas(inotify_event) std::array<char, 4096> buffer;
    bool relevant = false;
    for (;;) {
      const ssize_t n = ::read(notify_.get(), buffer.data(), buffer.size());
      if (n <= 0) return relevant;
      for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        inotify_event event;
        std::memcpy(&event, buffer.data() + offset, sizeof event);
        const char* name = buffer.data() + offset + sizeof(inotify_event);
        if ((event.mask & (IN_IGNORED | IN_Q_OVERFLOW)) != 0 ||
            (event.len > 0 && std::string_view(name) == kSessionsFileName)) {
          relevant = true;
        }
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
      }
    }
  }

  void Run() {
    bool inSpell = false;
    std::int64_t spellSince = 0;
    for (;;) {
      IdleCallback callback;
      std::uint32_t minutes = 0;
      {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        callback = callback_;
        minutes = minutes_;
      }
      std::uint64_t ignored = 0;
      while (::read(wake_.get(), &ignored, sizeof ignored) > 0) {
      }
      const std::int64_t now = NowMs();
      const std::optional<std::int64_t> since = IdleSince(now);

      if (inSpell && (!since || *since != spellSince)) {
        inSpell = false;  // input came (perhaps followed by a new spell already)
        if (callback) callback(IdleState::kUserIdleEnd);
      }
      std::optional<std::int64_t> deadline;
      if (since && !inSpell) {
        const auto wait = MinutesToDuration(minutes, minuteLength_).count();
        const std::int64_t due = *since > LLONG_MAX - wait ? LLONG_MAX : *since + wait;
        if (now >= due) {
          inSpell = true;
          spellSince = *since;
          if (callback) callback(IdleState::kUserIdleBegin);
        } else {
          deadline = due;
        }
      }

      // Sleep until the sessions change, the spell's deadline, or End/Begin.
      for (;;) {
        int timeout = -1;
        if (deadline) {
          const std::int64_t left = *deadline - NowMs();
          timeout = left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
        }
        std::array<pollfd, 2> polls{{{notify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}}};
        const int n = ::poll(polls.data(), polls.size(), timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the deadline (or a failed poll: evaluate again)
        if ((polls[1].revents & POLLIN) != 0) break;
        if ((polls[0].revents & POLLIN) != 0 && DrainNotifications()) break;
      }
    }
  }

  Machine& machine_;
  const std::chrono::milliseconds minuteLength_;
  std::mutex mutex_;  // guards callback_, minutes_, stop_ and the descriptors' lifetime
  IdleCallback callback_;
  std::uint32_t minutes_ = 0;
  bool stop_ = false;
  UniqueFd notify_;
  UniqueFd wake_;
  std::thread thread_;
  // Only the detector's thread touches these.
  std::optional<std::int64_t> emptyConsoleSince_;
  std::optional<std::int64_t> lastIdleSince_;
};

IdleDetector::IdleDetector(Machine& machine, std::optional<std::chrono::milliseconds> minuteLength)
    : impl_(std::make_unique<Impl>(machine, minuteLength.value_or(MinuteLength()))) {}

IdleDetector::~IdleDetector() = default;

WinError IdleDetector::Begin(IdleCallback callback, std::uint32_t minutes) {
  return impl_->Begin(std::move(callback), minutes);
}

void IdleDetector::End() {
  impl_->End();
}

}  // namespace uv::platform
