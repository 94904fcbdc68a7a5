#pragma once
// The session verbs of usbvantrel-sim: log users on and off the emulated computer and list its
// sessions.

#include "tools/usbvantrel-sim/SimVerb.h"

namespace uv::sim {

// login USER: USER takes the console; a user already there is switched away (disconnected).
int LoginVerb(SimContext& context);
// logout USER: USER's session ends.
int LogoutVerb(SimContext& context);
// sessions: one line per session: id, state, user.
int SessionsVerb(SimContext& context);

inline constexpr SimVerb kLoginVerb{"login", "USER", "log USER on at the console", LoginVerb};
inline constexpr SimVerb kLogoutVerb{"logout", "USER", "log USER off", LogoutVerb};
inline constexpr SimVerb kSessionsVerb{"sessions", "", "list the logon sessions", SessionsVerb};

}  // namespace uv::sim
