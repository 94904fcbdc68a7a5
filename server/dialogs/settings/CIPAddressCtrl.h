#pragma once
// An IPv4 address field in four parts, as administrators know it from their system's dialogs:
// each part takes 0 to 255, "." or a third digit moves on to the next part, and the control can
// be blank (no part filled). Thread affinity: UI thread.

#include <QWidget>
#include <array>

class QLineEdit;

namespace uv::server {

class CIPAddressCtrl : public QWidget {
  Q_OBJECT

 public:
  explicit CIPAddressCtrl(QWidget* parent = nullptr);

  void SetAddress(int b1, int b2, int b3, int b4);
  void SetAddress(const std::array<int, 4>& fields);
  // The four parts (a blank part reads 0); returns how many parts are filled.
  int GetAddress(std::array<int, 4>& fields) const;
  // No part filled.
  bool IsBlank() const;
  void ClearAddress();

  QLineEdit* Field(int index) const { return fields_[static_cast<std::size_t>(index)]; }

 signals:
  void addressChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::array<QLineEdit*, 4> fields_{};  // owned through the Qt parent
};

}  // namespace uv::server
