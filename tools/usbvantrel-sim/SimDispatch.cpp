#include <algorithm>
#include <ostream>

#include "tools/usbvantrel-sim/SimVerb.h"

namespace uv::sim {

namespace {

constexpr std::string_view kProgram = "usbvantrel-sim";

bool IsHelpWord(std::string_view word) {
  return word == "--help" || word == "-h" || word == "help" || word == "/?";
}

void PrintOverview(std::span<const SimVerb> verbs, std::ostream& out) {
  out << "Usage: " << kProgram << " VERB [ARGUMENTS]\n"
      << "Drives the emulated computer named by USBVANTREL_ROOT.\n\n"
      << "Verbs:\n";
  // Help starts in one column; a verb whose arguments reach past it gets its help on the
  // next line instead of pushing every other row to the right.
  constexpr std::size_t kHelpColumn = 28;
  for (const auto& verb : verbs) {
    std::string head = "  " + std::string(verb.name);
    if (!verb.usage.empty()) head += " " + std::string(verb.usage);
    if (head.size() + 2 <= kHelpColumn) {
      out << head << std::string(kHelpColumn - head.size(), ' ') << verb.help << "\n";
    } else {
      out << head << "\n" << std::string(kHelpColumn, ' ') << verb.help << "\n";
    }
  }
  out << "\n" << kProgram << " VERB --help explains one verb.\n";
}

}  // namespace

int UsageError(SimContext& context, std::string_view verb, std::string_view usage,
               std::string_view message) {
  context.err << kProgram << " " << verb << ": " << message << "\n"
              << "Usage: " << kProgram << " " << verb << (usage.empty() ? "" : " ") << usage
              << "\n";
  return kExitUsage;
}

int RunSim(std::span<const SimVerb> verbs, uv::platform::Machine& machine,
           const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kProgram << ": no verb given\n";
    PrintOverview(verbs, err);
    return kExitUsage;
  }
  if (IsHelpWord(args[0])) {
    PrintOverview(verbs, out);
    return kExitOk;
  }
  const auto verb =
      std::find_if(verbs.begin(), verbs.end(), [&](const SimVerb& v) { return v.name == args[0]; });
  if (verb == verbs.end()) {
    err << kProgram << ": unknown verb \"" << args[0] << "\"\n";
    PrintOverview(verbs, err);
    return kExitUsage;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (std::any_of(rest.begin(), rest.end(),
                  [](const std::string& a) { return a == "--help" || a == "-h" || a == "/?"; })) {
    out << "Usage: " << kProgram << " " << verb->name << (verb->usage.empty() ? "" : " ")
        << verb->usage << "\n"
        << verb->help << "\n";
    return kExitOk;
  }
  SimContext context{machine, std::move(rest), out, err};
  return verb->run(context);
}

}  // namespace uv::sim
