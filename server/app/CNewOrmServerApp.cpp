#include "server/app/CNewOrmServerApp.h"

#include <QApplication>
#include <QFile>
#include <filesystem>

#include "gui/common/MessageBoxes.h"
#include "platform/machine/Machine.h"
#include "platform/service/ServiceControlManager.h"
#include "platform/trace/Trace.h"
#include "protocol/VersionText.h"
#include "server/app/CNewOrmServerDlg.h"
#include "server/app/SignalExit.h"
#include "server/dialogs/settings/ServerSettings.h"

namespace uv::server {

CNewOrmServerApp::CNewOrmServerApp(platform::Machine& machine, QStringList arguments)
    : machine_(machine), arguments_(std::move(arguments)) {}

bool CNewOrmServerApp::IsNoWarning(const QStringList& arguments) {
  return arguments.size() == 1 &&
         arguments.front().compare(QStringLiteral("-NoWarning"), Qt::CaseInsensitive) == 0;
}

bool CNewOrmServerApp::InstallNotifySound(platform::Machine& machine) {
  const std::filesystem::path target = machine.MediaDirectory() / "notify.wav";
  std::error_code ec;
  if (std::filesystem::exists(target, ec)) return true;
  QFile shipped(QStringLiteral(":/server/notify.wav"));
  if (!shipped.open(QIODevice::ReadOnly)) return false;
  const QByteArray bytes = shipped.readAll();
  QFile out(QString::fromStdString(target.string()));
  if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) return false;
  return out.write(bytes) == bytes.size();
}

int CNewOrmServerApp::InitInstance() {
  // Administrator check through the service control manager's lock.
  platform::WinError lockError = platform::kErrorSuccess;
  const bool administrator = platform::IsAdministrator(machine_.Root(), &lockError);
  if (lockError != platform::kErrorSuccess) platform::TraceF(" Error ID = %u", lockError);
  if (administrator) {
    platform::Trace("Current User is having Administrator rights");
  } else {
    platform::Trace("Current User is not having Administrator rights");
    if (!IsNoWarning(arguments_)) {
      ShowMessageBox(nullptr, QString::fromLatin1(kAdministratorRequired),
                     QString::fromLatin1(kServerCaption), MB_OK | MB_ICONWARNING);
    }
    return 0;
  }

  // The version text comes from this program's own version resource.
  auto version = protocol::OwnVersionText();
  if (!version) platform::TraceF("version resource unreadable err : %u\n", version.error());
  versionText_ = version ? *version : std::string(protocol::kVersionPrefix);
  (void)InstallNotifySound(machine_);

  QApplication::setQuitOnLastWindowClosed(false);
  CNewOrmServerDlg window(machine_, versionText_);
  int exitCode = 0;
  bool ended = false;
  QObject::connect(&window, &CNewOrmServerDlg::programEnd, &window, [&](int code) {
    exitCode = code;
    ended = true;
    QApplication::exit(code);
  });
  switch (window.OnInitDialog()) {
    case InitOutcome::kDuplicateInstance:
      return 1;
    case InitOutcome::kBindFailed:
      return 0;
    case InitOutcome::kRunning:
      break;
  }
  window.show();  // stays hidden behind the tray icon: the hidden flag is set

  // A stop request from the system (SIGTERM, SIGINT) runs "Exit", so the listener and the
  // tray icon go in order. The signal handler only writes to a pipe the UI thread watches.
  SignalExit stop;
  QObject::connect(&stop, &SignalExit::requested, &window, &CNewOrmServerDlg::OnTrayExit);

  const int code = QApplication::exec();
  return ended ? exitCode : code;
}

}  // namespace uv::server
