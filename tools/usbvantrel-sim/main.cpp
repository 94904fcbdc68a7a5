// usbvantrel-sim: drives the emulated computer of USBVANTREL_ROOT (users, devices, idle spells).

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "platform/machine/Machine.h"
#include "tools/usbvantrel-sim/DeviceVerbs.h"
#include "tools/usbvantrel-sim/SessionVerbs.h"
#include "tools/usbvantrel-sim/SimVerb.h"

namespace {

// Every verb of the tool, in the order the help lists them. Verbs of other areas are added as
// rows here, their functions living in their own files of this folder.
constexpr uv::sim::SimVerb kVerbs[] = {
    uv::sim::kLoginVerb,  uv::sim::kLogoutVerb, uv::sim::kSessionsVerb, uv::sim::kPlugVerb,
    uv::sim::kUnplugVerb, uv::sim::kEjectVerb,  uv::sim::kListVerb,
};

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    uv::platform::Machine machine(uv::platform::Machine::DefaultRoot());
    return uv::sim::RunSim(kVerbs, machine, args, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "usbvantrel-sim: " << e.what() << "\n";
    return uv::sim::kExitFailed;
  }
}
