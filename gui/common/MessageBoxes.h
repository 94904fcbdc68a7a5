#pragma once
// Every message box of the console and of the journal viewer goes through ShowMessageBox, so that
// tests (and scripted runs) can read the texts and answer them without a user at the screen.
//
// Three ways a box is answered, tried in this order:
//  1. an answerer installed with ScopedMessageBoxAnswerer (Qt tests in the same process);
//  2. the environment variable USBVANTREL_MSGBOX=stderr: the box is written to stderr as one line
//     "[<caption>] <text>" (newlines shown as "\n") and answered with its default button (used by
//     the end-to-end tests, which run the real program without a screen);
//  3. a real modal QMessageBox.
//
// Thread affinity: ShowMessageBox runs on the UI thread (it may open a modal window). The
// answerer hook may be installed and removed from any thread; it is guarded by a lock.

#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QWidget;

namespace uv::gui {

// Button sets (low nibble) and icons, with the values of the interface the console was designed
// against so that callers read like the original calls.
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_OKCANCEL = 0x1;
inline constexpr unsigned MB_YESNOCANCEL = 0x3;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_ICONSTOP = 0x10;
inline constexpr unsigned MB_ICONERROR = MB_ICONSTOP;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONEXCLAMATION = MB_ICONWARNING;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;

// Results.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

struct MessageBoxRecord {
  QString text;
  QString caption;
  unsigned flags = MB_OK;
};

// The answer a box gets when nobody chooses: IDOK for OK and OK/Cancel, IDYES for the yes/no sets.
int DefaultMessageBoxAnswer(unsigned flags);

// Shows a message box and returns the button chosen (IDOK, IDCANCEL, IDYES, IDNO).
int ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                   unsigned flags = MB_OK);

// Installs an answerer for the life of the object: every box is recorded and answered by the
// function (an empty function answers with DefaultMessageBoxAnswer). The previous answerer is
// restored afterwards.
class ScopedMessageBoxAnswerer {
 public:
  using Answerer = std::function<int(const MessageBoxRecord&)>;
  explicit ScopedMessageBoxAnswerer(Answerer answerer = {});
  ~ScopedMessageBoxAnswerer();
  ScopedMessageBoxAnswerer(const ScopedMessageBoxAnswerer&) = delete;
  ScopedMessageBoxAnswerer& operator=(const ScopedMessageBoxAnswerer&) = delete;

  // The boxes shown while this answerer was installed, oldest first.
  std::vector<MessageBoxRecord> Records() const;
  // Texts only, for the common assertion.
  std::vector<QString> Texts() const;

  class State;

 private:
  std::shared_ptr<State> state_;
  std::shared_ptr<State> previous_;
};

}  // namespace uv::gui

// The console's code names the shared list and message boxes from its own namespace.
namespace uv::server {
using namespace uv::gui;
}  // namespace uv::server
