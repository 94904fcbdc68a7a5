#pragma once
// "Apply filters": sixty check boxes, one per category and outlet, over the two filter words.
// Opening ticks the box of every set bit; "Save" builds both words from the boxes (bits without
// a box become 0), gives them to the main window's settings at once and stores them in the
// registry; "Cancel" changes nothing.
//
// Thread affinity: UI thread. Run modally with the main window as parent.

#include <QDialog>
#include <array>
#include <memory>

#include "server/dialogs/filter/FilterBits.h"

class QCheckBox;

namespace uv::platform {
class Machine;
}

namespace Ui {
class FilterDlg;
}

namespace uv::server {

struct ServerSettings;

class CFilterDlg : public QDialog {
  Q_OBJECT

 public:
  // The settings (whose filter words are read and written) and the machine are borrowed.
  CFilterDlg(ServerSettings& settings, platform::Machine& machine, QWidget* parent = nullptr);
  ~CFilterDlg() override;

  // The check box with this control identifier, or nullptr.
  QCheckBox* Box(int controlId) const;
  // The box of a category row (dialog order) and outlet.
  QCheckBox* Box(int row, Outlet outlet) const;

  // The words the boxes stand for right now.
  FilterWords WordsFromBoxes() const;

 public slots:
  // "Save" (IDOK).
  void OnOK();

 private:
  void OnInitDialog();

  ServerSettings& settings_;
  platform::Machine& machine_;
  std::unique_ptr<Ui::FilterDlg> ui_;
  std::array<std::array<QCheckBox*, kOutletCount>, kCategoryFilters.size()> boxes_{};
};

}  // namespace uv::server
