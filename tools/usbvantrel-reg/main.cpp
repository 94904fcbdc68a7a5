#include <iostream>
#include <string>
#include <vector>

#include "platform/machine/Machine.h"
#include "tools/usbvantrel-reg/RegTool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return uv::tools::RunRegTool(args, uv::platform::Machine::DefaultRoot(), std::cin, std::cout,
                                 std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << "\n";
    return 1;
  }
}
