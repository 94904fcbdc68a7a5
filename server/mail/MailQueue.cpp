#include "server/mail/MailQueue.h"

#include <cstdlib>

namespace uv::server {

void CMailQueue::Queue(EMAIL_CONTEXT mail) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(mail));
    if (queue_.size() > kMaxQueued) {
      queue_.pop_front();
      ++dropped_;
    }
    signalled_ = true;
  }
  wake_.notify_all();
}

std::optional<EMAIL_CONTEXT> CMailQueue::TakeHead() {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  EMAIL_CONTEXT head = std::move(queue_.front());
  queue_.pop_front();
  return head;
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
}

void CMailQueue::SetWakeEvent() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  wake_.notify_all();
}

void CMailQueue::ResetWakeEvent() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

bool CMailQueue::WaitForWake(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return wake_.wait_for(lock, timeout, [this] { return signalled_; });
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
