// usbvantrel-sc: query, start, stop and control the services of USBVANTREL_ROOT's machine.

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "platform/machine/Machine.h"
#include "tools/usbvantrel-sc/ScTool.h"

int main(int argc, char** argv) {
  try {
    uv::platform::Machine machine(uv::platform::Machine::DefaultRoot());
    return uv::sc::RunSc(machine, std::vector<std::string>(argv + 1, argv + argc), std::cout,
                         std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "usbvantrel-sc: " << e.what() << "\n";
    return 1;
  }
}
