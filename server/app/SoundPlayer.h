#pragma once
// The alert sound: plays a wave file asynchronously through Qt Multimedia. A request while the
// previous sound still plays is dropped (the device is busy), as the console always did; the
// requests are counted so tests can see what the console asked for without a sound device.
//
// Thread affinity: UI thread.

#include <QString>
#include <cstddef>
#include <memory>
#include <string>

#include "server/app/EventProcessor.h"

class QSoundEffect;

namespace uv::server {

class QtSoundPlayer : public ISoundPlayer {
 public:
  QtSoundPlayer();
  ~QtSoundPlayer() override;
  QtSoundPlayer(const QtSoundPlayer&) = delete;
  QtSoundPlayer& operator=(const QtSoundPlayer&) = delete;

  void PlayAsync(const std::string& file) override;

  // Requests made, requests dropped because a sound was still playing, and the last file asked
  // for (as a path of this system).
  std::size_t Requests() const { return requests_; }
  std::size_t DroppedBusy() const { return droppedBusy_; }
  const QString& LastFile() const { return lastFile_; }

 private:
  std::unique_ptr<QSoundEffect> effect_;  // created on first use: no device is touched before
  std::size_t requests_ = 0;
  std::size_t droppedBusy_ = 0;
  QString lastFile_;
};

// The stored sound path as a path of this system ("\" becomes "/").
QString NativeSoundPath(const std::string& storedPath);

}  // namespace uv::server
