// Several processes on one registry: the test binary starts copies of itself that run one of
// the RegistryChild tests below, chosen by --gtest_filter and steered by the environment. A
// child that runs to the end leaves a marker file, so a child that was skipped or died early
// cannot pass for one that succeeded.

#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "tests/platform/registry/TempRoot.h"

extern char** environ;

namespace uv::platform {
namespace {

constexpr const char* kRoleVariable = "UV_REGTEST_ROLE";
constexpr const char* kDbVariable = "UV_REGTEST_DB";
constexpr const char* kNameVariable = "UV_REGTEST_NAME";
constexpr const char* kMarkerVariable = "UV_REGTEST_MARKER";
constexpr int kWriterRounds = 300;
constexpr std::uint32_t kNobody = 65534;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void LeaveMarker() {
  std::ofstream(Env(kMarkerVariable)) << "done\n";
}

// Starts this binary running one child test; returns its pid or -1.
pid_t StartChild(const std::string& test, const std::vector<std::string>& variables) {
  std::vector<std::string> storage = variables;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("UV_REGTEST_", 0) != 0 && entry.rfind("GTEST_", 0) != 0) {
      storage.push_back(entry);
    }
  }
  std::vector<char*> envp;
  for (std::string& entry : storage) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string exe = "/proc/self/exe";
  std::string filter = "--gtest_filter=" + test;
  char* argv[] = {exe.data(), filter.data(), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// --- children ---------------------------------------------------------------------------------

TEST(RegistryChild, Writer) {
  if (Env(kRoleVariable) != "writer") GTEST_SKIP() << "run by RegistryProcessTest";
  auto registry = Registry::Open(Env(kDbVariable));
  ASSERT_TRUE(registry) << registry.error();
  const std::string name = Env(kNameVariable);
  for (int i = 1; i <= kWriterRounds; ++i) {
    // Both writers create and write the same shared key while each also fills its own.
    auto shared = RegKey::Create(**registry, "Procs\\Shared");
    ASSERT_TRUE(shared) << shared.error();
    ASSERT_EQ(shared->SetDword(name, static_cast<std::uint32_t>(i)), kErrorSuccess);
    ASSERT_EQ(shared->SetString("last", name), kErrorSuccess);
    auto own = RegKey::Create(**registry, "Procs\\" + name + "\\K" + std::to_string(i % 10));
    ASSERT_TRUE(own) << own.error();
    ASSERT_EQ(own->SetDword("round", static_cast<std::uint32_t>(i)), kErrorSuccess);
    auto back = RegKey::Open(**registry, "procs\\shared");
    ASSERT_TRUE(back);
    ASSERT_EQ(back->QueryDword(name).value_or(0), static_cast<std::uint32_t>(i));
  }
  LeaveMarker();
}

TEST(RegistryChild, Nobody) {
  if (Env(kRoleVariable) != "nobody") GTEST_SKIP() << "run by RegistryProcessTest";
  ASSERT_EQ(::setgroups(0, nullptr), 0);
  ASSERT_EQ(::setgid(kNobody), 0);
  ASSERT_EQ(::setuid(kNobody), 0);
  ASSERT_NE(::access(Env(kDbVariable).c_str(), W_OK), 0) << "still allowed to write";

  auto registry = Registry::Open(Env(kDbVariable));
  ASSERT_TRUE(registry) << registry.error();
  EXPECT_FALSE((*registry)->IsAdministrator());

  auto key = RegKey::Open(**registry, "Software\\Quorrel");
  ASSERT_TRUE(key) << key.error();
  EXPECT_EQ(key->QueryDword("Canary").value_or(0), 0xC0FFEEu);
  EXPECT_EQ(key->QueryString("Latest").value_or(""), Env(kNameVariable));
  EXPECT_EQ(key->EnumValue(0)->name, "Canary");

  EXPECT_EQ(RegKey::Open(**registry, "Software\\Quorrel", RegAccess::kAll).error(),
            kErrorAccessDenied);
  EXPECT_EQ(RegKey::Open(**registry, "Software\\Quorrel", RegAccess::kWrite).error(),
            kErrorAccessDenied);
  EXPECT_EQ(RegKey::Create(**registry, "Software\\Quorrel").error(), kErrorAccessDenied);
  EXPECT_EQ(RegKey::Create(**registry, "Software\\Intruder").error(), kErrorAccessDenied);
  EXPECT_EQ(key->SetDword("Canary", 1), kErrorAccessDenied);
  EXPECT_EQ(key->DeleteValue("Canary"), kErrorAccessDenied);
  EXPECT_EQ(key->DeleteTree(""), kErrorAccessDenied);
  EXPECT_EQ(key->DeleteSubKey("Sub"), kErrorAccessDenied);
  EXPECT_EQ(key->QueryDword("Canary").value_or(0), 0xC0FFEEu);
  if (!::testing::Test::HasFailure()) LeaveMarker();
}

TEST(RegistryChild, EnumWriter) {
  if (Env(kRoleVariable) != "enumwriter") GTEST_SKIP() << "run by RegistryProcessTest";
  auto registry = Registry::Open(Env(kDbVariable));
  ASSERT_TRUE(registry) << registry.error();
  auto walked = RegKey::Open(**registry, "Walked", RegAccess::kAll);
  ASSERT_TRUE(walked) << walked.error();
  ASSERT_TRUE(walked->CreateSubKey("FromChild"));
  ASSERT_EQ(walked->DeleteSubKey("Gone"), kErrorSuccess);
  ASSERT_EQ(walked->SetString("Second", "child"), kErrorSuccess);
  ASSERT_EQ(walked->DeleteTree("Doomed"), kErrorSuccess);
  LeaveMarker();
}

// --- parents ----------------------------------------------------------------------------------

TEST(RegistryProcessTest, TwoProcessesWriteAtOnceWithoutLosingAnything) {
  test::TempRoot root;
  // The parent reads before and after the children write: what it read first must not be
  // served again once they have committed.
  auto registry = Registry::Open(root.db());
  ASSERT_TRUE(registry);
  ASSERT_TRUE(RegKey::Create(**registry, "Procs\\Shared"));
  {
    auto before = RegKey::Open(**registry, "Procs\\Shared");
    ASSERT_TRUE(before);
    EXPECT_EQ(before->QueryDword("Alpha").error(), kErrorFileNotFound);
    EXPECT_EQ(RegKey::Open(**registry, "Procs\\Alpha").error(), kErrorFileNotFound);
  }
  const std::string db = root.db().string();
  std::vector<pid_t> children;
  for (const char* name : {"Alpha", "Beta"}) {
    const pid_t pid =
        StartChild("RegistryChild.Writer",
                   {std::string(kRoleVariable) + "=writer", std::string(kDbVariable) + "=" + db,
                    std::string(kNameVariable) + "=" + name,
                    std::string(kMarkerVariable) + "=" + (root.path() / name).string()});
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  for (pid_t pid : children) EXPECT_EQ(WaitChild(pid), 0);
  EXPECT_TRUE(std::filesystem::exists(root.path() / "Alpha"));
  EXPECT_TRUE(std::filesystem::exists(root.path() / "Beta"));

  auto shared = RegKey::Open(**registry, "Procs\\Shared");
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared->QueryDword("Alpha").value_or(0), static_cast<std::uint32_t>(kWriterRounds));
  EXPECT_EQ(shared->QueryDword("Beta").value_or(0), static_cast<std::uint32_t>(kWriterRounds));
  EXPECT_EQ(shared->ValueCount().value_or(0), 3u);
  const std::string last = shared->QueryString("last").value_or("");
  EXPECT_TRUE(last == "Alpha" || last == "Beta") << last;
  auto procs = RegKey::Open(**registry, "Procs");
  ASSERT_TRUE(procs);
  EXPECT_EQ(procs->SubKeyCount().value_or(0), 3u);
  for (const char* name : {"Alpha", "Beta"}) {
    auto own = RegKey::Open(**registry, std::string("Procs\\") + name);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->SubKeyCount().value_or(0), 10u);
  }
}

TEST(RegistryProcessTest, EnumerationSeesWhatAnotherProcessCommitted) {
  test::TempRoot root;
  auto registry = Registry::Open(root.db());
  ASSERT_TRUE(registry);
  auto walked = RegKey::Create(**registry, "Walked");
  ASSERT_TRUE(walked);
  for (const char* name : {"First", "Gone", "Last", "Doomed\\Inner"}) {
    ASSERT_TRUE(walked->CreateSubKey(name));
  }
  ASSERT_EQ(walked->SetString("First", "parent"), kErrorSuccess);
  ASSERT_EQ(walked->SetString("Second", "parent"), kErrorSuccess);
  auto doomed = RegKey::Open(**registry, "Walked\\Doomed");
  ASSERT_TRUE(doomed);
  // Read twice, so that the second answer comes from memory.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(walked->EnumKeys().value_or(std::vector<std::string>{}),
              (std::vector<std::string>{"First", "Gone", "Last", "Doomed"}));
    EXPECT_EQ(walked->EnumKey(1).value_or(""), "Gone");
    EXPECT_EQ(walked->EnumKey(4).error(), kErrorNoMoreItems);
    EXPECT_EQ(walked->EnumValue(1)->value.data.size(), 7u);
    EXPECT_EQ(doomed->EnumKey(0).value_or(""), "Inner");
  }

  const pid_t pid =
      StartChild("RegistryChild.EnumWriter",
                 {std::string(kRoleVariable) + "=enumwriter",
                  std::string(kDbVariable) + "=" + root.db().string(),
                  std::string(kMarkerVariable) + "=" + (root.path() / "enumwriter").string()});
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitChild(pid), 0);
  EXPECT_TRUE(std::filesystem::exists(root.path() / "enumwriter"));

  EXPECT_EQ(walked->EnumKey(1).value_or(""), "Last");
  EXPECT_EQ(walked->EnumKey(2).value_or(""), "FromChild");
  EXPECT_EQ(walked->EnumKey(3).error(), kErrorNoMoreItems);
  EXPECT_EQ(walked->EnumKeys().value_or(std::vector<std::string>{}),
            (std::vector<std::string>{"First", "Last", "FromChild"}));
  auto second = walked->EnumValue(1);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->name, "Second");
  EXPECT_EQ(second->value.data.size(), 6u);
  EXPECT_EQ(doomed->EnumKey(0).error(), kErrorKeyDeleted);
  EXPECT_EQ(doomed->EnumKeys().error(), kErrorKeyDeleted);
}

class UnprivilegedTest : public ::testing::TestWithParam<bool> {};

// The parameter says whether the administrator's process keeps the registry open while the
// unprivileged one reads: SQLite's shared-memory index then exists and is in use, or not.
TEST_P(UnprivilegedTest, ReadsButCannotWriteARootOwnedRegistry) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a process as nobody";
  const bool keepOpen = GetParam();
  test::TempRoot root;
  std::filesystem::permissions(
      root.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                       std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                       std::filesystem::perms::others_exec);
  const auto out = root.path() / "out";
  std::filesystem::create_directories(out);
  std::filesystem::permissions(out, std::filesystem::perms::all);
  // Even a strict umask must not lock readers out of a registry created by the administrator.
  const mode_t oldMask = ::umask(077);
  auto registry = Registry::Open(root.db());
  ::umask(oldMask);
  ASSERT_TRUE(registry);
  {
    auto key = RegKey::Create(**registry, "Software\\Quorrel\\Sub");
    ASSERT_TRUE(key);
    auto parent = RegKey::Open(**registry, "Software\\Quorrel", RegAccess::kWrite);
    ASSERT_TRUE(parent);
    ASSERT_EQ(parent->SetDword("Canary", 0xC0FFEE), kErrorSuccess);
    ASSERT_EQ(parent->SetString("Latest", "written-last"), kErrorSuccess);
  }
  if (!keepOpen) registry->reset();

  const auto marker = out / "nobody";
  const pid_t pid =
      StartChild("RegistryChild.Nobody", {std::string(kRoleVariable) + "=nobody",
                                          std::string(kDbVariable) + "=" + root.db().string(),
                                          std::string(kNameVariable) + "=written-last",
                                          std::string(kMarkerVariable) + "=" + marker.string()});
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitChild(pid), 0);
  EXPECT_TRUE(std::filesystem::exists(marker)) << "the unprivileged checks did not all pass";

  auto check = Registry::Open(root.db());
  ASSERT_TRUE(check);
  EXPECT_EQ(RegKey::Open(**check, "Software\\Intruder").error(), kErrorFileNotFound);
  auto key = RegKey::Open(**check, "Software\\Quorrel");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->QueryDword("Canary").value_or(0), 0xC0FFEEu);
  EXPECT_EQ(key->SubKeyCount().value_or(0), 1u);
}

INSTANTIATE_TEST_SUITE_P(WriterOpenOrClosed, UnprivilegedTest, ::testing::Bool());

}  // namespace
}  // namespace uv::platform
