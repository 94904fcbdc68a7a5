#pragma once
// "USB Vantrel! Save Energy": reads and sets the minutes of user inactivity after which a client
// reports its computer as idle (GIT / SIT).
//
// Thread affinity: UI thread.

#include <array>
#include <memory>
#include <string_view>

#include "server/dialogs/client/CClientDialog.h"

namespace Ui {
class SaveEnergyDlg;
}

namespace uv::server {

struct SaveEnergyTime {
  std::string_view text;
  int minutes;
};
// The entries of the time list, in order; "Never" stands for every other value received.
inline constexpr std::array<SaveEnergyTime, 6> kSaveEnergyTimes{
    {{"10 min", 10}, {"20 min", 20}, {"30 min", 30}, {"1 hr", 60}, {"2 hr", 120}, {"Never", 0}}};

// Entry index of received minutes, and minutes of an entry index (-1: none selected gives 0).
[[nodiscard]] int SaveEnergyIndexOf(int minutes);
[[nodiscard]] int SaveEnergyMinutesOf(int index);

class CSaveEnergyDlg : public CClientDialog {
  Q_OBJECT

 public:
  CSaveEnergyDlg(CommandExchange& exchange, std::vector<std::string> knownClients,
                 QWidget* parent = nullptr);
  ~CSaveEnergyDlg() override;

  int SelectedIndex() const;

 public slots:
  void OnGetStatus();  // 1134
  void OnApply();      // 1046
  // The posted result of a query (WM_USER+10).
  void OnIdleTime(int minutes);

 protected:
  void OnTargetModeChanged(TargetMode mode) override;

 private:
  std::unique_ptr<Ui::SaveEnergyDlg> ui_;
};

}  // namespace uv::server
