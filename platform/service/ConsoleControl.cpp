#include "platform/service/ConsoleControl.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/posix/UniqueFd.h"

namespace uv::platform {

namespace {

// The signal mask and dispositions are the process's, so only one handler may own them at a
// time; this flag is that rule, not state of any handler.
std::atomic<bool> installed{false};

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  return set;
}

ConsoleControlEvent EventOf(int signal) {
  switch (signal) {
    case SIGINT:
      return ConsoleControlEvent::kCtrlC;
    case SIGQUIT:
      return ConsoleControlEvent::kCtrlBreak;
    default:
      return ConsoleControlEvent::kClose;
  }
}

}  // namespace

class ConsoleControlHandler::Impl {
 public:
  Impl(Handler handler, UniqueFd signals, UniqueFd wake, sigset_t previous)
      : handler_(std::move(handler)),
        signals_(std::move(signals)),
        wake_(std::move(wake)),
        previous_(previous),
        thread_([this] { Loop(); }) {}

  ~Impl() {
    const std::uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
    thread_.join();
    (void)::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    installed.store(false);
  }

 private:
  void Loop() {
    for (;;) {
      pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      signalfd_siginfo info{};
      if (::read(signals_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        continue;
      }
      const int signal = static_cast<int>(info.ssi_signo);
      if (!handler_(EventOf(signal))) {
        // Not taken: the signal's own default action, as if no handler had been installed.
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        (void)::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        (void)::kill(::getpid(), signal);
      }
    }
  }

  Handler handler_;
  UniqueFd signals_;
  UniqueFd wake_;
  sigset_t previous_;
  std::thread thread_;  // started last, joined by the destructor
};

Result<std::unique_ptr<ConsoleControlHandler>> ConsoleControlHandler::Install(Handler handler) {
  using R = Result<std::unique_ptr<ConsoleControlHandler>>;
  if (installed.exchange(true)) return R::Failure(kErrorAlreadyExists);
  const sigset_t set = ControlSignals();
  sigset_t previous;
  if (::pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) {
    installed.store(false);
    return R::Failure(kErrorInvalidParameter);
  }
  UniqueFd signals(::signalfd(-1, &set, SFD_CLOEXEC));
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
  if (!signals || !wake) {
    (void)::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    installed.store(false);
    return R::Failure(kErrorNotEnoughMemory);
  }
  // The handler thread inherits the blocked mask, so the signals stay queued for the signalfd.
  auto impl =
      std::make_unique<Impl>(std::move(handler), std::move(signals), std::move(wake), previous);
  return std::make_unique<ConsoleControlHandler>(std::move(impl));
}

ConsoleControlHandler::ConsoleControlHandler(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ConsoleControlHandler::~ConsoleControlHandler() = default;

}  // namespace uv::platform
