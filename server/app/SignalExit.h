#pragma once
// Turns SIGTERM and SIGINT into a Qt signal on the UI thread, so that a console stopped by the
// system (or a test) runs its "Exit" command instead of dying with its tray icon and listener.
// The handler only writes one byte to a pipe that a QSocketNotifier watches.
//
// Thread affinity: construct and destroy on the UI thread; one instance at a time.

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace uv::server {

class SignalExit : public QObject {
  Q_OBJECT

 public:
  explicit SignalExit(QObject* parent = nullptr);
  ~SignalExit() override;

 signals:
  void requested();

 private:
  int pipe_[2] = {-1, -1};
  QSocketNotifier* notifier_ = nullptr;  // owned by this (Qt parent)
};

}  // namespace uv::server
