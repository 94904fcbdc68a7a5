#pragma once
// The e-mail worker: one thread that drains the mail queue and runs one SMTP conversation at a
// time, in the order the mails were queued. It waits on the queue's wake event at most 500 ms at
// a time; the queue's lock is held only to take one record off, never while mailing.
//
// Stopping follows the console's teardown handshake: the owner sets the stop flag and signals
// the wake event, then polls every 100 ms until the worker has cleared the flag. A conversation
// in progress is finished first (its time limits bound that wait); the records still queued stay
// in the queue, for the owner to free unsent.
//
// Thread affinity: Start and Stop on the owner's thread. The worker runs on a QThread, which has
// the event dispatcher Qt's sockets expect.

#include <QThread>
#include <atomic>
#include <functional>
#include <memory>

#include "server/mail/MailQueue.h"

namespace uv::server {

class CMailWorker {
 public:
  // Sends one mail; the result is only traced.
  using Sender = std::function<void(const EMAIL_CONTEXT&)>;

  // The queue is borrowed and must outlive the worker.
  CMailWorker(CMailQueue& queue, Sender sender);
  ~CMailWorker();
  CMailWorker(const CMailWorker&) = delete;
  CMailWorker& operator=(const CMailWorker&) = delete;

  void Start();
  // The stop handshake, then the thread is joined. Safe to call twice or without Start.
  void Stop();
  bool Running() const { return thread_ != nullptr; }

 private:
  void Run();

  CMailQueue& queue_;
  Sender sender_;
  // Set by the owner, cleared by the worker when it has seen it (that is its "I have ended").
  std::atomic<bool> stop_{false};
  std::unique_ptr<QThread> thread_;
};

}  // namespace uv::server
