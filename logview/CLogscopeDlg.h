#pragma once
// The journal viewer's main window: the six-column list of the client agent's undelivered
// reports, loaded from its journal when the window opens and again on View -> Refresh (F5),
// and "Clear File", which empties the journal for an administrator.
//
// Thread affinity: UI thread.

#include <QDialog>
#include <filesystem>
#include <map>

#include "logview/JournalReader.h"

class QMenuBar;
class QAction;

namespace uv::platform {
class Machine;
}

namespace uv::gui {
class CUVTListCtrl;
}

namespace uv::logview {

// The about box: the version line and the support link, which opens with the desktop's handler.
class CLogscopeAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CLogscopeAboutDlg(QWidget* parent = nullptr);
};

class CLogscopeDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CLogscopeDlg(platform::Machine& machine, QWidget* parent = nullptr);
  ~CLogscopeDlg() override;

  // Columns, then the first load of the journal.
  void OnInitDialog();

  gui::CUVTListCtrl& List() { return *list_; }
  QAction* Command(int commandId) const;
  // The journal path of the last load.
  const std::filesystem::path& JournalFile() const { return journalPath_; }
  const JournalReadStats& LastLoad() const { return lastLoad_; }

  void OnClearFile();
  void OnRefresh();
  void OnAbout();

 private:
  void LoadJournal();
  bool CurrentUserIsAdministrator() const;
  QAction* AddCommand(QAction* action, int commandId);

  platform::Machine& machine_;
  gui::CUVTListCtrl* list_;  // owned by this (Qt parent)
  QMenuBar* menuBar_;        // owned by this (Qt parent)
  std::map<int, QAction*> commands_;
  std::filesystem::path journalPath_;
  JournalReadStats lastLoad_;
};

}  // namespace uv::logview
