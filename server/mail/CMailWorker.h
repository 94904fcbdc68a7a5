#pragma once
// The e-mail worker: one thread that drains the mail queue and runs one SMTP conversation at a
// time, in the order the mails were queued. It waits on the queue's wake event at most 500 ms at
// a time; the queue's lock is held only to take one record off, never while mailing.
//
// A failed conversation loses its mail (best effort, no retry). When the failure was the
// connection's (server down, unreachable, silent), the worker waits before the next
// conversation, 1 s after the first such failure, twice as long after each further one, at most
// 60 s, so an unreachable server costs a few attempts rather than one per queued mail; the
// mails meanwhile stay queued (the queue is bounded). Any answer from the server ends the
// waiting.
//
// After draining the queue the worker blocks in its wait again at once: the first mail of the
// next batch wakes it. The wake-up is paid by whoever sets the wake event; the console's UI thread
// queues with the wake-up deferred, and its listener thread pays it once per batch handled.
//
// Stopping follows the console's teardown handshake: the owner sets the stop flag and signals
// the wake event, then polls every 100 ms until the worker has cleared the flag. A conversation
// in progress is finished first (its time limits bound that wait), a wait after a failure is cut
// short; the records still queued stay in the queue, for the owner to free unsent.
//
// Thread affinity: Start and Stop on the owner's thread. The worker runs on a QThread, which has
// the event dispatcher Qt's sockets expect.

#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "server/mail/MailQueue.h"
#include "server/mail/SmtpConversation.h"

namespace uv::server {

// The waits after connection failures.
struct MailBackOff {
  std::chrono::milliseconds first{1000};
  std::chrono::milliseconds longest{60'000};
};

class CMailWorker {
 public:
  // Sends one mail and says how it went.
  using Sender = std::function<MailOutcome(const EMAIL_CONTEXT&)>;

  // The queue is borrowed and must outlive the worker.
  CMailWorker(CMailQueue& queue, Sender sender, MailBackOff backOff = {});
  ~CMailWorker();
  CMailWorker(const CMailWorker&) = delete;
  CMailWorker& operator=(const CMailWorker&) = delete;

  void Start();
  // The stop handshake, then the thread is joined. Safe to call twice or without Start.
  void Stop();
  bool Running() const { return thread_ != nullptr; }

 private:
  void Run();
  // Waits this long unless the stop flag is set first; false when it was.
  bool WaitUnlessStopped(std::chrono::milliseconds delay);

  CMailQueue& queue_;
  Sender sender_;
  MailBackOff backOff_;
  // Set by the owner, cleared by the worker when it has seen it (that is its "I have ended").
  std::atomic<bool> stop_{false};
  // Wakes a wait after a failure when the stop flag is set.
  std::mutex stopMutex_;
  std::condition_variable stopped_;
  std::unique_ptr<QThread> thread_;
};

}  // namespace uv::server
