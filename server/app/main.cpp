// USBVantrelServer: the administrator's console.

#include <QApplication>

#include "platform/machine/Machine.h"
#include "resources/server/StringTable.h"
#include "server/app/CNewOrmServerApp.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  InitServerResources();
  QStringList arguments = QApplication::arguments();
  if (!arguments.isEmpty()) arguments.removeFirst();
  uv::server::CNewOrmServerApp app(uv::platform::Machine::Current(), arguments);
  return app.InitInstance();
}
