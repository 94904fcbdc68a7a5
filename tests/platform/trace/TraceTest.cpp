#include "platform/trace/Trace.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace uv::platform {
namespace {

class Collector {
 public:
  TraceSink Sink() {
    return [this](std::string_view text) {
      std::lock_guard lock(mutex_);
      texts_.emplace_back(text);
    };
  }
  std::vector<std::string> Texts() {
    std::lock_guard lock(mutex_);
    return texts_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
};

bool TracingToStderr() {
  const char* value = std::getenv("USBVANTREL_TRACE");
  return value != nullptr && value[0] != '\0' && std::string(value) != "0";
}

TEST(TraceTest, SinkSeesEachTextAsGiven) {
  Collector collector;
  {
    ScopedTraceSink scoped(collector.Sink());
    EXPECT_TRUE(TraceEnabled());
    Trace("\n In Service On Stop");
    TraceF("err : %u", 5u);
    TraceF("Sent %s", "RUT;");
    Trace(std::string_view("with\0zero", 9));
  }
  EXPECT_EQ(collector.Texts(),
            (std::vector<std::string>{"\n In Service On Stop", "err : 5", "Sent RUT;",
                                      std::string("with\0zero", 9)}));
  // Removed with its scope: later texts go nowhere near it.
  Trace("after");
  EXPECT_EQ(collector.Texts().size(), 4u);
  if (!TracingToStderr()) {
    EXPECT_FALSE(TraceEnabled());
  }
}

TEST(TraceTest, FormattedTextsAreCutAt4096Bytes) {
  Collector collector;
  ScopedTraceSink scoped(collector.Sink());
  const std::string longText(5000, 'x');
  TraceF("%s", longText.c_str());
  TraceF("%s", std::string(4096, 'y').c_str());
  Trace(longText);  // plain texts are not cut
  const auto texts = collector.Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], std::string(4096, 'x'));
  EXPECT_EQ(texts[1], std::string(4096, 'y'));
  EXPECT_EQ(texts[2], longText);
}

TEST(TraceTest, NestedSinksRestoreTheOuterOne) {
  Collector outer;
  Collector inner;
  ScopedTraceSink outerScope(outer.Sink());
  Trace("1");
  {
    ScopedTraceSink innerScope(inner.Sink());
    Trace("2");
  }
  Trace("3");
  EXPECT_EQ(outer.Texts(), (std::vector<std::string>{"1", "3"}));
  EXPECT_EQ(inner.Texts(), (std::vector<std::string>{"2"}));
  SetTraceSink({});
  Trace("4");
  EXPECT_EQ(outer.Texts().size(), 2u);
}

TEST(TraceTest, TextsFromManyThreadsArriveWhole) {
  Collector collector;
  ScopedTraceSink scoped(collector.Sink());
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) TraceF("thread %d text %d\n", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  const auto texts = collector.Texts();
  ASSERT_EQ(texts.size(), static_cast<std::size_t>(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const std::string& text : texts) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(text.c_str(), "thread %d text %d\n", &t, &i), 2) << text;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++) << "texts of one thread keep their order";
  }
}

// Run in a child with USBVANTREL_TRACE=1 by the test below.
TEST(TraceChild, WritesToStderr) {
  if (std::getenv("UV_TRACETEST_CHILD") == nullptr) GTEST_SKIP() << "run by TraceTest";
  Trace("first line\n");
  TraceF("err : %u\n", 1460u);
}

TEST(TraceTest, EnvironmentSwitchSendsTextsToStderrAndOnlyThen) {
  const test::TempDir temp("uvtrace");
  ASSERT_FALSE(temp.path().empty());
  const std::filesystem::path& dir = temp.path();
  const auto runChild = [&](const char* traceValue) {
    const auto errFile = dir / "stderr";
    std::vector<std::string> storage = {std::string("UV_TRACETEST_CHILD=1")};
    if (traceValue) storage.push_back(std::string("USBVANTREL_TRACE=") + traceValue);
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("USBVANTREL_TRACE=", 0) != 0) storage.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& entry : storage) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    std::string filter = "--gtest_filter=TraceChild.WritesToStderr";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    int status = 0;
    if (spawned == 0) ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return test::ReadFile(errFile);
  };
  EXPECT_EQ(runChild("1"), "first line\nerr : 1460\n");
  EXPECT_EQ(runChild("0"), "");
  EXPECT_EQ(runChild(nullptr), "");
}

}  // namespace
}  // namespace uv::platform
