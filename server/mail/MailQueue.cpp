#include "server/mail/MailQueue.h"

#include <cstdlib>

namespace uv::server {

namespace {

// The settings a mail record is made from (MakeMailRecord).
bool SameMailSettings(const ServerSettings& a, const ServerSettings& b) {
  return a.mailFrom == b.mailFrom && a.mailTo == b.mailTo && a.serverMode == b.serverMode &&
         a.ip == b.ip && a.machineName == b.machineName && a.smtpAuth == b.smtpAuth &&
         a.userName == b.userName && a.password == b.password && a.smtpPort == b.smtpPort &&
         a.smtpStartTls == b.smtpStartTls;
}

}  // namespace

void CMailQueue::Queue(EMAIL_CONTEXT mail) {
  Entry entry;
  entry.text = std::move(mail.Body);
  mail.Body.clear();
  entry.settings = std::make_shared<const EMAIL_CONTEXT>(std::move(mail));
  Append(std::move(entry), Wake::kNow);
}

void CMailQueue::QueueEvent(const ServerSettings& settings, std::string fullText, int versionFlag,
                            std::string_view senderAddress, MailBodyBuilder buildBody, Wake wake) {
  if (!record_ || !SameMailSettings(*recordSettings_, settings)) {
    recordSettings_ = settings;
    record_ = std::make_shared<const EMAIL_CONTEXT>(MakeMailRecord(settings, {}));
  }
  Entry entry;
  entry.settings = record_;
  entry.text = std::move(fullText);
  entry.senderAddress = senderAddress;
  entry.versionFlag = versionFlag;
  entry.buildBody = buildBody;
  Append(std::move(entry), wake);
}

void CMailQueue::Append(Entry entry, Wake wake) {
  bool notify = false;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(entry));
    if (queue_.size() > kMaxQueued) {
      queue_.pop_front();
      ++dropped_;
    }
    if (wake == Wake::kDeferred && waiting_ && !signalled_) {
      // Only this case costs a wake-up call; everything else is as cheap deferred or not.
      wakePending_.store(true, std::memory_order_release);
    } else {
      notify = SignalLocked();
    }
  }
  if (notify) wake_.notify_one();
}

bool CMailQueue::SignalLocked() {
  // An event already set, or a consumer not waiting, needs no wake-up call: the consumer looks
  // at the event before it waits.
  const bool notify = !signalled_ && waiting_;
  signalled_ = true;
  if (notify) ++wakeUps_;
  // The event set serves a deferred wake-up too.
  wakePending_.store(false, std::memory_order_relaxed);
  return notify;
}

void CMailQueue::WakeIfPending() {
  if (!wakePending_.load(std::memory_order_acquire)) return;
  bool notify = false;
  {
    std::lock_guard lock(mutex_);
    if (!wakePending_.exchange(false, std::memory_order_acq_rel)) return;
    notify = SignalLocked();
  }
  if (notify) wake_.notify_one();
}

std::optional<EMAIL_CONTEXT> CMailQueue::TakeHead() {
  Entry head;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return std::nullopt;
    head = std::move(queue_.front());
    queue_.pop_front();
  }
  EMAIL_CONTEXT mail = *head.settings;
  mail.Body = head.buildBody ? head.buildBody(head.text, head.versionFlag, head.senderAddress)
                             : std::move(head.text);
  return mail;
}

std::size_t CMailQueue::Size() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::size_t CMailQueue::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void CMailQueue::Clear() {
  std::lock_guard lock(mutex_);
  queue_.clear();
  wakePending_.store(false, std::memory_order_relaxed);  // nothing left to wake for
}

void CMailQueue::SetWakeEvent() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    if (waiting_) ++wakeUps_;
    wakePending_.store(false, std::memory_order_relaxed);
  }
  wake_.notify_one();
}

void CMailQueue::ResetWakeEvent() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

bool CMailQueue::WaitForWake(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  waiting_ = true;
  const bool woken = wake_.wait_for(lock, timeout, [this] { return signalled_; });
  waiting_ = false;
  return woken;
}

bool CMailQueue::ConsumerWaiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

std::size_t CMailQueue::WakeUps() const {
  std::lock_guard lock(mutex_);
  return wakeUps_;
}

EMAIL_CONTEXT MakeMailRecord(const ServerSettings& settings, std::string body) {
  EMAIL_CONTEXT mail;
  mail.From = settings.mailFrom;
  mail.To = settings.mailTo;
  mail.Subject = kMailSubject;
  mail.Body = std::move(body);
  mail.Server = settings.SmtpServer();
  mail.Authenticate = settings.smtpAuth;
  mail.UserName = settings.userName;
  mail.Password = settings.password;
  mail.StartTls = settings.smtpStartTls;
  // Text to integer: leading digits count, anything else gives 0.
  mail.Port = std::atoi(settings.smtpPort.c_str());
  return mail;
}

}  // namespace uv::server
