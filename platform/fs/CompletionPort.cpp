#include "platform/fs/CompletionPort.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <vector>

#include "platform/fs/PortCore.h"

namespace uv::platform {
namespace detail {

namespace {

WinError ErrnoToWinError(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
      return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EBADF:
      return kErrorInvalidHandle;
    default:
      return kErrorInvalidParameter;
  }
}

}  // namespace

Result<std::shared_ptr<PortCore>> PortCore::Create() {
  const int epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) return Result<std::shared_ptr<PortCore>>::Failure(ErrnoToWinError(errno));
  const int eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (eventFd < 0) {
    const int error = errno;
    close(epollFd);
    return Result<std::shared_ptr<PortCore>>::Failure(ErrnoToWinError(error));
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = 0;
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, eventFd, &event) != 0) {
    const int error = errno;
    close(eventFd);
    close(epollFd);
    return Result<std::shared_ptr<PortCore>>::Failure(ErrnoToWinError(error));
  }
  return std::make_shared<PortCore>(epollFd, eventFd);
}

PortCore::~PortCore() {
  close(eventFd_);
  close(epollFd_);
}

Result<std::uint64_t> PortCore::AddSource(int fd, std::weak_ptr<PortSource> source) {
  std::lock_guard lock(mutex_);
  if (closed_) return Result<std::uint64_t>::Failure(kErrorInvalidHandle);
  const std::uint64_t id = nextId_++;
  epoll_event event{};
  event.events = 0;  // disarmed until the first operation is pending
  event.data.u64 = id;
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
    return Result<std::uint64_t>::Failure(ErrnoToWinError(errno));
  }
  sources_.emplace(id, std::move(source));
  return id;
}

WinError PortCore::Arm(std::uint64_t id, int fd) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.u64 = id;
  if (epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) != 0) return ErrnoToWinError(errno);
  return kErrorSuccess;
}

void PortCore::RemoveSource(std::uint64_t id, int fd) {
  std::lock_guard lock(mutex_);
  // A waiter may already hold a readiness event for this id; it finds no source and drops it.
  sources_.erase(id);
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

void PortCore::Wake() {
  const std::uint64_t one = 1;
  // The counter only has to be non-zero; a full counter (EAGAIN) is as good as a write.
  [[maybe_unused]] const auto written = write(eventFd_, &one, sizeof one);
}

WinError PortCore::Post(const Completion& completion) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return kErrorInvalidHandle;
    queue_.push_back(completion);
    wake = waiters_ > 0;
  }
  // A waiter counts itself under the lock before it blocks, so a packet queued after that point
  // always wakes it; one queued before is seen when it looks at the queue.
  if (wake) Wake();
  return kErrorSuccess;
}

Result<Completion> PortCore::Wait(std::optional<std::chrono::milliseconds> limit) {
  using Clock = std::chrono::steady_clock;
  const bool bounded = limit.has_value();
  const Clock::time_point deadline = Clock::now() + limit.value_or(std::chrono::milliseconds(0));
  std::array<epoll_event, 32> events{};
  std::vector<std::shared_ptr<PortSource>> ready;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return Result<Completion>::Failure(kErrorAbandonedWait0);
      if (!queue_.empty()) {
        Completion completion = queue_.front();
        queue_.pop_front();
        // Another waiter may have slept through the wake-up this thread consumed.
        if (!queue_.empty() && waiters_ > 0) Wake();
        return completion;
      }
      ++waiters_;
    }
    int timeoutMs = -1;
    if (bounded) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      timeoutMs = static_cast<int>(std::max<std::int64_t>(0, left.count()));
    }
    const int count =
        epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), timeoutMs);
    const int waitError = errno;
    ready.clear();
    bool closedNow = false;
    {
      std::lock_guard lock(mutex_);
      --waiters_;
      closedNow = closed_;
      for (int i = 0; i < count; ++i) {
        const std::uint64_t id = events[static_cast<std::size_t>(i)].data.u64;
        if (id == 0) continue;
        const auto found = sources_.find(id);
        if (found == sources_.end()) continue;
        if (auto source = found->second.lock()) ready.push_back(std::move(source));
      }
    }
    if (count < 0 && waitError != EINTR) return Result<Completion>::Failure(kErrorInvalidHandle);
    // After Close() the eventfd stays readable so that every waiter wakes and leaves.
    for (int i = 0; i < count && !closedNow; ++i) {
      if (events[static_cast<std::size_t>(i)].data.u64 == 0) {
        std::uint64_t value = 0;
        [[maybe_unused]] const auto got = read(eventFd_, &value, sizeof value);
      }
    }
    for (auto& source : ready) source->OnReadable();
    ready.clear();
    if (count == 0 && bounded && Clock::now() >= deadline) {
      std::lock_guard lock(mutex_);
      if (closed_) return Result<Completion>::Failure(kErrorAbandonedWait0);
      if (queue_.empty()) return Result<Completion>::Failure(kWaitTimeout);
    }
  }
}

void PortCore::Close() {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    queue_.clear();
  }
  Wake();
}

std::size_t PortCore::QueuedCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

}  // namespace detail

Result<std::unique_ptr<CompletionPort>> CompletionPort::Create() {
  auto core = detail::PortCore::Create();
  if (!core) return Result<std::unique_ptr<CompletionPort>>::Failure(core.error());
  return std::make_unique<CompletionPort>(std::move(core).value(), PrivateTag{});
}

CompletionPort::CompletionPort(std::shared_ptr<detail::PortCore> core, PrivateTag)
    : core_(std::move(core)) {}

CompletionPort::~CompletionPort() {
  Close();
}

WinError CompletionPort::Post(std::uint32_t bytes, CompletionKey key, Overlapped* overlapped) {
  return core_->Post(Completion{bytes, key, overlapped, kErrorSuccess});
}

Result<Completion> CompletionPort::Wait() {
  return core_->Wait(std::nullopt);
}

Result<Completion> CompletionPort::Wait(std::chrono::milliseconds limit) {
  return core_->Wait(limit);
}

void CompletionPort::Close() {
  core_->Close();
}

std::size_t CompletionPort::QueuedCount() const {
  return core_->QueuedCount();
}

}  // namespace uv::platform
