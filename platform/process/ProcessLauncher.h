#pragma once
// Starting programs (CreateProcess / CreateProcessAsUser) and listing processes
// (CreateToolhelp32Snapshot).
//
// A command line is run by "/bin/sh -c <command line>" in the caller's environment and current
// directory, in a session of its own (the counterpart of a new console), with default signal
// handling. Before anything starts, the program is looked up as CreateProcess does: the first
// token of the command line (up to the first blank, or the text between a leading pair of double
// quotes) is a path when it holds a "/" (relative to the current directory) and is otherwise
// searched in PATH. No such executable file: kErrorFileNotFound and nothing is started. A path
// that exists but is not an executable file: kErrorAccessDenied.
//
// Running as another user: only a process running as root can switch; it does so when the user
// is known to the system's user database (/etc/passwd): the child takes the user's uid, primary
// gid and supplementary groups before it executes. posix_spawn cannot switch users, so the
// start is a fork: the parent computes everything first (user, groups, argument and
// environment arrays), and the child only makes system calls before its exec.
//
// The started program is not waited for, and yet never stays a zombie: it is started as a
// grandchild (fork, fork, exec) whose intermediate parent exits at once and is reaped here, so
// the program belongs to init (or the nearest subreaper), which reaps it. The call returns only
// after the exec has succeeded or failed, and reports an exec failure as its error.
//
// Thread affinity: none.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"

namespace uv::platform {

using ProcessId = std::int32_t;

struct StartedProcess {
  ProcessId pid = 0;
  // True when the program runs as the requested user; false when it runs as the caller.
  bool asRequestedUser = false;
};

// The first token of a command line as described above, quotes removed. Empty when the line
// holds only blanks or an unterminated quote.
std::string ProgramOfCommandLine(std::string_view commandLine);

// The file that ProgramOfCommandLine names, found as described above, or kErrorFileNotFound /
// kErrorAccessDenied.
Result<std::string> FindProgram(std::string_view program);

// Starts commandLine; as user when given and possible (see above), else as the caller.
// An empty user means the caller. kErrorInvalidParameter for an empty command line or one with
// a NUL byte.
Result<StartedProcess> StartProcess(std::string_view commandLine,
                                    const std::optional<std::string>& user = std::nullopt);

// Whether this process may start programs as another user (it runs as root).
bool CanSwitchUser();
// uid of user from the system's user database, if known.
std::optional<std::uint32_t> UserIdOf(std::string_view user);

struct ProcessEntry {
  ProcessId pid = 0;
  ProcessId parentPid = 0;
  // The executable's file name without directory ("USBVantrelClient", "sh"), as the snapshot's
  // szExeFile gives it: from the executable link when readable, else from the command line,
  // else the kernel's short name.
  std::string exeName;
};

// Every process visible in /proc, in pid order. Processes that end while being read are left
// out. kErrorAccessDenied when /proc cannot be read.
Result<std::vector<ProcessEntry>> SnapshotProcesses();

}  // namespace uv::platform
