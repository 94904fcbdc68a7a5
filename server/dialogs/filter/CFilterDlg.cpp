#include "server/dialogs/filter/CFilterDlg.h"

#include <QCheckBox>
#include <QPushButton>

#include "server/dialogs/settings/ServerSettings.h"
#include "ui_FilterDlg.h"

namespace uv::server {

CFilterDlg::CFilterDlg(ServerSettings& settings, platform::Machine& machine, QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      machine_(machine),
      ui_(std::make_unique<Ui::FilterDlg>()) {
  ui_->setupUi(this);
  const auto boxes = findChildren<QCheckBox*>();
  for (std::size_t row = 0; row < kCategoryFilters.size(); ++row) {
    for (std::size_t outlet = 0; outlet < static_cast<std::size_t>(kOutletCount); ++outlet) {
      const int id = kCategoryFilters[row].bits[outlet].controlId;
      for (QCheckBox* box : boxes) {
        if (box->property("controlId").toInt() == id) boxes_[row][outlet] = box;
      }
    }
  }
  connect(ui_->saveButton, &QPushButton::clicked, this, &CFilterDlg::OnOK);
  connect(ui_->cancelButton, &QPushButton::clicked, this, &CFilterDlg::reject);
  OnInitDialog();
}

CFilterDlg::~CFilterDlg() = default;

void CFilterDlg::OnInitDialog() {
  const FilterWords words{settings_.msgFilterFlags, settings_.msgFilterFlagsExtra};
  for (std::size_t row = 0; row < kCategoryFilters.size(); ++row) {
    for (std::size_t outlet = 0; outlet < static_cast<std::size_t>(kOutletCount); ++outlet) {
      if (QCheckBox* box = boxes_[row][outlet]) {
        box->setChecked(IsBitSet(words, kCategoryFilters[row].bits[outlet]));
      }
    }
  }
}

QCheckBox* CFilterDlg::Box(int controlId) const {
  for (std::size_t row = 0; row < kCategoryFilters.size(); ++row) {
    for (std::size_t outlet = 0; outlet < static_cast<std::size_t>(kOutletCount); ++outlet) {
      if (kCategoryFilters[row].bits[outlet].controlId == controlId) return boxes_[row][outlet];
    }
  }
  return nullptr;
}

QCheckBox* CFilterDlg::Box(int row, Outlet outlet) const {
  if (row < 0 || static_cast<std::size_t>(row) >= kCategoryFilters.size()) return nullptr;
  return boxes_[static_cast<std::size_t>(row)][static_cast<std::size_t>(outlet)];
}

FilterWords CFilterDlg::WordsFromBoxes() const {
  // Bits without a box (30 and 31 of both words) come out 0.
  FilterWords words{0, 0};
  for (std::size_t row = 0; row < kCategoryFilters.size(); ++row) {
    for (std::size_t outlet = 0; outlet < static_cast<std::size_t>(kOutletCount); ++outlet) {
      const QCheckBox* box = boxes_[row][outlet];
      if (box == nullptr || !box->isChecked()) continue;
      const FilterBit& bit = kCategoryFilters[row].bits[outlet];
      (bit.word == FilterWord::kFlags ? words.flags : words.extra) |= bit.mask;
    }
  }
  return words;
}

void CFilterDlg::OnOK() {
  const FilterWords words = WordsFromBoxes();
  // The running console uses the new words from the next event on, even when they cannot be
  // stored (no rights): then they are lost at the next start, silently.
  settings_.msgFilterFlags = words.flags;
  settings_.msgFilterFlagsExtra = words.extra;
  (void)StoreFilterWords(machine_, words.flags, words.extra);
  accept();
}

}  // namespace uv::server
