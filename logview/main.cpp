// Logscope: the journal viewer.

#include <QApplication>

#include "logview/CLogscopeApp.h"
#include "platform/machine/Machine.h"
#include "resources/logview/LogscopeResources.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  InitLogscopeResources();
  uv::logview::CLogscopeApp app(uv::platform::Machine::Current());
  return app.InitInstance();
}
