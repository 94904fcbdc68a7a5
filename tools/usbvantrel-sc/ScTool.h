#pragma once
// usbvantrel-sc: the administrator's view of the services of a machine root, with the verbs and
// output layout of the Windows service controller tool: query, start, stop, control, qc.

#include <iosfwd>
#include <string>
#include <vector>

namespace uv::platform {
class Machine;
}

namespace uv::sc {

// Runs args (without the program name); gives the exit code (0, or the Windows error code of
// the failing call, or 1639 for a bad command line as the original does).
int RunSc(uv::platform::Machine& machine, const std::vector<std::string>& args, std::ostream& out,
          std::ostream& err);

}  // namespace uv::sc
