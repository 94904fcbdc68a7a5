#include "platform/process/ProcessLauncher.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

namespace uv::platform {
namespace {

using namespace std::chrono_literals;

class ProcessLauncherTest : public ::testing::Test {
 protected:
  ProcessLauncherTest() {
    // Programs started as another user write here too.
    ::chmod(dir_.c_str(), 0755);
    fifo_ = dir_ / "out";
    if (::mkfifo(fifo_.c_str(), 0666) != 0) ADD_FAILURE() << "mkfifo";
    ::chmod(fifo_.c_str(), 0666);
  }

  // What the started program writes into the fifo, once it closes it. The fifo is read on
  // another thread so that a program that never starts fails the test instead of hanging it.
  std::string ReadFifo() {
    auto reader = std::async(std::launch::async, [path = fifo_] { return test::ReadFile(path); });
    if (reader.wait_for(20s) != std::future_status::ready) {
      ADD_FAILURE() << "the started program never wrote";
      const int unblock = ::open(fifo_.c_str(), O_WRONLY);  // lets the reader finish
      if (unblock >= 0) ::close(unblock);
    }
    return reader.get();
  }

  std::filesystem::path WriteScript(const std::string& name, const std::string& body, mode_t mode) {
    const auto path = dir_ / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), mode);
    return path;
  }

  test::TempDir temp_{"uv-process"};
  const std::filesystem::path dir_ = temp_.path();
  std::filesystem::path fifo_;
};

TEST(CommandLineTest, ProgramIsTheFirstTokenOrTheQuotedText) {
  EXPECT_EQ(ProgramOfCommandLine("notepad.exe a b"), "notepad.exe");
  EXPECT_EQ(ProgramOfCommandLine(" \t /usr/bin/env  x"), "/usr/bin/env");
  EXPECT_EQ(ProgramOfCommandLine("\"/opt/my tools/run\" --now"), "/opt/my tools/run");
  EXPECT_EQ(ProgramOfCommandLine("\"\" x"), "");
  EXPECT_EQ(ProgramOfCommandLine("\"unterminated x"), "");
  EXPECT_EQ(ProgramOfCommandLine("   "), "");
  EXPECT_EQ(ProgramOfCommandLine(""), "");
}

TEST_F(ProcessLauncherTest, FindProgramSearchesPathAndChecksPaths) {
  EXPECT_EQ(*FindProgram("/bin/sh"), "/bin/sh");
  EXPECT_TRUE(FindProgram("sh").ok());
  EXPECT_EQ(FindProgram("no-such-program-uv").error(), kErrorFileNotFound);
  EXPECT_EQ(FindProgram((dir_ / "missing").string()).error(), kErrorFileNotFound);
  EXPECT_EQ(FindProgram("").error(), kErrorFileNotFound);
  EXPECT_EQ(FindProgram(dir_.string()).error(), kErrorAccessDenied);  // a directory
  const auto plain = WriteScript("plain", "true", 0644);
  EXPECT_EQ(FindProgram(plain.string()).error(), kErrorAccessDenied);

  // A PATH search passes over a file that cannot run and finds the next one.
  WriteScript("a/tool", "true", 0644);
  const auto runnable = WriteScript("b/tool", "true", 0755);
  const char* oldPath = std::getenv("PATH");
  const std::string saved = oldPath != nullptr ? oldPath : "";
  ::setenv("PATH", ((dir_ / "a").string() + ":" + (dir_ / "b").string()).c_str(), 1);
  auto found = FindProgram("tool");
  ::setenv("PATH", saved.c_str(), 1);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(*found, runnable.string());
}

TEST_F(ProcessLauncherTest, StartsTheCommandLineAsTheCallerWithoutLeavingAChild) {
  auto started = StartProcess("id -u > '" + fifo_.string() + "'");
  ASSERT_TRUE(started.ok()) << started.error();
  EXPECT_GT(started->pid, 0);
  EXPECT_FALSE(started->asRequestedUser);
  EXPECT_EQ(ReadFifo(), std::to_string(::geteuid()) + "\n");
  // Nothing to reap here: the program was handed to init, not left as our zombie.
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ProcessLauncherTest, QuotedProgramPathsWithBlanksRun) {
  const auto script = WriteScript("my tools/report", "printf '%s' \"$1\" > \"$2\"", 0755);
  auto started = StartProcess("\"" + script.string() + "\" hello '" + fifo_.string() + "'");
  ASSERT_TRUE(started.ok()) << started.error();
  EXPECT_EQ(ReadFifo(), "hello");
}

TEST_F(ProcessLauncherTest, AMissingProgramFailsWithFileNotFoundAndStartsNothing) {
  const auto marker = dir_ / "marker";
  for (const std::string& line :
       {std::string("no-such-program-uv arg"), (dir_ / "nothing").string() + " x",
        std::string("\"") + (dir_ / "no dir" / "prog").string() + "\""}) {
    auto started = StartProcess(line + "; touch '" + marker.string() + "'");
    ASSERT_FALSE(started.ok()) << line;
    EXPECT_EQ(started.error(), kErrorFileNotFound) << line;
  }
  EXPECT_EQ(StartProcess("").error(), kErrorInvalidParameter);
  EXPECT_EQ(StartProcess(" \t").error(), kErrorInvalidParameter);
  EXPECT_EQ(StartProcess(std::string("sh\0x", 4)).error(), kErrorInvalidParameter);
  // Had a shell been started for any of them, it would have run the touch by now.
  auto probe = StartProcess("true > '" + fifo_.string() + "'");
  ASSERT_TRUE(probe.ok());
  ReadFifo();
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(ProcessLauncherTest, TheProgramDoesNotInheritBlockedOrIgnoredSignals) {
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &previous), 0);
  struct sigaction ignore {
  }, oldAction{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGUSR2, &ignore, &oldAction), 0);
  // The program reports its own state; a shell in between would show its own, changing mask.
  const auto script = WriteScript("status", "exec cat /proc/self/status > \"$1\"", 0755);
  auto started = StartProcess(script.string() + " '" + fifo_.string() + "'");
  ::sigaction(SIGUSR2, &oldAction, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(started.ok());
  const std::string status = ReadFifo();
  auto field = [&](const std::string& name) {
    const auto at = status.find(name + ":\t");
    return at == std::string::npos ? std::string("?") : status.substr(at + name.size() + 2, 16);
  };
  EXPECT_EQ(field("SigBlk"), "0000000000000000");
  // SIGUSR2 is signal 12: bit 11 of the ignore mask.
  const unsigned long long ignored = std::stoull(field("SigIgn"), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGUSR2 - 1)), 0u);
}

TEST_F(ProcessLauncherTest, RunsAsTheRequestedUserWhenRoot) {
  if (!CanSwitchUser()) GTEST_SKIP() << "switching users needs root";
  const auto nobody = UserIdOf("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody on this system";
  ASSERT_NE(*nobody, 0u);
  auto started = StartProcess("id -u > '" + fifo_.string() + "'", std::string("nobody"));
  ASSERT_TRUE(started.ok()) << started.error();
  EXPECT_TRUE(started->asRequestedUser);
  EXPECT_EQ(ReadFifo(), std::to_string(*nobody) + "\n");
}

TEST_F(ProcessLauncherTest, AnUnknownUserRunsTheProgramAsTheCaller) {
  EXPECT_FALSE(UserIdOf("no-such-user-uv").has_value());
  auto started = StartProcess("id -u > '" + fifo_.string() + "'", std::string("no-such-user-uv"));
  ASSERT_TRUE(started.ok()) << started.error();
  EXPECT_FALSE(started->asRequestedUser);
  EXPECT_EQ(ReadFifo(), std::to_string(::geteuid()) + "\n");
}

TEST(ProcessSnapshotTest, ListsThisProcessWithItsNameAndParent) {
  auto snapshot = SnapshotProcesses();
  ASSERT_TRUE(snapshot.ok());
  EXPECT_TRUE(
      std::is_sorted(snapshot->begin(), snapshot->end(),
                     [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; }));
  const auto self = std::find_if(snapshot->begin(), snapshot->end(),
                                 [](const ProcessEntry& e) { return e.pid == ::getpid(); });
  ASSERT_NE(self, snapshot->end());
  EXPECT_EQ(self->exeName, "uv_process_test");
  EXPECT_EQ(self->parentPid, ::getppid());
}

}  // namespace
}  // namespace uv::platform
