#include "platform/process/ProcessLauncher.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

extern char** environ;

namespace uv::platform {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

WinError ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ENOEXEC:
      return kErrorAccessDenied;
    case ENOMEM:
    case EAGAIN:
      return kErrorNotEnoughMemory;
    default:
      return kErrorInvalidParameter;
  }
}

bool IsExecutableFile(const std::string& path, bool* exists) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *exists = false;
    return false;
  }
  *exists = true;
  return S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

struct Identity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

std::optional<Identity> LookUpUser(const std::string& user) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  std::vector<char> buffer(static_cast<std::size_t>(size));
  passwd entry{};
  passwd* found = nullptr;
  while (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return std::nullopt;
  Identity id;
  id.uid = found->pw_uid;
  id.gid = found->pw_gid;
  int count = 32;
  id.groups.resize(static_cast<std::size_t>(count));
  // getgrouplist reports the needed size when the array is too small.
  for (int attempt = 0; attempt < 4; ++attempt) {
    int n = static_cast<int>(id.groups.size());
    if (::getgrouplist(found->pw_name, found->pw_gid, id.groups.data(), &n) >= 0) {
      id.groups.resize(static_cast<std::size_t>(n));
      return id;
    }
    id.groups.resize(static_cast<std::size_t>(std::max(n, count * 2)));
    count *= 2;
  }
  id.groups.assign(1, found->pw_gid);
  return id;
}

// Messages on the status pipe. Each is one write below PIPE_BUF, so they never interleave.
struct StatusMessage {
  char tag;  // 'P' grandchild's pid, 'F' fork failed (value errno), 'E' setup or exec failed
  std::int32_t value;
};

[[noreturn]] void ReportAndExit(int fd, char tag, int value) {
  StatusMessage m{tag, value};
  (void)!::write(fd, &m, sizeof m);
  ::_exit(127);
}

}  // namespace

std::string ProgramOfCommandLine(std::string_view commandLine) {
  std::size_t pos = 0;
  while (pos < commandLine.size() && IsBlank(commandLine[pos])) ++pos;
  if (pos == commandLine.size()) return {};
  if (commandLine[pos] == '"') {
    const std::size_t close = commandLine.find('"', pos + 1);
    if (close == std::string_view::npos) return {};
    return std::string(commandLine.substr(pos + 1, close - pos - 1));
  }
  std::size_t end = pos;
  while (end < commandLine.size() && !IsBlank(commandLine[end])) ++end;
  return std::string(commandLine.substr(pos, end - pos));
}

Result<std::string> FindProgram(std::string_view program) {
  if (program.empty() || program.find('\0') != std::string_view::npos) {
    return Result<std::string>::Failure(kErrorFileNotFound);
  }
  bool exists = false;
  if (program.find('/') != std::string_view::npos) {
    const std::string path(program);
    if (IsExecutableFile(path, &exists)) return path;
    return Result<std::string>::Failure(exists ? kErrorAccessDenied : kErrorFileNotFound);
  }
  const char* pathVariable = std::getenv("PATH");
  const std::string searchPath =
      pathVariable != nullptr ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = searchPath.find(':', start);
    std::string dir =
        searchPath.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + std::string(program);
    // As a shell does, files that exist but cannot be run are passed over in a PATH search.
    if (IsExecutableFile(candidate, &exists)) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return Result<std::string>::Failure(kErrorFileNotFound);
}

bool CanSwitchUser() {
  return ::geteuid() == 0;
}

std::optional<std::uint32_t> UserIdOf(std::string_view user) {
  if (user.empty() || user.find('\0') != std::string_view::npos) return std::nullopt;
  const auto id = LookUpUser(std::string(user));
  if (!id) return std::nullopt;
  return static_cast<std::uint32_t>(id->uid);
}

Result<StartedProcess> StartProcess(std::string_view commandLine,
                                    const std::optional<std::string>& user) {
  if (commandLine.find_first_not_of(" \t") == std::string_view::npos ||
      commandLine.find('\0') != std::string_view::npos) {
    return Result<StartedProcess>::Failure(kErrorInvalidParameter);
  }
  if (auto program = FindProgram(ProgramOfCommandLine(commandLine)); !program) {
    return Result<StartedProcess>::Failure(program.error());
  }

  // Everything the children need is prepared here: after fork only system calls are safe.
  std::optional<Identity> identity;
  if (user && !user->empty() && CanSwitchUser() && user->find('\0') == std::string::npos) {
    identity = LookUpUser(*user);
  }
  const std::string shell = "/bin/sh";
  const std::string dashC = "-c";
  const std::string command(commandLine);
  char* argv[] = {const_cast<char*>(shell.c_str()), const_cast<char*>(dashC.c_str()),
                  const_cast<char*>(command.c_str()), nullptr};
  std::vector<std::string> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) environment.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Result<StartedProcess>::Failure(ErrorFromErrno(errno));
  const int readFd = fds[0];
  const int writeFd = fds[1];

  const pid_t middle = ::fork();
  if (middle < 0) {
    const int error = errno;
    ::close(readFd);
    ::close(writeFd);
    return Result<StartedProcess>::Failure(ErrorFromErrno(error));
  }
  if (middle == 0) {
    // Intermediate child: start the program and leave at once, so that the program is
    // inherited (and eventually reaped) by init instead of staying our zombie.
    ::close(readFd);
    const pid_t program = ::fork();
    if (program < 0) ReportAndExit(writeFd, 'F', errno);
    if (program == 0) {
      (void)::setsid();
      if (identity) {
        // Raw system calls: this process has one thread, and the library's versions would try
        // to coordinate with threads that exist only in the parent.
        if (::syscall(SYS_setgroups, identity->groups.size(), identity->groups.data()) != 0) {
          ReportAndExit(writeFd, 'E', errno);
        }
        if (::syscall(SYS_setgid, identity->gid) != 0) ReportAndExit(writeFd, 'E', errno);
        if (::syscall(SYS_setuid, identity->uid) != 0) ReportAndExit(writeFd, 'E', errno);
      }
      sigset_t none;
      sigemptyset(&none);
      (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) (void)::sigaction(sig, &dfl, nullptr);
      }
      ::execve(argv[0], argv, envp.data());
      ReportAndExit(writeFd, 'E', errno);
    }
    StatusMessage m{'P', static_cast<std::int32_t>(program)};
    (void)!::write(writeFd, &m, sizeof m);
    ::_exit(0);
  }

  ::close(writeFd);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  // Read until both children have closed the pipe: the program's end closes with its exec.
  StartedProcess started;
  WinError failure = kErrorSuccess;
  bool havePid = false;
  for (;;) {
    StatusMessage m{};
    const ssize_t n = ::read(readFd, &m, sizeof m);
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof m)) break;
    if (m.tag == 'P') {
      started.pid = m.value;
      havePid = true;
    } else {
      failure = ErrorFromErrno(m.value);
    }
  }
  ::close(readFd);
  if (failure != kErrorSuccess) return Result<StartedProcess>::Failure(failure);
  if (!havePid) return Result<StartedProcess>::Failure(kErrorNotEnoughMemory);
  started.asRequestedUser = identity.has_value();
  return started;
}

namespace {

std::string BaseName(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string content(4096, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return content;
}

}  // namespace

Result<std::vector<ProcessEntry>> SnapshotProcesses() {
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return Result<std::vector<ProcessEntry>>::Failure(kErrorAccessDenied);
  std::vector<ProcessEntry> entries;
  while (const dirent* d = ::readdir(dir)) {
    const std::string_view name = d->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) continue;
    const std::string base = "/proc/" + std::string(name);
    // stat: "pid (comm) state ppid ...": comm may hold blanks and parentheses, so it ends at
    // the last ')'.
    const std::string stat = ReadSmallFile(base + "/stat");
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    ProcessEntry entry;
    entry.pid = static_cast<ProcessId>(std::strtol(std::string(name).c_str(), nullptr, 10));
    const std::string comm = stat.substr(open + 1, close - open - 1);
    if (close + 4 < stat.size()) {
      entry.parentPid = static_cast<ProcessId>(std::strtol(stat.c_str() + close + 4, nullptr, 10));
    }
    char link[4096];
    const ssize_t n = ::readlink((base + "/exe").c_str(), link, sizeof link - 1);
    if (n > 0) {
      std::string target(link, static_cast<std::size_t>(n));
      constexpr std::string_view kDeleted = " (deleted)";
      if (target.size() > kDeleted.size() &&
          target.compare(target.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        target.resize(target.size() - kDeleted.size());
      }
      entry.exeName = BaseName(target);
    }
    if (entry.exeName.empty()) {
      const std::string cmdline = ReadSmallFile(base + "/cmdline");
      entry.exeName = BaseName(std::string_view(cmdline.c_str()));
    }
    if (entry.exeName.empty()) entry.exeName = comm;
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; });
  return entries;
}

}  // namespace uv::platform
