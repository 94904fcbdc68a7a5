#include "platform/machine/Machine.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include "platform/registry/Registry.h"
#include "tests/platform/registry/TempRoot.h"

namespace uv::platform {
namespace {

constexpr const char* kComputerNameKey =
    "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

std::string HostName() {
  char name[256] = {};
  EXPECT_EQ(::gethostname(name, sizeof name - 1), 0);
  return name;
}

// Sets or clears an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(MachineTest, DefaultRootFollowsTheEnvironmentThenTheUser) {
  {
    ScopedEnv root("USBVANTREL_ROOT", "/srv/machines/client-7");
    EXPECT_EQ(Machine::DefaultRoot(), "/srv/machines/client-7");
  }
  {
    ScopedEnv root("USBVANTREL_ROOT", "");
    ScopedEnv home("HOME", "/home/someone");
    const std::filesystem::path expected =
        ::geteuid() == 0 ? "/var/lib/usbvantrel" : "/home/someone/.local/share/usbvantrel";
    EXPECT_EQ(Machine::DefaultRoot(), expected);
  }
}

TEST(MachineTest, DirectoriesLieBelowTheRootAndAreCreatedOnRequest) {
  test::TempRoot temp;
  const auto root = temp.path() / "pc";
  Machine machine(root);
  EXPECT_EQ(machine.Root(), root);
  EXPECT_FALSE(std::filesystem::exists(root));
  EXPECT_EQ(machine.RegistryFile(), root / "registry.db");

  const struct {
    std::filesystem::path got;
    std::filesystem::path want;
  } dirs[] = {
      {machine.WindowsDirectory(), root / "Windows"},
      {machine.SystemDirectory(), root / "Windows" / "System32"},
      {machine.MediaDirectory(), root / "Windows" / "Media"},
      {machine.VolumesDirectory(), root / "Volumes"},
      {machine.RunDirectory(), root / "run"},
  };
  for (const auto& d : dirs) {
    EXPECT_EQ(d.got, d.want);
    EXPECT_TRUE(std::filesystem::is_directory(d.want)) << d.want;
  }
  const auto hosts = machine.HostsFile();
  EXPECT_EQ(hosts, root / "Windows" / "System32" / "drivers" / "etc" / "hosts");
  EXPECT_TRUE(std::filesystem::is_directory(hosts.parent_path()));
  EXPECT_FALSE(std::filesystem::exists(hosts)) << "only the directory is made, not the file";
  EXPECT_EQ(machine.EventLogFile(), root / "EventLog.log");
}

TEST(MachineTest, ComputerNameComesFromTheRegistryElseTheHostName) {
  test::TempRoot temp;
  Machine machine(temp.path());
  EXPECT_EQ(machine.ComputerName(), HostName());

  auto registry = machine.OpenRegistry();
  ASSERT_TRUE(registry);
  auto key = RegKey::Create(**registry, kComputerNameKey);
  ASSERT_TRUE(key);
  ASSERT_EQ(key->SetString("ComputerName", "CLIENT-7"), kErrorSuccess);
  EXPECT_EQ(machine.ComputerName(), "CLIENT-7");

  // An empty name or one of the wrong type is no name.
  ASSERT_EQ(key->SetString("ComputerName", ""), kErrorSuccess);
  EXPECT_EQ(machine.ComputerName(), HostName());
  ASSERT_EQ(key->SetDword("ComputerName", 7), kErrorSuccess);
  EXPECT_EQ(machine.ComputerName(), HostName());

  // A second machine root is another computer with its own name.
  test::TempRoot otherTemp;
  Machine other(otherTemp.path());
  auto otherRegistry = other.OpenRegistry();
  ASSERT_TRUE(otherRegistry);
  ASSERT_EQ(RegKey::Create(**otherRegistry, kComputerNameKey)->SetString("ComputerName", "PC-2"),
            kErrorSuccess);
  EXPECT_EQ(other.ComputerName(), "PC-2");
  EXPECT_EQ(machine.ComputerName(), HostName());
}

// The name is kept between calls; a commit by any other connection to the registry (another
// process, here another connection in this one) still counts at the very next call.
TEST(MachineTest, ANameCommittedElsewhereCountsAtTheNextCall) {
  test::TempRoot temp;
  Machine machine(temp.path());
  ASSERT_TRUE(machine.OpenRegistry());
  auto other = Registry::Open(machine.RegistryFile());
  ASSERT_TRUE(other);
  auto key = RegKey::Create(**other, kComputerNameKey);
  ASSERT_TRUE(key);
  for (const char* name : {"FIRST", "SECOND", "THIRD"}) {
    ASSERT_EQ(key->SetString("ComputerName", name), kErrorSuccess);
    EXPECT_EQ(machine.ComputerName(), name);
    EXPECT_EQ(machine.ComputerName(), name);
  }
  ASSERT_EQ(key->DeleteValue("ComputerName"), kErrorSuccess);
  EXPECT_EQ(machine.ComputerName(), HostName());
  ASSERT_EQ(key->SetString("ComputerName", "BACK"), kErrorSuccess);
  EXPECT_EQ(machine.ComputerName(), "BACK");
}

TEST(MachineTest, RegistryIsOpenedOnceAndACorruptOneIsNamedAndRetried) {
  test::TempRoot temp;
  { std::ofstream(temp.db(), std::ios::binary) << std::string(2048, '\x07'); }
  Machine machine(temp.path());
  auto failed = machine.OpenRegistry();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), kErrorRegistryCorrupt);
  EXPECT_NE(machine.RegistryError().find(temp.db().string()), std::string::npos)
      << machine.RegistryError();
  EXPECT_EQ(machine.ComputerName(), HostName());
  EXPECT_EQ(std::filesystem::file_size(temp.db()), 2048u);

  // Once the administrator removes the bad file, the next attempt opens a fresh registry.
  std::filesystem::remove(temp.db());
  auto first = machine.OpenRegistry();
  ASSERT_TRUE(first);
  EXPECT_EQ(machine.RegistryError(), "");
  auto second = machine.OpenRegistry();
  ASSERT_TRUE(second);
  EXPECT_EQ(*first, *second);
}

TEST(MachineTest, CurrentIsTheDefaultRoot) {
  test::TempRoot temp;
  ScopedEnv root("USBVANTREL_ROOT", temp.path().c_str());
  // Current() is fixed on first use; this process has not used it before this test.
  EXPECT_EQ(Machine::Current().Root(), temp.path());
  EXPECT_EQ(&Machine::Current(), &Machine::Current());
}

}  // namespace
}  // namespace uv::platform
