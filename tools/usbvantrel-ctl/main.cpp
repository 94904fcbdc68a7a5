// usbvantrel-ctl: see CtlTool.h. USBVANTREL_CTL_PORT overrides the command port (tests).
#include <cstdlib>
#include <iostream>

#include "platform/machine/Machine.h"
#include "protocol/CommandFrame.h"
#include "tools/usbvantrel-ctl/CtlTool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  uv::server::ExchangeLimits limits;
  if (const char* port = std::getenv("USBVANTREL_CTL_PORT")) {
    const int value = uv::protocol::DecimalValue(port);
    if (value > 0 && value < 65536) limits.port = static_cast<std::uint16_t>(value);
  }
  return uv::ctl::RunCtl(args, uv::platform::Machine::Current(), limits, std::cout, std::cerr);
}
