#include "platform/session/SessionStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/common/FileWrite.h"
#include "platform/common/KeyValueText.h"
#include "platform/common/Text.h"
#include "platform/machine/Machine.h"
#include "platform/posix/DirectoryWatch.h"
#include "platform/posix/ErrnoError.h"
#include "platform/posix/FdIo.h"
#include "platform/posix/UniqueFd.h"
#include "platform/session/IdleDetector.h"

namespace uv::platform {

namespace {

// The store holds a handful of lines; anything near this size is not ours to parse whole.
constexpr std::size_t kMaxStoreBytes = 1 << 20;
constexpr std::size_t kMaxUserNameLength = 104;
constexpr std::string_view kSessionsFileName = "sessions";

const char* StateWord(SessionState state) {
  return state == SessionState::kActive ? "active" : "disconnected";
}

bool SameUser(std::string_view a, std::string_view b) {
  return EqualsNoCase(a, b);
}

// The store's files are only missing when its folder is.
WinError ErrorFromErrno(int error) {
  return error == ENOENT ? kErrorPathNotFound : ErrnoToWinError(error, kErrorInvalidHandle);
}

std::optional<std::uint32_t> ParseId(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value == 0 || value >= kNoConsoleSession) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

bool IsValidAttribute(std::string_view key, std::string_view value) {
  if (key.empty()) return false;
  auto clean = [](std::string_view text) {
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return c == '\t' || c == '\n' || c == '\r' || c == '\0'; });
  };
  return clean(key) && clean(value) && key.find('=') == std::string_view::npos;
}

std::vector<SessionInfo> ParseText(std::string_view content) {
  std::vector<SessionInfo> sessions;
  std::set<std::uint32_t> seen;
  for (std::string_view line : SplitLines(content)) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const auto fields = SplitFields(line, '\t');
    if (fields.size() < 3) continue;
    const auto id = ParseId(fields[0]);
    if (!id || seen.count(*id) > 0) continue;
    SessionInfo info;
    info.id = *id;
    if (fields[1] == "active") {
      info.state = SessionState::kActive;
    } else if (fields[1] == "disconnected") {
      info.state = SessionState::kDisconnected;
    } else {
      continue;
    }
    if (!SessionStore::IsValidUserName(fields[2])) continue;
    info.userName = std::string(fields[2]);
    for (std::size_t i = 3; i < fields.size(); ++i) {
      const auto field = SplitKeyValue(fields[i]);
      if (!field || field->key.empty()) continue;
      // A carriage return would not survive a rewrite (a line's final one is taken as part of a
      // CRLF line end), so a field holding one is not kept.
      if (fields[i].find('\r') != std::string_view::npos) continue;
      info.attributes.emplace(std::string(field->key), std::string(field->value));
    }
    seen.insert(info.id);
    sessions.push_back(std::move(info));
  }
  std::sort(sessions.begin(), sessions.end(),
            [](const SessionInfo& a, const SessionInfo& b) { return a.id < b.id; });
  return sessions;
}

std::string FormatText(const std::vector<SessionInfo>& sessions) {
  std::string out = "# sessions of this computer: id, state, user, further fields\n";
  for (const auto& s : sessions) {
    out += std::to_string(s.id);
    out += '\t';
    out += StateWord(s.state);
    out += '\t';
    out += s.userName;
    for (const auto& [key, value] : s.attributes) {
      out += '\t';
      out += key;
      out += '=';
      out += value;
    }
    out += '\n';
  }
  return out;
}

Result<std::vector<SessionInfo>> ReadStore(const std::filesystem::path& file) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return std::vector<SessionInfo>{};
    return Result<std::vector<SessionInfo>>::Failure(ErrorFromErrno(errno));
  }
  std::string content;
  // A read that fails half way leaves what was read: its whole lines still count.
  (void)ReadAll(fd.get(), content, kMaxStoreBytes);
  return ParseText(content);
}

std::optional<std::string> FirstActiveUser(const Result<std::vector<SessionInfo>>& sessions) {
  if (!sessions) return std::nullopt;
  for (const auto& s : *sessions) {
    if (s.state == SessionState::kActive) return s.userName;
  }
  return std::nullopt;
}

}  // namespace

SessionStore::SessionStore(Machine& machine) : machine_(machine) {}

std::vector<SessionInfo> SessionStore::ParseSessions(std::string_view text) {
  return ParseText(text);
}

std::string SessionStore::FormatSessions(const std::vector<SessionInfo>& sessions) {
  return FormatText(sessions);
}

bool SessionStore::IsValidUserName(std::string_view name) {
  if (name.empty() || name.size() > kMaxUserNameLength) return false;
  static constexpr std::string_view kForbidden = "\"/\\[]:;|=,+*?<>";
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
    if (kForbidden.find(c) != std::string_view::npos) return false;
  }
  // Names made only of dots or blanks are not accepted by Windows either.
  return name.find_first_not_of(". ") != std::string_view::npos;
}

Result<std::vector<SessionInfo>> SessionStore::Enumerate() const {
  return ReadStore(machine_.RunDirectory() / kSessionsFileName);
}

Result<std::string> SessionStore::QueryUserName(std::uint32_t sessionId) const {
  auto sessions = Enumerate();
  if (!sessions) return Result<std::string>::Failure(sessions.error());
  for (const auto& s : *sessions) {
    if (s.id == sessionId) return s.userName;
  }
  return Result<std::string>::Failure(kErrorFileNotFound);
}

std::uint32_t SessionStore::ActiveConsoleSessionId() const {
  auto sessions = Enumerate();
  if (!sessions) return kNoConsoleSession;
  for (const auto& s : *sessions) {
    if (s.state == SessionState::kActive) return s.id;
  }
  return kNoConsoleSession;
}

std::optional<std::string> SessionStore::ActiveSessionUser() const {
  return FirstActiveUser(Enumerate());
}

WinError SessionStore::Update(const Change& change) {
  const std::filesystem::path dir = machine_.RunDirectory();
  const std::filesystem::path file = dir / kSessionsFileName;
  const std::filesystem::path lockFile = dir / "sessions.lock";

  const int lockFd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd < 0) return ErrorFromErrno(errno);
  struct LockGuard {
    int fd;
    ~LockGuard() { ::close(fd); }  // closing drops the flock
  } guard{lockFd};
  int locked;
  do {
    locked = ::flock(lockFd, LOCK_EX);
  } while (locked < 0 && errno == EINTR);
  if (locked < 0) return ErrorFromErrno(errno);

  auto sessions = ReadStore(file);
  if (!sessions) return sessions.error();
  if (const WinError e = change(*sessions); e != kErrorSuccess) return e;

  std::sort(sessions->begin(), sessions->end(),
            [](const SessionInfo& a, const SessionInfo& b) { return a.id < b.id; });
  for (std::size_t i = 0; i < sessions->size(); ++i) {
    const auto& s = (*sessions)[i];
    if (s.id == 0 || s.id == kNoConsoleSession || !IsValidUserName(s.userName)) {
      return kErrorInvalidParameter;
    }
    if (i > 0 && (*sessions)[i - 1].id == s.id) return kErrorInvalidParameter;
    for (const auto& [key, value] : s.attributes) {
      if (!IsValidAttribute(key, value)) return kErrorInvalidParameter;
    }
  }

  // Readers take no lock: they must see the old file or the new one, never a mix. Every user of
  // the computer reads its sessions.
  AtomicWriteOptions options;
  options.permissions = 0644;
  options.otherError = kErrorInvalidHandle;
  return WriteFileAtomically(file, FormatText(*sessions), options);
}

Result<std::uint32_t> SessionStore::Login(std::string_view user) {
  if (!IsValidUserName(user)) return Result<std::uint32_t>::Failure(kErrorInvalidName);
  std::uint32_t id = 0;
  const WinError e = Update([&](std::vector<SessionInfo>& sessions) -> WinError {
    SessionInfo* mine = nullptr;
    std::uint32_t highest = 0;
    for (auto& s : sessions) {
      highest = std::max(highest, s.id);
      if (SameUser(s.userName, user)) mine = &s;
    }
    // One console: whoever sat there is switched away from, keeping their session.
    for (auto& s : sessions) {
      if (&s != mine) s.state = SessionState::kDisconnected;
    }
    if (mine != nullptr) {
      mine->state = SessionState::kActive;
      // Logging on takes input: an idle spell of the reconnected session is over.
      mine->attributes.erase(std::string(kIdleSinceAttribute));
      id = mine->id;
      return kErrorSuccess;
    }
    if (highest + 1 >= kNoConsoleSession) return kErrorInvalidParameter;
    SessionInfo fresh;
    fresh.id = highest + 1;
    fresh.state = SessionState::kActive;
    fresh.userName = std::string(user);
    id = fresh.id;
    sessions.push_back(std::move(fresh));
    return kErrorSuccess;
  });
  if (e != kErrorSuccess) return Result<std::uint32_t>::Failure(e);
  return id;
}

WinError SessionStore::Logout(std::string_view user) {
  if (!IsValidUserName(user)) return kErrorInvalidName;
  return Update([&](std::vector<SessionInfo>& sessions) -> WinError {
    const auto it = std::find_if(sessions.begin(), sessions.end(),
                                 [&](const SessionInfo& s) { return SameUser(s.userName, user); });
    if (it == sessions.end()) return kErrorFileNotFound;
    sessions.erase(it);
    return kErrorSuccess;
  });
}

// ---------------------------------------------------------------------------------------------
// SessionCache

SessionCache::SessionCache(Machine& machine) : machine_(machine) {}
SessionCache::~SessionCache() = default;

void SessionCache::Refresh() {
  if (current_ && !watch_->Changed()) return;
  const std::filesystem::path dir = machine_.RunDirectory();
  if (!watch_ || watch_->Broken()) watch_ = DirectoryWatch::Start(dir);
  // The watch is in place before the store is read: a change during the read is signalled too.
  const std::filesystem::path file = dir / kSessionsFileName;
  sessions_ = ReadStore(file);
  // A symbolic link could point anywhere, where the watch does not see changes.
  struct stat info {};
  const bool link = ::lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  current_ = watch_ != nullptr && !link;
}

Result<std::vector<SessionInfo>> SessionCache::Enumerate() {
  std::lock_guard lock(mutex_);
  Refresh();
  return sessions_;
}

std::optional<std::string> SessionCache::ActiveSessionUser() {
  std::lock_guard lock(mutex_);
  Refresh();
  return FirstActiveUser(sessions_);
}

}  // namespace uv::platform
