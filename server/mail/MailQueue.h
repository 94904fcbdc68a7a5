#pragma once
// The mail queue between the UI thread (producer, one append per event to be mailed) and the
// e-mail worker (consumer). Records are copied in and out; the queue owns its copies.
//
// Thread affinity: any. The queue is guarded by one lock, held only for one append or one
// removal, never while mailing. The wake event is manual-reset: the worker resets it before it
// drains, so a record appended during a drain is taken in that drain or wakes it again. Setting
// the event costs a system call only when the consumer is blocked in WaitForWake and the event
// was clear: a consumer that is draining is not woken.
//
// Waking a blocked consumer is the dear part of queueing (the kernel's wake-up of another
// thread, several times what the append costs). A producer that must stay cheap (the UI thread)
// queues with Wake::kDeferred: when the wake-up would be needed it is only noted, and whoever
// calls WakeIfPending afterwards (the listener thread, once the UI thread has handled its batch)
// pays it, once for everything queued meanwhile.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "server/dialogs/settings/ServerSettings.h"

namespace uv::server {

// One mail, fields in the order the notifier expects them.
struct EMAIL_CONTEXT {
  std::string From;
  std::string To;
  std::string Subject;
  std::string Body;
  std::string Server;
  bool Authenticate = false;
  std::string UserName;
  std::string Password;
  int Port = 0;
  // Upgrade the connection with STARTTLS, when the server offers it, before AUTH LOGIN (the
  // "SmtpStartTls" setting).
  bool StartTls = false;

  bool operator==(const EMAIL_CONTEXT&) const = default;
};

inline constexpr const char* kMailSubject = "USBVantrel! Alert";

// Builds the body of one mail from the event as the console showed it (its full text, the
// version-mismatch switch and the sender's address).
using MailBodyBuilder = std::string (*)(std::string_view fullText, int versionFlag,
                                        std::string_view senderAddress);

class CMailQueue {
 public:
  // While nobody drains the queue (no worker, or an SMTP server that is down and waited for),
  // it must not grow without end: beyond this many records the oldest is dropped. Mail is best
  // effort.
  static constexpr std::size_t kMaxQueued = 10000;

  enum class Wake {
    kNow,       // the append sets the wake event, waking a blocked consumer itself
    kDeferred,  // a wake-up the append would need is left to the next WakeIfPending
  };

  // Appends a ready record at the tail and sets the wake event.
  void Queue(EMAIL_CONTEXT mail);
  // Appends one event to be mailed with the mail settings in effect and sets the wake event (or,
  // deferred, leaves the wake-up to WakeIfPending).
  // What the UI thread pays stays small: the record's settings part is made once for each
  // change of settings and shared by the mails queued under them, and the body is built by
  // the consumer in TakeHead. Each mail still carries the settings in effect when it was queued.
  // Producer thread only (it keeps the last settings' record).
  void QueueEvent(const ServerSettings& settings, std::string fullText, int versionFlag,
                  std::string_view senderAddress, MailBodyBuilder buildBody,
                  Wake wake = Wake::kNow);
  // Any thread: wakes the consumer if a deferred append left it blocked with records queued.
  // Costs one atomic load when nothing is pending. Whoever lets a producer defer must call it
  // after every deferred append, or the records wait for the next one.
  void WakeIfPending();
  // Removes the head record, if any, and completes it outside the lock.
  std::optional<EMAIL_CONTEXT> TakeHead();
  std::size_t Size() const;
  // Records dropped because the queue was full.
  std::size_t Dropped() const;
  // Frees every queued record unsent (teardown).
  void Clear();

  // The wake event.
  void SetWakeEvent();
  void ResetWakeEvent();
  // True when the event was set within the timeout.
  bool WaitForWake(std::chrono::milliseconds timeout);
  // Whether the consumer is blocked in WaitForWake (tests and benchmarks wait for it).
  bool ConsumerWaiting() const;
  // How many times setting the event had to wake a consumer blocked in WaitForWake.
  std::size_t WakeUps() const;

 private:
  struct Entry {
    std::shared_ptr<const EMAIL_CONTEXT> settings;  // every field but the body
    std::string text;  // the body, or the event's full text when buildBody is set
    std::string senderAddress;
    int versionFlag = 0;
    MailBodyBuilder buildBody = nullptr;
  };
  void Append(Entry entry, Wake wake);
  // Sets the event; true when the consumer must be notified. Under mutex_.
  bool SignalLocked();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Entry> queue_;  // guarded by mutex_
  std::size_t dropped_ = 0;  // guarded by mutex_
  bool signalled_ = false;   // guarded by mutex_
  bool waiting_ = false;     // guarded by mutex_: the consumer waits for the event
  std::size_t wakeUps_ = 0;  // guarded by mutex_
  // A deferred append found the consumer blocked and the event clear. Set under mutex_, read
  // without it, so that WakeIfPending costs nothing when there is nothing to do.
  std::atomic<bool> wakePending_{false};
  // The producer's: the settings the last record was made from, and that record.
  std::optional<ServerSettings> recordSettings_;
  std::shared_ptr<const EMAIL_CONTEXT> record_;
};

// Fills a record for one event from the current settings and the body.
EMAIL_CONTEXT MakeMailRecord(const ServerSettings& settings, std::string body);

}  // namespace uv::server
