#include "server/dialogs/settings/CIPAddressCtrl.h"

#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <algorithm>

namespace uv::server {

CIPAddressCtrl::CIPAddressCtrl(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    auto* edit = new QLineEdit(this);
    edit->setValidator(new QIntValidator(0, 255, edit));
    edit->setMaxLength(3);
    edit->setAlignment(Qt::AlignCenter);
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 8);
    edit->installEventFilter(this);
    fields_[i] = edit;
    layout->addWidget(edit);
    if (i + 1 < fields_.size()) layout->addWidget(new QLabel(QStringLiteral("."), this));
    connect(edit, &QLineEdit::textEdited, this, [this, i](const QString& text) {
      // A third digit completes the part: go on to the next one.
      if (text.size() == 3 && i + 1 < fields_.size()) {
        fields_[i + 1]->setFocus();
        fields_[i + 1]->selectAll();
      }
      emit addressChanged();
    });
  }
  layout->addStretch(1);
  setFocusProxy(fields_[0]);
}

void CIPAddressCtrl::SetAddress(int b1, int b2, int b3, int b4) {
  SetAddress({b1, b2, b3, b4});
}

void CIPAddressCtrl::SetAddress(const std::array<int, 4>& values) {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    fields_[i]->setText(QString::number(std::clamp(values[i], 0, 255)));
  }
  emit addressChanged();
}

int CIPAddressCtrl::GetAddress(std::array<int, 4>& values) const {
  int filled = 0;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const QString text = fields_[i]->text();
    values[i] = text.isEmpty() ? 0 : std::clamp(text.toInt(), 0, 255);
    if (!text.isEmpty()) ++filled;
  }
  return filled;
}

bool CIPAddressCtrl::IsBlank() const {
  return std::all_of(fields_.begin(), fields_.end(),
                     [](const QLineEdit* e) { return e->text().isEmpty(); });
}

void CIPAddressCtrl::ClearAddress() {
  for (QLineEdit* e : fields_) e->clear();
  emit addressChanged();
}

bool CIPAddressCtrl::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    const auto it = std::find(fields_.begin(), fields_.end(), watched);
    if (it != fields_.end()) {
      const auto index = static_cast<std::size_t>(it - fields_.begin());
      if (key->text() == QStringLiteral(".") && index + 1 < fields_.size()) {
        fields_[index + 1]->setFocus();
        fields_[index + 1]->selectAll();
        return true;
      }
      if (key->key() == Qt::Key_Backspace && fields_[index]->text().isEmpty() && index > 0) {
        fields_[index - 1]->setFocus();
        return true;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace uv::server
