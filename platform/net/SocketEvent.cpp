#include "platform/net/SocketEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "platform/posix/SocketDescriptor.h"

namespace uv::platform {

// An eventfd stays readable while its counter is above zero, so a Set is seen by every wait
// until Reset drains it: manual-reset semantics for any number of waiters.
namespace {
int NewEventFd() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  return fd;
}
}  // namespace

SocketEvent::SocketEvent() : impl_(std::make_unique<Impl>(NewEventFd())) {}

SocketEvent::~SocketEvent() = default;

void SocketEvent::Set() {
  const std::uint64_t one = 1;
  // Fails only when the counter would overflow, which leaves it signalled anyway.
  while (::write(impl_->fd.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void SocketEvent::Reset() {
  std::uint64_t count = 0;
  while (::read(impl_->fd.get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
}

bool SocketEvent::IsSet() const {
  pollfd p{impl_->fd.get(), POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, 0);
  } while (n < 0 && errno == EINTR);
  return n > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace uv::platform
