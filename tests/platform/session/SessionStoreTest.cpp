#include "platform/session/SessionStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/machine/Machine.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

namespace uv::platform {
namespace {

class SessionStoreTest : public ::testing::Test {
 protected:
  SessionStoreTest() {
    machine_ = std::make_unique<Machine>(root_);
    store_ = std::make_unique<SessionStore>(*machine_);
  }

  std::vector<SessionInfo> Sessions() {
    auto sessions = store_->Enumerate();
    EXPECT_TRUE(sessions.ok());
    return sessions.value_or({});
  }
  void WriteStore(const std::string& content) {
    std::filesystem::create_directories(root_ / "run");
    test::WriteFile(root_ / "run" / "sessions", content);
  }
  std::string ReadStore() { return test::ReadFile(root_ / "run" / "sessions"); }

  test::TempDir temp_{"uv-session"};
  const std::filesystem::path root_ = temp_.path();
  std::unique_ptr<Machine> machine_;
  std::unique_ptr<SessionStore> store_;
};

SessionInfo Session(std::uint32_t id, SessionState state, std::string user) {
  SessionInfo info;
  info.id = id;
  info.state = state;
  info.userName = std::move(user);
  return info;
}

TEST_F(SessionStoreTest, NoStoreMeansNoSessionsAndNobodyAtTheConsole) {
  EXPECT_TRUE(Sessions().empty());
  EXPECT_EQ(store_->ActiveConsoleSessionId(), kNoConsoleSession);
  EXPECT_FALSE(store_->ActiveSessionUser().has_value());
  EXPECT_EQ(store_->QueryUserName(1).error(), kErrorFileNotFound);
}

TEST_F(SessionStoreTest, LoginSwitchesTheConsoleAndKeepsOtherSessionsDisconnected) {
  EXPECT_EQ(*store_->Login("user1"), 1u);
  EXPECT_EQ(store_->ActiveSessionUser(), "user1");
  EXPECT_EQ(*store_->Login("Admin"), 2u);
  EXPECT_EQ(Sessions(), (std::vector<SessionInfo>{Session(1, SessionState::kDisconnected, "user1"),
                                                  Session(2, SessionState::kActive, "Admin")}));
  EXPECT_EQ(store_->ActiveConsoleSessionId(), 2u);
  EXPECT_EQ(*store_->QueryUserName(1), "user1");

  // Logging on again reconnects the old session; the name keeps its first spelling.
  EXPECT_EQ(*store_->Login("USER1"), 1u);
  EXPECT_EQ(Sessions(),
            (std::vector<SessionInfo>{Session(1, SessionState::kActive, "user1"),
                                      Session(2, SessionState::kDisconnected, "Admin")}));
  EXPECT_EQ(store_->ActiveSessionUser(), "user1");
}

TEST_F(SessionStoreTest, LogoutEndsTheSessionAndIdsAreNotReusedWhileOthersRemain) {
  ASSERT_TRUE(store_->Login("a").ok());
  ASSERT_TRUE(store_->Login("b").ok());
  EXPECT_EQ(store_->Logout("A"), kErrorSuccess);
  EXPECT_EQ(store_->Logout("a"), kErrorFileNotFound);
  EXPECT_EQ(store_->Logout("nobody"), kErrorFileNotFound);
  EXPECT_EQ(*store_->Login("c"), 3u);
  EXPECT_EQ(store_->Logout("c"), kErrorSuccess);
  // With the active user gone, nobody is at the console; b stays disconnected.
  EXPECT_EQ(store_->ActiveConsoleSessionId(), kNoConsoleSession);
  EXPECT_FALSE(store_->ActiveSessionUser().has_value());
  EXPECT_EQ(Sessions(), (std::vector<SessionInfo>{Session(2, SessionState::kDisconnected, "b")}));
}

TEST_F(SessionStoreTest, UserNamesThatWindowsRefusesAreRejected) {
  for (const std::string& name :
       {std::string(), std::string(105, 'u'), std::string("a,b"), std::string("a\tb"),
        std::string("dom\\user"), std::string("x\ny"), std::string(".."), std::string("  "),
        std::string("a=b"), std::string("what?")}) {
    EXPECT_FALSE(SessionStore::IsValidUserName(name)) << name;
    EXPECT_EQ(store_->Login(name).error(), kErrorInvalidName) << name;
  }
  EXPECT_TRUE(SessionStore::IsValidUserName(std::string(104, 'u')));
  EXPECT_TRUE(SessionStore::IsValidUserName("John Smith"));
  EXPECT_TRUE(Sessions().empty());
}

TEST_F(SessionStoreTest, MalformedLinesAreSkippedAndUnknownFieldsSurviveRewrites) {
  WriteStore(
      "# comment\n"
      "garbage\n"
      "0\tactive\tzero\n"
      "99999999999\tactive\thuge\n"
      "4\tsleeping\tbadstate\n"
      "5\tdisconnected\tbad,name\n"
      "3\tdisconnected\tcarol\tidleSince=1700000000\tnote=kept as is\r\n"
      "3\tactive\tduplicate\n"
      "2\tactive\tbob\n");
  auto sessions = Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0], Session(2, SessionState::kActive, "bob"));
  EXPECT_EQ(sessions[1].userName, "carol");
  EXPECT_EQ(sessions[1].attributes.at("idleSince"), "1700000000");
  EXPECT_EQ(sessions[1].attributes.at("note"), "kept as is");

  ASSERT_EQ(*store_->Login("dave"), 4u);
  sessions = Sessions();
  ASSERT_EQ(sessions.size(), 3u);
  EXPECT_EQ(sessions[1].attributes.at("idleSince"), "1700000000");
  EXPECT_EQ(ReadStore().find("garbage"), std::string::npos);
  EXPECT_EQ(SessionStore::ParseSessions(SessionStore::FormatSessions(sessions)), sessions);
}

TEST_F(SessionStoreTest, AFieldHoldingACarriageReturnIsNotKeptSoRewritesStayTheSame) {
  // Found by fuzzing: a value ending in "\r" written last on its line came back without it.
  const std::string text = std::string("1\tdisconnected\tbob\tidle=b\0\r\tage=ok\n", 35);
  const auto sessions = SessionStore::ParseSessions(text);
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].attributes.count("idle"), 0u);
  EXPECT_EQ(sessions[0].attributes.at("age"), "ok");
  EXPECT_EQ(SessionStore::ParseSessions(SessionStore::FormatSessions(sessions)), sessions);
}

TEST_F(SessionStoreTest, AFailedOrInvalidUpdateWritesNothing) {
  ASSERT_TRUE(store_->Login("alice").ok());
  const std::string before = ReadStore();
  EXPECT_EQ(store_->Update([](std::vector<SessionInfo>& s) {
    s.clear();
    return kErrorAccessDenied;
  }),
            kErrorAccessDenied);
  EXPECT_EQ(store_->Update([](std::vector<SessionInfo>& s) {
    s.push_back(s.front());  // duplicate id
    return kErrorSuccess;
  }),
            kErrorInvalidParameter);
  EXPECT_EQ(store_->Update([](std::vector<SessionInfo>& s) {
    s.front().attributes["bad\tkey"] = "x";
    return kErrorSuccess;
  }),
            kErrorInvalidParameter);
  EXPECT_EQ(ReadStore(), before);

  EXPECT_EQ(store_->Update([](std::vector<SessionInfo>& s) {
    s.front().attributes["idleSince"] = "42";
    return kErrorSuccess;
  }),
            kErrorSuccess);
  EXPECT_EQ(Sessions().front().attributes.at("idleSince"), "42");
}

TEST_F(SessionStoreTest, ConcurrentWritersInTwoProcessesLoseNothing) {
  constexpr int kUsersPerProcess = 25;
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = ::fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      Machine machine(root_);
      SessionStore store(machine);
      int failures = 0;
      for (int i = 0; i < kUsersPerProcess; ++i) {
        const std::string user = "p" + std::to_string(p) + "u" + std::to_string(i);
        if (!store.Login(user).ok()) ++failures;
        // Every other user logs off again: deletions race with insertions.
        if (i % 2 == 1 && store.Logout(user) != kErrorSuccess) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const auto sessions = Sessions();
  std::set<std::string> users;
  std::set<std::uint32_t> ids;
  int active = 0;
  for (const auto& s : sessions) {
    users.insert(s.userName);
    ids.insert(s.id);
    if (s.state == SessionState::kActive) ++active;
  }
  EXPECT_EQ(sessions.size(), 26u);  // 13 per process stayed logged on
  EXPECT_EQ(users.size(), 26u);
  EXPECT_EQ(ids.size(), 26u);
  EXPECT_LE(active, 1);
  for (int p = 0; p < 2; ++p) {
    EXPECT_TRUE(users.count("p" + std::to_string(p) + "u24"));
    EXPECT_FALSE(users.count("p" + std::to_string(p) + "u23"));
  }
}

TEST_F(SessionStoreTest, AnUnreadableStoreIsAnErrorNotAnEmptyList) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  ASSERT_TRUE(store_->Login("alice").ok());
  ASSERT_EQ(::chmod((root_ / "run" / "sessions").c_str(), 0), 0);
  EXPECT_EQ(store_->Enumerate().error(), kErrorAccessDenied);
  EXPECT_FALSE(store_->ActiveSessionUser().has_value());
}

// The cache answers from memory, so every way the store can change must reach its next answer.
TEST_F(SessionStoreTest, TheCacheSeesEveryChangeOfTheStoreAtTheNextCall) {
  SessionCache cache(*machine_);
  const std::filesystem::path run = root_ / "run";
  const std::filesystem::path elsewhere = root_ / "elsewhere";
  struct Step {
    std::string what;
    std::function<void()> change;
    std::optional<std::string> user;  // at the console afterwards
  };
  const std::vector<Step> steps{
      {"no store yet", [] {}, std::nullopt},
      {"first login", [&] { ASSERT_TRUE(store_->Login("alice").ok()); }, "alice"},
      {"another user", [&] { ASSERT_TRUE(store_->Login("bob").ok()); }, "bob"},
      {"logout", [&] { ASSERT_EQ(store_->Logout("bob"), kErrorSuccess); }, std::nullopt},
      {"reconnect", [&] { ASSERT_TRUE(store_->Login("ALICE").ok()); }, "alice"},
      // In place, to the same size: no time stamp or size tells the two apart.
      {"rewritten in place", [&] { WriteStore("1\tactive\tcarol\n"); }, "carol"},
      {"removed", [&] { std::filesystem::remove(run / "sessions"); }, std::nullopt},
      {"folder made anew",
       [&] {
         std::filesystem::remove_all(run);
         ASSERT_TRUE(store_->Login("dave").ok());
       },
       "dave"},
      // A link is read on every call: a change of its target is seen too.
      {"replaced by a link",
       [&] {
         std::ofstream(elsewhere, std::ios::binary) << "4\tactive\terin\n";
         std::filesystem::remove(run / "sessions");
         std::filesystem::create_symlink(elsewhere, run / "sessions");
       },
       "erin"},
      {"link target rewritten",
       [&] { std::ofstream(elsewhere, std::ios::binary) << "4\tactive\tfrank\n"; }, "frank"},
  };
  for (const Step& step : steps) {
    step.change();
    EXPECT_EQ(cache.ActiveSessionUser(), step.user) << step.what;
    const auto cached = cache.Enumerate();
    ASSERT_TRUE(cached.ok()) << step.what;
    EXPECT_EQ(*cached, Sessions()) << step.what;
  }
}

}  // namespace
}  // namespace uv::platform
