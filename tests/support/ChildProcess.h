#pragma once

// A helper program run by a test (pdftotext, an SMTP server in python), its standard output
// read through a pipe, its standard error left to the test's.
//
// Started with posix_spawn, not QProcess: Qt starts its children with a vfork-style clone
// whose child runs Qt's own code in the parent's memory until it executes the program. In the
// sanitizer builds that code goes through the sanitizers' wrappers, which then change the
// parent's own bookkeeping: under ThreadSanitizer the parent loses every lock it takes
// afterwards (and reports races on state its locks guard) or dies when it next starts a thread.
// posix_spawn keeps the child inside the C library until the new program runs.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace uv::test {

class ChildProcess {
 public:
  // Starts `program` (looked up on PATH when it has no slash) with `args`. Nothing when it
  // could not be started.
  static std::optional<ChildProcess> Start(const std::string& program,
                                           const std::vector<std::string>& args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    const int failed =
        ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (failed != 0) {
      ::close(out[0]);
      return std::nullopt;
    }
    return ChildProcess(pid, out[0]);
  }

  ChildProcess(ChildProcess&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)),
        out_(std::exchange(other.out_, -1)),
        status_(other.status_),
        buffer_(std::move(other.buffer_)) {}
  ChildProcess& operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
      Kill();
      if (out_ >= 0) ::close(out_);
      pid_ = std::exchange(other.pid_, -1);
      out_ = std::exchange(other.out_, -1);
      status_ = other.status_;
      buffer_ = std::move(other.buffer_);
    }
    return *this;
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // A child still running is killed and reaped.
  ~ChildProcess() {
    Kill();
    if (out_ >= 0) ::close(out_);
  }

  // The next line of its output without the line feed; nothing at the end of the output or
  // when no whole line came within the timeout.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Fill(static_cast<int>(left.count()))) return std::nullopt;
    }
  }

  // The rest of its output, up to the end (when the program closes it or ends).
  std::string ReadAll() {
    while (Fill(-1)) {
    }
    return std::exchange(buffer_, {});
  }

  // Waits for the end and gives the exit code (-1 when a signal ended it).
  int Wait() {
    if (pid_ < 0) return status_;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

  void Kill() {
    if (pid_ < 0) return;
    ::kill(pid_, SIGKILL);
    Wait();
  }

 private:
  ChildProcess(pid_t pid, int out) : pid_(pid), out_(out) {}

  // Reads what is there, waiting at most timeoutMs (-1: without end); false at the end of the
  // output or when nothing came.
  bool Fill(int timeoutMs) {
    pollfd pfd{out_, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&pfd, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (ready <= 0) return false;
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(out_, chunk, sizeof chunk)) < 0 && errno == EINTR) {
    }
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(got));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
  std::string buffer_;
};

// What a program run to its end wrote on its standard output, and its exit code (-1 when it
// did not start or a signal ended it).
struct ProgramOutput {
  int exitCode = -1;
  std::string out;
};

inline ProgramOutput RunProgram(const std::string& program, const std::vector<std::string>& args) {
  auto child = ChildProcess::Start(program, args);
  if (!child) return {};
  ProgramOutput result;
  result.out = child->ReadAll();
  result.exitCode = child->Wait();
  return result;
}

}  // namespace uv::test
