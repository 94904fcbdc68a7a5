#include "tools/usbvantrel-sim/IdleVerbs.h"

#include <ostream>
#include <string>

#include "platform/session/IdleDetector.h"
#include "platform/session/SessionStore.h"

namespace uv::sim {

namespace {

int RunInputVerb(SimContext& context, const SimVerb& verb, bool stop) {
  if (context.args.size() != 1) {
    return UsageError(context, verb.name, verb.usage,
                      context.args.empty() ? "missing USER" : "too many arguments");
  }
  const std::string& user = context.args[0];
  if (!uv::platform::SessionStore::IsValidUserName(user)) {
    return UsageError(context, verb.name, verb.usage, "invalid user name \"" + user + "\"");
  }
  const auto error = stop ? uv::platform::StopUserInput(context.machine, user)
                          : uv::platform::ResumeUserInput(context.machine, user);
  if (error == uv::platform::kErrorFileNotFound) {
    context.err << "usbvantrel-sim " << verb.name << ": " << user << " is not logged on\n";
    return kExitFailed;
  }
  if (error != uv::platform::kErrorSuccess) {
    context.err << "usbvantrel-sim " << verb.name << ": the sessions of this computer cannot be "
                << "written (error " << error << ")\n";
    return kExitFailed;
  }
  context.out << user << (stop ? " stopped giving input\n" : " gives input again\n");
  return kExitOk;
}

}  // namespace

int IdleVerb(SimContext& context) {
  return RunInputVerb(context, kIdleVerb, true);
}

int InputVerb(SimContext& context) {
  return RunInputVerb(context, kInputVerb, false);
}

}  // namespace uv::sim
