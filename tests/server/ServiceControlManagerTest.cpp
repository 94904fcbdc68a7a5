// The administrator check's stand-in: who may lock the database, and what a held lock answers.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/service/ServiceControlManager.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using namespace uv::platform;

namespace {

class TempRoot : public uv::test::TempDir {
 public:
  TempRoot() : TempDir("uv-scm") {}
};

// Runs `check` in a child process that has given up root (uid/gid of "nobody") and returns its
// exit status; -1 when the child could not drop its rights.
template <class F>
int RunUnprivileged(F check) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
    ::_exit(check());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ServiceControlManager, WriterOfTheRegistryLocksAndReleases) {
  TempRoot root;
  std::ofstream(root.path() / "registry.db") << "x";
  WinError error = 99;
  EXPECT_TRUE(IsAdministrator(root.path(), &error));
  EXPECT_EQ(error, kErrorSuccess);
  // Released at once: a second check succeeds as well, without 1055.
  EXPECT_TRUE(IsAdministrator(root.path(), &error));
  EXPECT_EQ(error, kErrorSuccess);
}

TEST(ServiceControlManager, HeldLockAnswers1055AndStillCountsAsAdministrator) {
  TempRoot root;
  auto manager = ServiceControlManager::Open(root.path(), ScmAccess::kLock);
  ASSERT_TRUE(manager);
  auto held = manager->LockDatabase();
  ASSERT_TRUE(held);

  auto second = manager->LockDatabase();
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), kErrorServiceDatabaseLocked);

  WinError error = 0;
  EXPECT_TRUE(IsAdministrator(root.path(), &error));
  EXPECT_EQ(error, kErrorServiceDatabaseLocked);

  // Once released, the lock is free again.
  { auto release = std::move(held.value()); }
  EXPECT_TRUE(manager->LockDatabase());
}

TEST(ServiceControlManager, HeldByAnotherProcessAnswers1055) {
  TempRoot root;
  int toChild[2];
  int fromChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(fromChild), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    auto manager = ServiceControlManager::Open(root.path(), ScmAccess::kLock);
    auto lock = manager ? manager->LockDatabase() : Result<ScmDatabaseLock>::Failure(1);
    const char ready = lock ? 'y' : 'n';
    (void)!::write(fromChild[1], &ready, 1);
    char done;
    (void)!::read(toChild[0], &done, 1);
    ::_exit(0);
  }
  char ready = 0;
  ASSERT_EQ(::read(fromChild[0], &ready, 1), 1);
  ASSERT_EQ(ready, 'y');
  WinError error = 0;
  EXPECT_TRUE(IsAdministrator(root.path(), &error));
  EXPECT_EQ(error, kErrorServiceDatabaseLocked);
  (void)!::write(toChild[1], "x", 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);
  EXPECT_TRUE(IsAdministrator(root.path(), &error));
  EXPECT_EQ(error, kErrorSuccess);
}

TEST(ServiceControlManager, ConnectOnlyHandleCannotLock) {
  TempRoot root;
  auto manager = ServiceControlManager::Open(root.path(), ScmAccess::kConnect);
  ASSERT_TRUE(manager);
  auto lock = manager->LockDatabase();
  ASSERT_FALSE(lock);
  EXPECT_EQ(lock.error(), kErrorAccessDenied);
}

TEST(ServiceControlManager, OthersAreDeniedTheLockRight) {
  TempRoot root;
  std::ofstream(root.path() / "registry.db") << "x";
  ::chmod(root.path().c_str(), 0755);
  ::chmod((root.path() / "registry.db").c_str(), 0644);
  if (::geteuid() == 0) {
    // Root may write everything; the outsider is played by a child that gives up root.
    const int code = RunUnprivileged([&] {
      auto manager = ServiceControlManager::Open(root.path(), ScmAccess::kLock);
      if (manager) return 1;
      if (manager.error() != kErrorAccessDenied) return 2;
      return IsAdministrator(root.path()) ? 3 : 0;
    });
    if (code == -1) GTEST_SKIP() << "cannot drop root rights here";
    EXPECT_EQ(code, 0);
  } else {
    ::chmod((root.path() / "registry.db").c_str(), 0444);
    auto manager = ServiceControlManager::Open(root.path(), ScmAccess::kLock);
    ASSERT_FALSE(manager);
    EXPECT_EQ(manager.error(), kErrorAccessDenied);
    EXPECT_FALSE(IsAdministrator(root.path()));
  }
}

TEST(ServiceControlManager, MissingRootBelongsToWhoeverMayCreateIt) {
  TempRoot root;
  EXPECT_TRUE(MayAdministerMachine(root.path() / "not" / "yet"));
}
