#include "server/app/SignalExit.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>

namespace uv::server {

namespace {

// The write end for the signal handler: a handler can reach nothing but a global, and an atomic
// int is the one kind of global it may read safely.
std::atomic<int> gSignalPipe{-1};

extern "C" void OnStopSignal(int) {
  const int fd = gSignalPipe.load();
  if (fd >= 0) {
    const char byte = 1;
    (void)!::write(fd, &byte, 1);
  }
}

}  // namespace

SignalExit::SignalExit(QObject* parent) : QObject(parent) {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  gSignalPipe.store(pipe_[1]);
  notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    char buffer[16];
    while (::read(pipe_[0], buffer, sizeof buffer) > 0) {
    }
    emit requested();
  });
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

SignalExit::~SignalExit() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  gSignalPipe.store(-1);
  delete notifier_;
  notifier_ = nullptr;
  for (int fd : pipe_) {
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace uv::server
