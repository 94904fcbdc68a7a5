#pragma once
// Balloon alerts on the tray icon. The window asks for a balloon through IBalloonNotifier; the
// tray implementation shows it with QSystemTrayIcon where a tray exists and, in every case,
// records the request so that tests (which run offscreen, without a tray) can read what was
// asked for.
//
// Thread affinity: ShowBalloon is called on the UI thread; Requests()/Count() may be read from
// any thread (the record is guarded by a lock).

#include <QString>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class QSystemTrayIcon;

namespace uv::server {

// The tray record holds 256 bytes including the terminator: longer texts are cut to the whole
// UTF-8 characters that fit in 255 bytes.
inline constexpr int kMaxBalloonText = 255;
inline constexpr int kBalloonTimeoutMs = 5000;
inline constexpr const char* kBalloonTitle = "USBVantrel! Server";

struct BalloonRequest {
  QString title;
  QString text;  // already cut to kMaxBalloonText bytes
  int timeoutMs = kBalloonTimeoutMs;
};

class IBalloonNotifier {
 public:
  virtual ~IBalloonNotifier() = default;
  // Shows (or records) one balloon; the text is cut to kMaxBalloonText bytes of UTF-8.
  virtual void ShowBalloon(const QString& title, const QString& text,
                           int timeoutMs = kBalloonTimeoutMs) = 0;
};

// Keeps the most recent requests (bounded, so a flood of events cannot grow memory) and the
// number of requests ever made.
class BalloonRecorder : public IBalloonNotifier {
 public:
  static constexpr std::size_t kKeep = 256;

  void ShowBalloon(const QString& title, const QString& text,
                   int timeoutMs = kBalloonTimeoutMs) override;

  std::vector<BalloonRequest> Requests() const;
  std::size_t Count() const;
  void Clear();

 protected:
  // Called after the request is recorded, with the cut text.
  virtual void Present(const BalloonRequest&) {}

 private:
  mutable std::mutex mutex_;
  std::deque<BalloonRequest> requests_;  // guarded by mutex_
  std::size_t count_ = 0;                // guarded by mutex_
};

// Shows balloons on a tray icon (borrowed; it must outlive the notifier) when the system has a
// tray and the icon is visible; records every request either way.
class TrayBalloonNotifier : public BalloonRecorder {
 public:
  explicit TrayBalloonNotifier(QSystemTrayIcon* tray) : tray_(tray) {}
  void SetTray(QSystemTrayIcon* tray) { tray_ = tray; }

 protected:
  void Present(const BalloonRequest& request) override;

 private:
  QSystemTrayIcon* tray_;
};

// Cuts a balloon text to the whole characters whose UTF-8 fits in kMaxBalloonText bytes.
QString CutBalloonText(const QString& text);

}  // namespace uv::server
