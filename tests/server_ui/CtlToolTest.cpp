// usbvantrel-ctl in-process against the stand-in agent: outputs, frames, exit codes.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/machine/Machine.h"
#include "tests/server_ui/StandInAgent.h"
#include "tests/support/TempMachine.h"
#include "tools/usbvantrel-ctl/CtlTool.h"

namespace uv::ctl {
namespace {

using namespace std::chrono_literals;

TEST(CtlToolTest, GetAndSetEverySettingWithTheDialogsTextsAndExitCodes) {
  server::test::StandInAgent agent;
  agent.lists = {"alice", "", "Kingston DT"};
  agent.minutes = 30;
  uv::test::TempMachine temp;
  platform::Machine& machine = temp.machine();
  const server::ExchangeLimits limits{.connect = 1000ms, .reply = 300ms, .port = agent.Port()};
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out;
    std::string err;  // a prefix of the error output
  };
  const std::vector<Case> cases = {
      {{"127.0.0.1", "get", "block"}, kExitOk, "off\n", ""},
      {{"127.0.0.1", "set", "block", "on"},
       kExitOk,
       "Settings are applied to specified client.\n",
       ""},
      {{"127.0.0.1", "get", "block"}, kExitOk, "on\n", ""},
      {{"127.0.0.1", "get", "whitelist"},
       kExitOk,
       "users: alice\ndevices: \nmakes: Kingston DT\n",
       ""},
      {{"127.0.0.1", "set", "whitelist", "bob,carol", "-", "-"},
       kExitOk,
       "Settings are applied to specified client.\n",
       ""},
      {{"127.0.0.1", "get", "idle"}, kExitOk, "30\n", ""},
      {{"127.0.0.1", "set", "idle", "45"}, kExitUsage, "", "usbvantrel-ctl: MINUTES"},
      {{"127.0.0.1", "set", "idle", "120"},
       kExitOk,
       "Settings are applied to specified client.\n",
       ""},
      {{"127.0.0.1", "set", "offline", "maybe"}, kExitUsage, "", "usbvantrel-ctl: expected on"},
      {{"127.0.0.1", "set", "offline", "on"},
       kExitOk,
       "Settings are applied to specified client.\n",
       ""},
      {{"127.0.0.1", "get", "offline"}, kExitOk, "on\n", ""},
      {{"PC 12", "get", "idle"}, kExitUsage, "", "Please Enter Valid Name of Client"},
      {{"no-such-client.invalid", "get", "idle"},
       kExitUnreachable,
       "",
       "Error connecting to specified client"},
      {{"127.0.0.1", "get"}, kExitUsage, "", "usbvantrel-ctl: too few"},
      {{"--help"}, kExitOk, "Usage: usbvantrel-ctl HOST get", ""},
  };
  for (const Case& c : cases) {
    std::ostringstream out, err;
    EXPECT_EQ(RunCtl(c.args, machine, limits, out, err), c.code) << c.args.back();
    EXPECT_EQ(out.str().substr(0, c.out.size()), c.out) << c.args.back();
    EXPECT_EQ(err.str().rfind(c.err, 0), 0u) << err.str();
  }
  EXPECT_EQ(agent.lists, (protocol::WhiteLists{"bob,carol", "", ""}));
  EXPECT_EQ(agent.minutes, 120);

  agent.SetBehaviour(server::test::PeerBehaviour::kGarbage);
  std::ostringstream out, err;
  EXPECT_EQ(RunCtl({"127.0.0.1", "get", "idle"}, machine, limits, out, err), kExitBadReply);
  agent.SetBehaviour(server::test::PeerBehaviour::kSilent);
  EXPECT_EQ(RunCtl({"127.0.0.1", "get", "idle"}, machine, limits, out, err), kExitUnreachable);
}

}  // namespace
}  // namespace uv::ctl
