// USBVantrelClient: the client agent. Run by the service manager it is the service
// "USBVantrelClient"; from a command line it installs, removes, starts or stops itself, or runs
// in the foreground with -debug.

#include <string>
#include <vector>

#include "client/app/CNewOrmClientApp.h"

int main(int argc, char** argv) {
  uv::agent::CNewOrmClientApp app;
  app.InitInstance(std::vector<std::string>(argv, argv + argc));
  return app.ExitInstance();
}
