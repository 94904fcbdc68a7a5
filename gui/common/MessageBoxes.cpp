#include "gui/common/MessageBoxes.h"

#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace uv::gui {

class ScopedMessageBoxAnswerer::State {
 public:
  explicit State(Answerer answerer) : answerer_(std::move(answerer)) {}

  int Answer(const MessageBoxRecord& record) {
    Answerer answerer;
    {
      std::lock_guard lock(mutex_);
      records_.push_back(record);
      answerer = answerer_;
    }
    // The answerer runs without our lock so that it may itself inspect the records.
    return answerer ? answerer(record) : DefaultMessageBoxAnswer(record.flags);
  }

  std::vector<MessageBoxRecord> Records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }

 private:
  mutable std::mutex mutex_;
  Answerer answerer_;                      // set once at construction
  std::vector<MessageBoxRecord> records_;  // guarded by mutex_
};

namespace {

// The installed answerer; the design names this hook as the one process-wide test seam.
std::mutex gAnswererMutex;
std::shared_ptr<ScopedMessageBoxAnswerer::State> gAnswerer;  // guarded by gAnswererMutex

std::shared_ptr<ScopedMessageBoxAnswerer::State> CurrentAnswerer() {
  std::lock_guard lock(gAnswererMutex);
  return gAnswerer;
}

bool AnswerOnStderr() {
  const char* mode = std::getenv("USBVANTREL_MSGBOX");
  return mode != nullptr && QString::fromLatin1(mode).compare("stderr", Qt::CaseInsensitive) == 0;
}

}  // namespace

int DefaultMessageBoxAnswer(unsigned flags) {
  switch (flags & 0xF) {
    case MB_YESNO:
    case MB_YESNOCANCEL:
      return IDYES;
    default:
      return IDOK;
  }
}

int ShowMessageBox(QWidget* parent, const QString& text, const QString& caption, unsigned flags) {
  if (auto answerer = CurrentAnswerer()) {
    return answerer->Answer(MessageBoxRecord{text, caption, flags});
  }
  if (AnswerOnStderr()) {
    QString line = QStringLiteral("[%1] %2").arg(caption, text);
    line.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    const QByteArray bytes = line.toUtf8();
    std::fprintf(stderr, "%s\n", bytes.constData());
    std::fflush(stderr);
    return DefaultMessageBoxAnswer(flags);
  }

  QMessageBox box(parent);
  box.setWindowTitle(caption);
  box.setText(text);
  switch (flags & 0xF0) {
    case MB_ICONSTOP:
      box.setIcon(QMessageBox::Critical);
      break;
    case MB_ICONQUESTION:
      box.setIcon(QMessageBox::Question);
      break;
    case MB_ICONWARNING:
      box.setIcon(QMessageBox::Warning);
      break;
    case MB_ICONINFORMATION:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      break;
  }
  switch (flags & 0xF) {
    case MB_OKCANCEL:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      break;
    case MB_YESNO:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    case MB_YESNOCANCEL:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
    default:
      box.setStandardButtons(QMessageBox::Ok);
      break;
  }
  switch (box.exec()) {
    case QMessageBox::Cancel:
      return IDCANCEL;
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    default:
      // Closing the box with Esc on an OK-only box answers OK, as the original control did.
      return (flags & 0xF) == MB_OK ? IDOK : IDCANCEL;
  }
}

ScopedMessageBoxAnswerer::ScopedMessageBoxAnswerer(Answerer answerer)
    : state_(std::make_shared<State>(std::move(answerer))) {
  std::lock_guard lock(gAnswererMutex);
  previous_ = std::move(gAnswerer);
  gAnswerer = state_;
}

ScopedMessageBoxAnswerer::~ScopedMessageBoxAnswerer() {
  std::lock_guard lock(gAnswererMutex);
  gAnswerer = std::move(previous_);
}

std::vector<MessageBoxRecord> ScopedMessageBoxAnswerer::Records() const {
  return state_->Records();
}

std::vector<QString> ScopedMessageBoxAnswerer::Texts() const {
  std::vector<QString> texts;
  for (const auto& record : state_->Records()) texts.push_back(record.text);
  return texts;
}

}  // namespace uv::gui
