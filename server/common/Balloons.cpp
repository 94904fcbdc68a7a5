#include "server/common/Balloons.h"

#include <QSystemTrayIcon>

#include "gui/common/MachineText.h"
#include "platform/common/Text.h"

namespace uv::server {

QString CutBalloonText(const QString& text) {
  const std::string bytes = gui::ToMachineText(text);
  if (bytes.size() <= static_cast<std::size_t>(kMaxBalloonText)) return text;
  return gui::FromMachineText(platform::Utf8Prefix(bytes, kMaxBalloonText));
}

void BalloonRecorder::ShowBalloon(const QString& title, const QString& text, int timeoutMs) {
  BalloonRequest request{title, CutBalloonText(text), timeoutMs};
  {
    std::lock_guard lock(mutex_);
    ++count_;
    requests_.push_back(request);
    if (requests_.size() > kKeep) requests_.pop_front();
  }
  Present(request);
}

std::vector<BalloonRequest> BalloonRecorder::Requests() const {
  std::lock_guard lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

std::size_t BalloonRecorder::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

void BalloonRecorder::Clear() {
  std::lock_guard lock(mutex_);
  requests_.clear();
  count_ = 0;
}

void TrayBalloonNotifier::Present(const BalloonRequest& request) {
  // Without a tray (offscreen, or a desktop without one) the request is only recorded: the
  // fallback balloon would be a new top-level widget per event.
  if (tray_ == nullptr || !tray_->isVisible() || !QSystemTrayIcon::isSystemTrayAvailable() ||
      !QSystemTrayIcon::supportsMessages()) {
    return;
  }
  tray_->showMessage(request.title, request.text, QSystemTrayIcon::Information, request.timeoutMs);
}

}  // namespace uv::server
