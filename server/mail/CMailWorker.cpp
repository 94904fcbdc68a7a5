#include "server/mail/CMailWorker.h"

#include "platform/trace/Trace.h"

#include <chrono>
#include <exception>
#include <thread>

namespace uv::server {

namespace {
constexpr std::chrono::milliseconds kWakeWait{500};
constexpr std::chrono::milliseconds kStopPoll{100};
}  // namespace

CMailWorker::CMailWorker(CMailQueue& queue, Sender sender)
    : queue_(queue), sender_(std::move(sender)) {}

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
  stop_ = true;
  queue_.SetWakeEvent();
  while (stop_ && !thread_->isFinished()) std::this_thread::sleep_for(kStopPoll);
  thread_->wait();
  thread_.reset();
  stop_ = false;
}

void CMailWorker::Run() {
  while (!stop_) {
    if (!queue_.WaitForWake(kWakeWait)) continue;
    // Reset before draining: a record queued during the drain is taken in it or sets the event
    // again for the next round.
    queue_.ResetWakeEvent();
    while (!stop_) {
      std::optional<EMAIL_CONTEXT> mail = queue_.TakeHead();
      if (!mail) break;
      try {
        sender_(*mail);
      } catch (const std::exception&) {
        // Mail is best effort (an allocation failure loses this one); the worker goes on.
        platform::Trace(" Mail worker: mail dropped");
      }
    }
  }
  stop_ = false;
}

}  // namespace uv::server
