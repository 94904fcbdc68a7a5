#include "tools/usbvantrel-sim/SessionVerbs.h"

#include <ostream>

#include "platform/machine/Machine.h"
#include "platform/session/SessionStore.h"

namespace uv::sim {

namespace {

using uv::platform::SessionStore;

std::string Describe(SimContext& context, uv::platform::WinError error) {
  const std::string where = " (" + (context.machine.Root() / "run" / "sessions").string() + ")";
  switch (error) {
    case uv::platform::kErrorAccessDenied:
      return "access denied to the sessions of this computer" + where;
    case uv::platform::kErrorPathNotFound:
      return "the sessions of this computer cannot be written" + where;
    case uv::platform::kErrorFileNotFound:
      return "no such session";
    default:
      return "error " + std::to_string(error);
  }
}

// Reads the single USER argument, or reports why not.
bool UserArgument(SimContext& context, const SimVerb& verb, std::string* user, int* exitCode) {
  if (context.args.size() != 1) {
    *exitCode = UsageError(context, verb.name, verb.usage,
                           context.args.empty() ? "missing USER" : "too many arguments");
    return false;
  }
  if (!SessionStore::IsValidUserName(context.args[0])) {
    *exitCode = UsageError(context, verb.name, verb.usage,
                           "invalid user name \"" + context.args[0] +
                               "\" (1 to 104 characters, none of \" / \\ [ ] : ; | = , + * ? < >)");
    return false;
  }
  *user = context.args[0];
  return true;
}

}  // namespace

int LoginVerb(SimContext& context) {
  std::string user;
  int exitCode = kExitOk;
  if (!UserArgument(context, kLoginVerb, &user, &exitCode)) return exitCode;
  SessionStore store(context.machine);
  auto id = store.Login(user);
  if (!id) {
    context.err << "usbvantrel-sim login: " << Describe(context, id.error()) << "\n";
    return kExitFailed;
  }
  context.out << user << " logged on, session " << *id << "\n";
  return kExitOk;
}

int LogoutVerb(SimContext& context) {
  std::string user;
  int exitCode = kExitOk;
  if (!UserArgument(context, kLogoutVerb, &user, &exitCode)) return exitCode;
  SessionStore store(context.machine);
  const auto error = store.Logout(user);
  if (error == uv::platform::kErrorFileNotFound) {
    context.err << "usbvantrel-sim logout: " << user << " is not logged on\n";
    return kExitFailed;
  }
  if (error != uv::platform::kErrorSuccess) {
    context.err << "usbvantrel-sim logout: " << Describe(context, error) << "\n";
    return kExitFailed;
  }
  context.out << user << " logged off\n";
  return kExitOk;
}

int SessionsVerb(SimContext& context) {
  if (!context.args.empty()) {
    return UsageError(context, kSessionsVerb.name, kSessionsVerb.usage, "no arguments expected");
  }
  SessionStore store(context.machine);
  auto sessions = store.Enumerate();
  if (!sessions) {
    context.err << "usbvantrel-sim sessions: " << Describe(context, sessions.error()) << "\n";
    return kExitFailed;
  }
  if (sessions->empty()) {
    context.out << "No sessions.\n";
    return kExitOk;
  }
  context.out << "ID\tSTATE\tUSER\n";
  for (const auto& s : *sessions) {
    context.out << s.id << "\t"
                << (s.state == uv::platform::SessionState::kActive ? "Active" : "Disconnected")
                << "\t" << s.userName << "\n";
  }
  return kExitOk;
}

}  // namespace uv::sim
