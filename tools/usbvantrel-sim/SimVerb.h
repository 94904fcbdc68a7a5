#pragma once
// The verbs of usbvantrel-sim: each verb is one row of the table in main.cpp (name, usage,
// one-line help, function). A verb's function gets its arguments without the verb itself and
// writes to the streams of the context, so tests can drive verbs in-process.

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace uv::platform {
class Machine;
}

namespace uv::sim {

// Exit codes of every verb.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation was refused or failed
inline constexpr int kExitUsage = 2;   // bad command line; nothing was changed

struct SimContext {
  uv::platform::Machine& machine;
  std::vector<std::string> args;  // after the verb
  std::ostream& out;
  std::ostream& err;
};

struct SimVerb {
  std::string_view name;
  std::string_view usage;  // arguments after the verb, e.g. "USER"
  std::string_view help;   // one line
  int (*run)(SimContext& context);
};

// Runs the command line args (without the program name) against the verb table: "--help",
// "-h", "help" or "/?" list the verbs; "VERB --help" explains one verb; anything else runs the
// verb. Unknown verbs and a missing verb are usage errors.
int RunSim(std::span<const SimVerb> verbs, uv::platform::Machine& machine,
           const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// For verbs: prints "usbvantrel-sim VERB: message" and the verb's usage line to err and gives
// kExitUsage.
int UsageError(SimContext& context, std::string_view verb, std::string_view usage,
               std::string_view message);

}  // namespace uv::sim
