#include "server/mail/CMailWorker.h"

#include "platform/trace/Trace.h"

#include <algorithm>
#include <exception>
#include <thread>

namespace uv::server {

namespace {
constexpr std::chrono::milliseconds kWakeWait{500};
constexpr std::chrono::milliseconds kStopPoll{100};
}  // namespace

CMailWorker::CMailWorker(CMailQueue& queue, Sender sender, MailBackOff backOff)
    : queue_(queue), sender_(std::move(sender)), backOff_(backOff) {}

CMailWorker::~CMailWorker() {
  Stop();
}

void CMailWorker::Start() {
  if (thread_) return;
  stop_ = false;
  thread_.reset(QThread::create([this] { Run(); }));
  thread_->setObjectName(QStringLiteral("mail worker"));
  thread_->start();
}

void CMailWorker::Stop() {
  if (!thread_) return;
  {
    // Under the lock: a worker about to wait after a failure either sees the flag or is woken.
    std::lock_guard lock(stopMutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  queue_.SetWakeEvent();
  while (stop_ && !thread_->isFinished()) std::this_thread::sleep_for(kStopPoll);
  thread_->wait();
  thread_.reset();
  stop_ = false;
}

bool CMailWorker::WaitUnlessStopped(std::chrono::milliseconds delay) {
  std::unique_lock lock(stopMutex_);
  return !stopped_.wait_for(lock, delay, [this] { return stop_.load(); });
}

void CMailWorker::Run() {
  std::chrono::milliseconds backOff{0};  // the last wait after a connection failure
  while (!stop_) {
    if (!queue_.WaitForWake(kWakeWait)) continue;
    // Reset before draining: a record queued during the drain is taken in it or sets the event
    // again for the next round.
    queue_.ResetWakeEvent();
    while (!stop_) {
      MailOutcome outcome = MailOutcome::kNotMailable;
      try {
        // Taking the head builds the mail's body, which may fail for want of memory as well.
        std::optional<EMAIL_CONTEXT> mail = queue_.TakeHead();
        if (!mail) break;
        outcome = sender_(*mail);
      } catch (const std::exception&) {
        // Mail is best effort (an allocation failure loses this one); the worker goes on.
        platform::Trace(" Mail worker: mail dropped");
      }
      if (!IsConnectionFailure(outcome)) {
        backOff = {};
        continue;
      }
      backOff = backOff.count() == 0 ? backOff_.first : std::min(backOff * 2, backOff_.longest);
      platform::TraceF(" Mail server not reached: next mail in %lld ms",
                       static_cast<long long>(backOff.count()));
      if (!WaitUnlessStopped(backOff)) break;
    }
  }
  stop_ = false;
}

}  // namespace uv::server
