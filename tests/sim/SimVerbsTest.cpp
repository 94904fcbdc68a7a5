#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/machine/Machine.h"
#include "platform/session/SessionStore.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"
#include "tools/usbvantrel-sim/SessionVerbs.h"
#include "tools/usbvantrel-sim/SimVerb.h"

extern char** environ;

namespace uv::sim {
namespace {

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class SimTest : public ::testing::Test {
 protected:
  SimTest() : dir_(temp_.path()), root_(dir_ / "machine") {}

  // Runs the real program on the test's machine root (or on root when given).
  Outcome Sim(std::vector<std::string> args, const std::filesystem::path& root = {}) {
    pid_t pid = Start(args, root.empty() ? root_ : root, dir_ / "out", dir_ / "err");
    Outcome outcome;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
      outcome.exitCode = WEXITSTATUS(status);
    }
    outcome.out = test::ReadFile(dir_ / "out");
    outcome.err = test::ReadFile(dir_ / "err");
    return outcome;
  }

  pid_t Start(std::vector<std::string> args, const std::filesystem::path& root,
              const std::filesystem::path& out, const std::filesystem::path& err) {
    args.insert(args.begin(), USBVANTREL_SIM);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"USBVANTREL_ROOT=" + root.string()};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string_view(*e).rfind("USBVANTREL_ROOT=", 0) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (::posix_spawn(&pid, USBVANTREL_SIM, &actions, nullptr, argv.data(), envp.data()) != 0) {
      ADD_FAILURE() << "cannot start " << USBVANTREL_SIM;
      pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  std::vector<platform::SessionInfo> Sessions() {
    platform::Machine machine(root_);
    auto sessions = platform::SessionStore(machine).Enumerate();
    EXPECT_TRUE(sessions.ok());
    return sessions.value_or({});
  }

  test::TempDir temp_{"uv-sim"};
  std::filesystem::path dir_;
  std::filesystem::path root_;
};

TEST_F(SimTest, HelpListsTheVerbsAndExplainsEachOne) {
  const auto help = Sim({"--help"});
  EXPECT_EQ(help.exitCode, kExitOk);
  for (const char* verb : {"login USER", "logout USER", "sessions"}) {
    EXPECT_NE(help.out.find(verb), std::string::npos) << verb;
  }
  const auto loginHelp = Sim({"login", "--help"});
  EXPECT_EQ(loginHelp.exitCode, kExitOk);
  EXPECT_NE(loginHelp.out.find("Usage: usbvantrel-sim login USER"), std::string::npos);
  EXPECT_TRUE(Sessions().empty());  // --help changes nothing
}

TEST_F(SimTest, MissingOrUnknownVerbsAreUsageErrors) {
  const auto none = Sim({});
  EXPECT_EQ(none.exitCode, kExitUsage);
  EXPECT_NE(none.err.find("no verb given"), std::string::npos);
  const auto unknown = Sim({"fly"});
  EXPECT_EQ(unknown.exitCode, kExitUsage);
  EXPECT_NE(unknown.err.find("unknown verb \"fly\""), std::string::npos);
}

TEST_F(SimTest, LoginLogoutAndSessionsEndToEnd) {
  EXPECT_EQ(Sim({"sessions"}).out, "No sessions.\n");
  auto alice = Sim({"login", "alice"});
  EXPECT_EQ(alice.exitCode, kExitOk);
  EXPECT_EQ(alice.out, "alice logged on, session 1\n");
  EXPECT_EQ(Sim({"login", "bob"}).exitCode, kExitOk);
  const auto listing = Sim({"sessions"});
  EXPECT_EQ(listing.exitCode, kExitOk);
  EXPECT_EQ(listing.out, "ID\tSTATE\tUSER\n1\tDisconnected\talice\n2\tActive\tbob\n");

  // The agent's view of the same computer.
  platform::Machine machine(root_);
  EXPECT_EQ(platform::SessionStore(machine).ActiveSessionUser(), "bob");

  EXPECT_EQ(Sim({"logout", "bob"}).exitCode, kExitOk);
  EXPECT_FALSE(platform::SessionStore(machine).ActiveSessionUser().has_value());
  const auto again = Sim({"logout", "bob"});
  EXPECT_EQ(again.exitCode, kExitFailed);
  EXPECT_NE(again.err.find("bob is not logged on"), std::string::npos);
}

TEST_F(SimTest, BadArgumentsChangeNothing) {
  ASSERT_EQ(Sim({"login", "alice"}).exitCode, kExitOk);
  const auto before = Sessions();
  for (const std::vector<std::string>& args : {std::vector<std::string>{"login"},
                                               {"login", "a", "b"},
                                               {"login", "a,b"},
                                               {"login", std::string(105, 'x')},
                                               {"logout"},
                                               {"logout", "dom\\user"},
                                               {"sessions", "extra"}}) {
    const auto outcome = Sim(args);
    EXPECT_EQ(outcome.exitCode, kExitUsage) << args[0];
    EXPECT_NE(outcome.err.find("Usage: usbvantrel-sim " + args[0]), std::string::npos);
    EXPECT_TRUE(outcome.out.empty());
  }
  EXPECT_EQ(Sessions(), before);
}

TEST_F(SimTest, AMachineRootThatCannotHoldSessionsFailsClearly) {
  const auto notADirectory = dir_ / "file";
  std::ofstream(notADirectory) << "x";
  const auto outcome = Sim({"login", "alice"}, notADirectory);
  EXPECT_EQ(outcome.exitCode, kExitFailed);
  EXPECT_NE(outcome.err.find("usbvantrel-sim login: "), std::string::npos);
}

TEST_F(SimTest, TwoSimulatorsLoggingUsersOnAtOnceLoseNoSession) {
  // Each simulator process logs its users on one by one while the other does the same.
  std::vector<pid_t> running;
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < 6; ++i) {
      const std::string user = "p" + std::to_string(p) + "u" + std::to_string(i);
      const auto out = dir_ / ("o" + user);
      running.push_back(Start({"login", user}, root_, out, out));
    }
  }
  for (const pid_t pid : running) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitOk);
  }
  const auto sessions = Sessions();
  EXPECT_EQ(sessions.size(), 12u);
  int active = 0;
  for (const auto& s : sessions) active += s.state == platform::SessionState::kActive ? 1 : 0;
  EXPECT_EQ(active, 1);
}

// The dispatcher in-process, with a table of the session verbs only.
TEST(SimDispatchTest, VerbHelpWinsOverArgumentsAndStreamsAreTheContexts) {
  constexpr SimVerb verbs[] = {kLoginVerb, kLogoutVerb, kSessionsVerb};
  const test::TempDir temp("uv-simd");
  ASSERT_FALSE(temp.path().empty());
  {
    platform::Machine machine(temp.path());
    std::ostringstream out, err;
    EXPECT_EQ(RunSim(verbs, machine, {"login", "alice", "--help"}, out, err), kExitOk);
    EXPECT_NE(out.str().find("log USER on at the console"), std::string::npos);
    EXPECT_TRUE(platform::SessionStore(machine).Enumerate()->empty());
    std::ostringstream out2, err2;
    EXPECT_EQ(RunSim(verbs, machine, {"login", "alice"}, out2, err2), kExitOk);
    EXPECT_EQ(out2.str(), "alice logged on, session 1\n");
    EXPECT_TRUE(err2.str().empty());
  }
}

}  // namespace
}  // namespace uv::sim
