#include "logview/CLogscopeDlg.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenuBar>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "gui/common/MessageBoxes.h"
#include "gui/list/CUVTListCtrl.h"
#include "gui/list/ColumnWidths.h"
#include "platform/machine/Machine.h"
#include "platform/service/ServiceControlManager.h"
#include "platform/trace/Trace.h"
#include "resources/logview/LogscopeResources.h"

namespace uv::logview {

using namespace res;

namespace {

constexpr const char* kControlId = "controlId";

QString Caption() {
  return QString::fromLatin1(kCaption);
}

void Warn(QWidget* parent, const char* text) {
  gui::ShowMessageBox(parent, QString::fromLatin1(text), Caption(),
                      gui::MB_OK | gui::MB_ICONEXCLAMATION);
}

}  // namespace

// ---- about box ---------------------------------------------------------------------------------

CLogscopeAboutDlg::CLogscopeAboutDlg(QWidget* parent) : QDialog(parent) {
  setProperty(kControlId, IDD_ABOUTBOX);
  setWindowTitle(QStringLiteral("About USB Vantrel! Logscope"));
  auto* layout = new QHBoxLayout(this);
  auto* icon = new QLabel(this);
  icon->setPixmap(QIcon(QStringLiteral(":/logview/icon.svg")).pixmap(32, 32));
  icon->setAlignment(Qt::AlignTop);
  layout->addWidget(icon);
  auto* texts = new QVBoxLayout;
  texts->addWidget(new QLabel(QString::fromLatin1(kAboutVersion), this));
  const QString mail = QString::fromLatin1(kSupportMail);
  auto* link = new QLabel(
      QStringLiteral("<a href=\"%1\" style=\"color:#0000ff\">%2</a>").arg(mail, mail.mid(7)), this);
  link->setObjectName(QStringLiteral("mailLink"));
  link->setTextFormat(Qt::RichText);
  // The shell's "open" verb: the desktop's handler for mailto: links.
  connect(link, &QLabel::linkActivated, this,
          [](const QString& target) { QDesktopServices::openUrl(QUrl(target)); });
  texts->addWidget(link);
  layout->addLayout(texts);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, Qt::Vertical, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
}

// ---- main window -------------------------------------------------------------------------------

CLogscopeDlg::CLogscopeDlg(platform::Machine& machine, QWidget* parent)
    : QDialog(parent),
      machine_(machine),
      list_(new gui::CUVTListCtrl(this)),
      menuBar_(new QMenuBar(this)) {
  setProperty(kControlId, IDD_LOGSCOPE_DIALOG);
  setWindowTitle(Caption());
  setWindowIcon(QIcon(QStringLiteral(":/logview/icon.svg")));
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  setWindowFlag(Qt::WindowMaximizeButtonHint, true);
  setSizeGripEnabled(true);
  list_->setProperty(kControlId, IDC_LIST);
  menuBar_->setProperty(kControlId, IDR_MAINMENU);

  QMenu* file = menuBar_->addMenu(QStringLiteral("&File"));
  AddCommand(file->addAction(QStringLiteral("&Clear File"), this, &CLogscopeDlg::OnClearFile),
             ID_FILE_CLEARFILE);
  AddCommand(file->addAction(QStringLiteral("E&xit"), this, &QDialog::accept), ID_FILE_EXIT);
  // The agent keeps appending to the journal while the viewer is open.
  QMenu* view = menuBar_->addMenu(QStringLiteral("&View"));
  QAction* refresh = AddCommand(
      view->addAction(QStringLiteral("&Refresh"), this, &CLogscopeDlg::OnRefresh), ID_VIEW_REFRESH);
  refresh->setShortcut(QKeySequence(Qt::Key_F5));
  refresh->setShortcutContext(Qt::WindowShortcut);
  addAction(refresh);
  QMenu* help = menuBar_->addMenu(QStringLiteral("&Help"));
  AddCommand(help->addAction(LoadString(IDS_ABOUTBOX), this, &CLogscopeDlg::OnAbout),
             ID_HELP_ABOUT);

  // The list fills the whole client area below the menu, whatever the window's size.
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setMenuBar(menuBar_);
  layout->addWidget(list_);
  resize(860, 360);
}

CLogscopeDlg::~CLogscopeDlg() = default;

QAction* CLogscopeDlg::AddCommand(QAction* action, int commandId) {
  action->setProperty("commandId", commandId);
  commands_[commandId] = action;
  return action;
}

QAction* CLogscopeDlg::Command(int commandId) const {
  const auto it = commands_.find(commandId);
  return it == commands_.end() ? nullptr : it->second;
}

void CLogscopeDlg::OnInitDialog() {
  const std::vector<int> widths = gui::FitColumnWidthsToFont(*list_, gui::kDefaultColumnWidths);
  // Wide enough at first for every column, room for the vertical scroll bar included.
  int total = 2 * list_->frameWidth() + list_->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  for (int w : widths) total += w;
  resize(std::max(width(), total), height());
  LoadJournal();
}

void CLogscopeDlg::LoadJournal() {
  journalPath_ = JournalPath(machine_.SystemDirectory());
  lastLoad_ = {};
  auto reader = JournalReader::Open(journalPath_);
  if (!reader) {
    platform::Trace("File open Failed");
    Warn(this, kUnableToOpen);
    return;
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // Each line goes on top, so the last line of the file is shown first.
  lastLoad_ = reader->ReadRows([this](gui::EventRow&& row) { list_->InsertRow(std::move(row)); });
  list_->Publish();
  // A list sorted before a reload stays sorted as its heading's arrow says.
  const int column = list_->SortColumn();
  if (column >= 0) list_->Model().SortRows(column, list_->SortHeader().SortAscending());
  QApplication::restoreOverrideCursor();
}

void CLogscopeDlg::OnRefresh() {
  list_->DeleteAllItems();
  LoadJournal();
}

bool CLogscopeDlg::CurrentUserIsAdministrator() const {
  // The service control manager's database lock: whoever may take it (or finds it taken by
  // someone else) administers this computer.
  platform::Trace("Before calling OpenSCManager()");
  auto manager = platform::ServiceControlManager::Open(machine_.Root(), platform::ScmAccess::kLock);
  bool administrator = false;
  if (!manager) {
    platform::Trace("failure to OpenSCManager()");
  } else {
    platform::Trace("success to OpenSCManager()");
    auto lock = manager->LockDatabase();  // released at once
    if (lock) {
      administrator = true;
    } else {
      platform::TraceF(" Error ID = %d", static_cast<int>(lock.error()));
      administrator = lock.error() == platform::kErrorServiceDatabaseLocked;
    }
  }
  platform::Trace(administrator ? "Current User is having Administrator rights"
                                : "Current User is not having Administrator rights");
  return administrator;
}

void CLogscopeDlg::OnClearFile() {
  if (!CurrentUserIsAdministrator()) {
    Warn(this, kAdministratorRequired);
    return;
  }
  switch (ClearJournal(journalPath_)) {
    case ClearOutcome::kOpenFailed:
      platform::Trace("File open Failed");
      Warn(this, kUnableToOpen);
      return;
    case ClearOutcome::kTruncateFailed:
      Warn(this, kUnableToClear);
      return;
    case ClearOutcome::kClearedEmpty:
      list_->DeleteAllItems();
      return;
    case ClearOutcome::kCleared:
      list_->DeleteAllItems();
      gui::ShowMessageBox(this, QString::fromLatin1(kCleared), Caption(), gui::MB_OK);
      return;
  }
}

void CLogscopeDlg::OnAbout() {
  CLogscopeAboutDlg about(this);
  about.exec();
}

}  // namespace uv::logview
