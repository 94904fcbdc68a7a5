#include "platform/sync/NamedMutex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/machine/Machine.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace uv::platform {
namespace {

using namespace std::chrono_literals;

// The helper process (MutexHelper.cpp) holding a mutex, talked to over its stdin and stdout.
class Helper {
 public:
  Helper(const std::filesystem::path& root, const std::string& name, const std::string& mode) {
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    const std::string rootText = root.string();
    char* argv[] = {const_cast<char*>(UV_SYNC_MUTEX_HELPER), const_cast<char*>(rootText.c_str()),
                    const_cast<char*>(name.c_str()), const_cast<char*>(mode.c_str()), nullptr};
    if (::posix_spawn(&pid_, UV_SYNC_MUTEX_HELPER, &actions, nullptr, argv, environ) != 0) {
      ADD_FAILURE() << "spawn " << UV_SYNC_MUTEX_HELPER;
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in_ = ::fdopen(toChild[1], "w");
    out_ = ::fdopen(fromChild[0], "r");
  }
  ~Helper() {
    if (in_ != nullptr) std::fclose(in_);
    if (pid_ > 0) Wait();
    if (out_ != nullptr) std::fclose(out_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  std::string ReadLine() {
    char line[128] = {};
    if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr) return "<eof>";
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  std::string Ask(const std::string& command) {
    std::fprintf(in_, "%s\n", command.c_str());
    std::fflush(in_);
    return ReadLine();
  }
  // Ends the helper normally (its handle closes) and returns its exit code.
  int Finish() {
    std::fclose(in_);
    in_ = nullptr;
    return Wait();
  }
  // Ends it the hard way: nothing of its own runs, the kernel drops its locks.
  void Kill() {
    ::kill(pid_, SIGKILL);
    Wait();
  }

 private:
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

class NamedMutexTest : public ::testing::Test {
 protected:
  NamedMutexTest() { machine_ = std::make_unique<Machine>(root_); }
  test::TempDir temp_{"uv-mutex"};
  const std::filesystem::path root_ = temp_.path();
  std::unique_ptr<Machine> machine_;
};

TEST_F(NamedMutexTest, CreateReportsWhetherItAlreadyExisted_OpenNeedsAnOpenHandle) {
  EXPECT_EQ(NamedMutex::OpenExisting(*machine_, "USBVantrel_Mutex").error(), kErrorFileNotFound);
  {
    auto first = NamedMutex::Create(*machine_, "USBVantrel_Mutex", true);
    ASSERT_TRUE(first.ok());
    EXPECT_FALSE(first->AlreadyExisted());
    EXPECT_TRUE(first->Owns());
    auto second = NamedMutex::Create(*machine_, "USBVantrel_Mutex", true);
    ASSERT_TRUE(second.ok());
    EXPECT_TRUE(second->AlreadyExisted());
    EXPECT_FALSE(second->Owns());  // initial ownership only for the creator
    auto opened = NamedMutex::OpenExisting(*machine_, "USBVantrel_Mutex");
    ASSERT_TRUE(opened.ok());
    EXPECT_FALSE(opened->Owns());
    // Names are case-sensitive.
    EXPECT_EQ(NamedMutex::OpenExisting(*machine_, "usbvantrel_mutex").error(), kErrorFileNotFound);
  }
  // Every handle closed: the mutex is gone even though its files stay.
  EXPECT_EQ(NamedMutex::OpenExisting(*machine_, "USBVantrel_Mutex").error(), kErrorFileNotFound);
  auto again = NamedMutex::Create(*machine_, "USBVantrel_Mutex", false);
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(again->AlreadyExisted());
}

TEST_F(NamedMutexTest, OwnershipIsExclusiveAndCountsRecursiveWaits) {
  auto a = NamedMutex::Create(*machine_, "m", false);
  auto b = NamedMutex::OpenExisting(*machine_, "m");
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->Release(), kErrorNotOwner);
  ASSERT_EQ(*a->Wait(0ms), WaitResult::kSignalled);
  ASSERT_EQ(*a->Wait(0ms), WaitResult::kSignalled);  // again, by the owner
  EXPECT_EQ(*b->Wait(0ms), WaitResult::kTimeout);
  EXPECT_EQ(*b->Wait(30ms), WaitResult::kTimeout);
  EXPECT_EQ(a->Release(), kErrorSuccess);
  EXPECT_EQ(*b->Wait(0ms), WaitResult::kTimeout);  // still owned once
  EXPECT_EQ(a->Release(), kErrorSuccess);
  EXPECT_EQ(*b->Wait(0ms), WaitResult::kSignalled);
  EXPECT_EQ(a->Release(), kErrorNotOwner);
  // Closing the owning handle releases the mutex.
  b->Close();
  EXPECT_EQ(*a->Wait(0ms), WaitResult::kSignalled);
}

TEST_F(NamedMutexTest, NamesAreValidatedAndKeptApart) {
  EXPECT_EQ(NamedMutex::Create(*machine_, "", false).error(), kErrorInvalidName);
  EXPECT_EQ(NamedMutex::Create(*machine_, std::string(256, 'n'), false).error(), kErrorInvalidName);
  EXPECT_EQ(NamedMutex::Create(*machine_, std::string("a\0b", 3), false).error(),
            kErrorInvalidName);
  // Long names (and long after escaping) work, and differ as long as the names do.
  auto longA = NamedMutex::Create(*machine_, std::string(254, '/') + "a", false);
  auto longB = NamedMutex::Create(*machine_, std::string(254, '/') + "b", false);
  ASSERT_TRUE(longA.ok() && longB.ok());
  EXPECT_FALSE(longB->AlreadyExisted());
  EXPECT_TRUE(NamedMutex::Create(*machine_, std::string(254, '/') + "a", false)->AlreadyExisted());
  // Separators and escapes in names stay inside the mutex folder and stay distinct.
  auto global = NamedMutex::Create(*machine_, "Global\\X", false);
  auto slash = NamedMutex::Create(*machine_, "../X", false);
  ASSERT_TRUE(global.ok() && slash.ok());
  for (const char* other : {"Global_X", "Global%5CX", "..%2FX", "X"}) {
    auto mutex = NamedMutex::Create(*machine_, other, false);
    ASSERT_TRUE(mutex.ok()) << other;
    EXPECT_FALSE(mutex->AlreadyExisted()) << other;
  }
  EXPECT_FALSE(std::filesystem::exists(root_ / "run" / "X.exist"));
}

TEST_F(NamedMutexTest, SecondProcessSeesTheMutexOfTheFirst) {
  Helper first(root_, "USBVantrel_Mutex", "create-owned");
  ASSERT_EQ(first.ReadLine(), "created owned");

  // The single-instance guard of a second console: the mutex is there, the check mutex not.
  auto seen = NamedMutex::OpenExisting(*machine_, "USBVantrel_Mutex");
  ASSERT_TRUE(seen.ok());
  EXPECT_EQ(NamedMutex::OpenExisting(*machine_, "USBVantrel_Check_Mutex").error(),
            kErrorFileNotFound);
  auto check = NamedMutex::Create(*machine_, "USBVantrel_Check_Mutex", true);
  ASSERT_TRUE(check.ok());
  EXPECT_FALSE(check->AlreadyExisted());

  // A third process finds both.
  Helper third(root_, "USBVantrel_Check_Mutex", "open");
  EXPECT_EQ(third.ReadLine(), "opened");
  Helper fourth(root_, "USBVantrel_Mutex", "create");
  EXPECT_EQ(fourth.ReadLine(), "existed");

  // Ownership crosses processes too.
  EXPECT_EQ(*seen->Wait(0ms), WaitResult::kTimeout);
  EXPECT_EQ(first.Ask("release"), "released");
  EXPECT_EQ(*seen->Wait(5s), WaitResult::kSignalled);
  EXPECT_EQ(seen->Release(), kErrorSuccess);
  EXPECT_EQ(third.Finish(), 0);
}

TEST_F(NamedMutexTest, OwnerThatDiesReleasesOwnershipAndExistence) {
  Helper owner(root_, "held", "create-owned");
  ASSERT_EQ(owner.ReadLine(), "created owned");
  {
    auto watcher = NamedMutex::OpenExisting(*machine_, "held");
    ASSERT_TRUE(watcher.ok());
    EXPECT_EQ(*watcher->Wait(0ms), WaitResult::kTimeout);
    owner.Kill();
    EXPECT_EQ(*watcher->Wait(5s), WaitResult::kSignalled);
  }
  // The dead process's handle is gone and ours is closed: the mutex no longer exists.
  EXPECT_EQ(NamedMutex::OpenExisting(*machine_, "held").error(), kErrorFileNotFound);

  Helper late(root_, "held", "open");
  EXPECT_EQ(late.ReadLine(), "notfound");
  EXPECT_EQ(late.Finish(), 3);
}

TEST_F(NamedMutexTest, AWaitingProcessGetsTheMutexWhenTheOwnerReleasesIt) {
  auto mine = NamedMutex::Create(*machine_, "queue", true);
  ASSERT_TRUE(mine.ok());
  Helper other(root_, "queue", "open");
  ASSERT_EQ(other.ReadLine(), "opened");
  // The helper blocks in an infinite wait until we release.
  std::thread asker([&] { EXPECT_EQ(other.Ask("wait"), "owned"); });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(mine->Release(), kErrorSuccess);
  asker.join();
  EXPECT_EQ(*mine->Wait(0ms), WaitResult::kTimeout);
  EXPECT_EQ(other.Finish(), 0);
  EXPECT_EQ(*mine->Wait(5s), WaitResult::kSignalled);
}

}  // namespace
}  // namespace uv::platform
