#pragma once
// The logon sessions of one computer (a machine root), as the terminal-services functions report
// them (WTSEnumerateSessions, WTSQuerySessionInformation(WTSUserName),
// WTSGetActiveConsoleSessionId). They exist only on the emulated computer: `usbvantrel-sim login
// USER` and `logout USER` maintain them.
//
// The model is a console with fast user switching: at most one session is active (the one at the
// console); logging another user on disconnects the active one; logging on a user who has a
// disconnected session reconnects it. Session ids start at 1 and are not reused while the store
// holds a session.
//
// Kept in <root>/run/sessions, one line per session: "id<TAB>state<TAB>user", optionally
// followed by more "<TAB>key=value" fields. Fields this version does not know are kept as they
// are on every rewrite, so later additions (idle spells) stay compatible. Writers serialise on
// an flock of <root>/run/sessions.lock and replace the file atomically (write and rename), so
// readers never see half a file and need no lock. Malformed lines are skipped, a file beyond
// 1 MiB is read only that far.
//
// Thread affinity: none; a SessionStore holds no state of its own besides the machine.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"

namespace uv::platform {

class DirectoryWatch;
class Machine;

enum class SessionState {
  kActive,        // WTSActive
  kDisconnected,  // WTSDisconnected
};

struct SessionInfo {
  std::uint32_t id = 0;
  SessionState state = SessionState::kActive;
  std::string userName;
  // Further "key=value" fields of the session's line, kept verbatim.
  std::map<std::string, std::string> attributes;

  friend bool operator==(const SessionInfo&, const SessionInfo&) = default;
};

// WTSGetActiveConsoleSessionId with nobody at the console.
inline constexpr std::uint32_t kNoConsoleSession = 0xFFFFFFFFu;

class SessionStore {
 public:
  explicit SessionStore(Machine& machine);

  // A user name as Windows accepts it: 1 to 104 characters, no control characters and none of
  // " / \ [ ] : ; | = , + * ? < > (a name with "," would also break the report format).
  static bool IsValidUserName(std::string_view name);

  // The store's text form (see above), for tools and for fuzzing the parser. Parse skips
  // malformed lines and later duplicates of an id and returns the sessions in id order.
  static std::vector<SessionInfo> ParseSessions(std::string_view text);
  static std::string FormatSessions(const std::vector<SessionInfo>& sessions);

  // Logs user on (see the model above) and returns the id of the user's session. User names
  // are compared case-insensitively, as on Windows; the stored name keeps the case of the
  // first logon. kErrorInvalidName for an invalid name; kErrorAccessDenied or
  // kErrorPathNotFound when the store cannot be written.
  Result<std::uint32_t> Login(std::string_view user);
  // Logs user off: the session disappears. kErrorFileNotFound when user has no session.
  [[nodiscard]] WinError Logout(std::string_view user);

  // WTSEnumerateSessions: every session in id order. A missing store is no sessions; an
  // unreadable one is kErrorAccessDenied.
  Result<std::vector<SessionInfo>> Enumerate() const;
  // WTSQuerySessionInformation(WTSUserName): kErrorFileNotFound for an unknown session.
  Result<std::string> QueryUserName(std::uint32_t sessionId) const;
  // WTSGetActiveConsoleSessionId: the active session, or kNoConsoleSession.
  std::uint32_t ActiveConsoleSessionId() const;
  // The user of the first active session in enumeration order, if any (the reporter falls
  // back to "LocalSystem" itself).
  std::optional<std::string> ActiveSessionUser() const;

  // Applies change to the sessions under the writers' lock and stores the result (for verbs
  // that add fields, such as idle spells). A change that returns an error leaves the store as
  // it was and that error is returned. Sessions are written in id order; duplicate ids or
  // invalid user names give kErrorInvalidParameter and nothing is written.
  using Change = std::function<WinError(std::vector<SessionInfo>& sessions)>;
  [[nodiscard]] WinError Update(const Change& change);

 private:
  Machine& machine_;
};

// The sessions held in memory, for callers that ask on every event (the reporter names the user
// at the console in every report): the store is read again only after something in its folder
// changed, which the system signals to the cache the moment the change is made, so a login or a
// logout takes effect at the next call. Where that signal is not available (no folder yet, no
// watch left, the store a symbolic link) every call reads the store, as SessionStore does.
//
// Thread affinity: none; calls are serialised by a lock of the cache's own.
class SessionCache {
 public:
  explicit SessionCache(Machine& machine);
  ~SessionCache();
  SessionCache(const SessionCache&) = delete;
  SessionCache& operator=(const SessionCache&) = delete;

  // The answers of SessionStore's functions of the same names.
  Result<std::vector<SessionInfo>> Enumerate();
  std::optional<std::string> ActiveSessionUser();

 private:
  // Reads the store again when it may have changed; call with mutex_ held.
  void Refresh();

  Machine& machine_;
  std::mutex mutex_;  // guards every member below
  std::unique_ptr<DirectoryWatch> watch_;
  bool current_ =
      false;  // sessions_ is the store's content, and the watch will say when it changes
  Result<std::vector<SessionInfo>> sessions_ = std::vector<SessionInfo>{};
};

}  // namespace uv::platform
