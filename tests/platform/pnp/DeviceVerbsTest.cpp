// The device verbs of usbvantrel-sim, driven in-process: exit codes, messages, and that a
// refused command changes nothing.

#include "tools/usbvantrel-sim/DeviceVerbs.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceState.h"
#include "tests/platform/pnp/PnpTestSupport.h"

namespace uv::sim {
namespace {

constexpr SimVerb kVerbs[] = {kPlugVerb, kUnplugVerb, kEjectVerb, kListVerb};

class DeviceVerbsTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args) {
    out_.str({});
    err_.str({});
    return RunSim(kVerbs, temp_.machine(), args, out_, err_);
  }
  std::size_t DeviceCount() {
    auto state = platform::StateStore(temp_.machine()).Read();
    return state ? state->devices.size() : 999;
  }
  std::vector<std::string> Stick(std::string serial) {
    return {"plug", "--vid",    "0781",    "--pid",     "5567",        "--serial",
            serial, "--vendor", "SanDisk", "--product", "Cruzer Blade"};
  }

  uv::testing::TempMachine temp_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(DeviceVerbsTest, BadCommandLinesAreUsageErrorsThatChangeNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {"plug"},
      {"plug", "--vid", "0781", "--serial", "X"},
      {"plug", "--vid", "12345", "--pid", "1", "--serial", "X"},
      {"plug", "--vid", "zz", "--pid", "1", "--serial", "X"},
      {"plug", "--vid", "1", "--pid", "1"},
      {"plug", "--vid", "1", "--pid", "1", "--serial", "X", "--no-serial"},
      {"plug", "--vid", "1", "--pid", "1", "--serial", "X", "--kind", "tape"},
      {"plug", "--vid", "1", "--pid", "1", "--serial", "X", "--letter", "7"},
      {"plug", "--vid", "1", "--pid", "1", "--serial", "X", "--bogus"},
      {"plug", "--vid", "1", "--pid", "1", "--serial"},
      {"unplug"},
      {"unplug", "a", "b"},
      {"eject"},
      {"eject", "not-a-letter"},
      {"list", "extra"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(args.size() > 1 ? args[0] + " " + args[1] : args[0]);
    EXPECT_EQ(Run(args), kExitUsage);
    EXPECT_NE(err_.str().find("Usage: usbvantrel-sim " + args[0]), std::string::npos) << err_.str();
  }
  EXPECT_EQ(DeviceCount(), 0u);
}

TEST_F(DeviceVerbsTest, RefusedOperationsFailWithAReason) {
  auto missingDir = Stick("S1");
  missingDir.insert(missingDir.end(), {"--dir", (temp_.root() / "nope").string()});
  EXPECT_EQ(Run(missingDir), kExitFailed);
  EXPECT_NE(err_.str().find("not an existing directory"), std::string::npos);
  EXPECT_EQ(Run({"plug", "--vid", "1", "--pid", "1", "--serial", "bad serial"}), kExitFailed);
  EXPECT_EQ(DeviceCount(), 0u);

  ASSERT_EQ(Run(Stick("S1")), kExitOk);
  EXPECT_EQ(Run(Stick("S1")), kExitFailed);
  EXPECT_NE(err_.str().find("already plugged in"), std::string::npos);
  EXPECT_EQ(Run({"unplug", "NOSUCH"}), kExitFailed);
  EXPECT_EQ(Run({"eject", "Q"}), kExitFailed);
  EXPECT_NE(err_.str().find("no drive Q:"), std::string::npos);
  EXPECT_EQ(DeviceCount(), 2u);
}

TEST_F(DeviceVerbsTest, PlugListEjectAndUnplug) {
  const auto files = temp_.root() / "files";
  std::filesystem::create_directories(files);
  auto plug = Stick("A1");
  plug.insert(plug.end(), {"--dir", files.string(), "--letter", "k:"});
  ASSERT_EQ(Run(plug), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("device USB\\VID_0781&PID_5567\\A1\n"), std::string::npos);
  EXPECT_NE(out_.str().find("drive K:\n"), std::string::npos);
  ASSERT_EQ(Run({"plug", "--vid", "046d", "--pid", "c077", "--no-serial", "--kind", "other",
                 "--product", "Mouse"}),
            kExitOk);

  {
    auto hold = platform::HandleHold::ForPath(temp_.machine(), "K:\\");
    ASSERT_TRUE(hold.ok());
    ASSERT_EQ(Run({"list"}), kExitOk);
    const std::string list = out_.str();
    EXPECT_NE(list.find("K:  removable"), std::string::npos) << list;
    EXPECT_NE(list.find("USB\\VID_046D&PID_C077\\"), std::string::npos);
    EXPECT_NE(list.find("(pid " + std::to_string(::getpid()) + ")  K:\\"), std::string::npos)
        << list;
    EXPECT_EQ(Run({"eject", "K"}), kExitFailed);
    EXPECT_NE(err_.str().find("a handle is open"), std::string::npos) << err_.str();
  }
  EXPECT_EQ(Run({"eject", "k:"}), kExitOk);
  EXPECT_EQ(DeviceCount(), 1u);
  EXPECT_EQ(Run({"unplug", "USB\\VID_046D&PID_C077\\5&2f1b5c2a&0&1"}), kExitOk) << err_.str();
  EXPECT_EQ(DeviceCount(), 0u);
  ASSERT_EQ(Run({"list"}), kExitOk);
  EXPECT_NE(out_.str().find("Devices:\n  (none)\n"), std::string::npos);
}

TEST_F(DeviceVerbsTest, EveryVerbExplainsItself) {
  for (const auto& verb : kVerbs) {
    EXPECT_EQ(Run({std::string(verb.name), "--help"}), kExitOk);
    EXPECT_NE(out_.str().find("Usage: usbvantrel-sim " + std::string(verb.name)),
              std::string::npos);
  }
  EXPECT_EQ(DeviceCount(), 0u);
}

}  // namespace
}  // namespace uv::sim
