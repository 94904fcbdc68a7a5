#include "logview/CLogscopeApp.h"

#include <QApplication>

#include "logview/CLogscopeDlg.h"

namespace uv::logview {

int CLogscopeApp::InitInstance() {
  // The registry key name the program was generated with; nothing is stored under it.
  QApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
  CLogscopeDlg window(machine_);
  window.OnInitDialog();
  window.show();
  window.exec();
  return 0;
}

}  // namespace uv::logview
