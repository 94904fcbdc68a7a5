#include "server/app/SoundPlayer.h"

#include <QSoundEffect>
#include <QUrl>

#include "gui/common/MachineText.h"

namespace uv::server {

QString NativeSoundPath(const std::string& storedPath) {
  QString path = gui::FromMachineText(storedPath);
  path.replace(QLatin1Char('\\'), QLatin1Char('/'));
  return path;
}

QtSoundPlayer::QtSoundPlayer() = default;
QtSoundPlayer::~QtSoundPlayer() = default;

void QtSoundPlayer::PlayAsync(const std::string& file) {
  ++requests_;
  lastFile_ = NativeSoundPath(file);
  if (!effect_) effect_ = std::make_unique<QSoundEffect>();
  if (effect_->isPlaying()) {
    ++droppedBusy_;
    return;
  }
  const QUrl url = QUrl::fromLocalFile(lastFile_);
  if (effect_->source() != url) effect_->setSource(url);
  effect_->play();
}

}  // namespace uv::server
