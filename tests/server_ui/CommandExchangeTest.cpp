// The console's command exchange against a stand-in that answers as the agent does, and against
// clients that do not: silent, garbage, closing, refusing, oversized. Plus the target selection.
#include <gtest/gtest.h>

#include "platform/machine/Machine.h"
#include "server/dialogs/exchange/ClientTarget.h"
#include "server/dialogs/exchange/CommandExchange.h"
#include "tests/server_ui/StandInAgent.h"
#include "tests/support/TempMachine.h"

namespace uv::server {
namespace {

using namespace std::chrono_literals;
using test::PeerBehaviour;
using test::StandInAgent;

class CommandExchangeTest : public ::testing::Test {
 protected:
  CommandExchange& Exchange(std::uint16_t port, std::chrono::milliseconds reply = 3000ms) {
    exchange_ = std::make_unique<CommandExchange>(
        machine_, ExchangeLimits{.connect = 2000ms, .reply = reply, .port = port});
    return *exchange_;
  }
  static ExchangeRequest Query(ExchangeKind kind) {
    return {"127.0.0.1", ExchangePhase::kQuery, 0, kind, {}};
  }
  static ExchangeRequest Apply(ExchangeKind kind, std::string frame) {
    return {"127.0.0.1", ExchangePhase::kApply, 0, kind, std::move(frame)};
  }

  uv::test::TempMachine temp_;
  platform::Machine& machine_ = temp_.machine();
  std::unique_ptr<CommandExchange> exchange_;
};

TEST_F(CommandExchangeTest, QueriesSendTheFixedFramesAndStoreTheReplies) {
  StandInAgent agent;
  auto& exchange = Exchange(agent.Port());
  // Absent settings: not blocked, journal off, 10 minutes, three empty lists.
  struct Case {
    ExchangeKind kind;
    std::string_view frame;  // as on the wire, with the two zero bytes
  };
  const Case cases[] = {{ExchangeKind::kBlockState, {"0004GET;\0\0", 10}},
                        {ExchangeKind::kUsbStatusRow, {"0004GET;\0\0", 10}},
                        {ExchangeKind::kWhiteLists, {"0004GWH;\0\0", 10}},
                        {ExchangeKind::kSaveEnergyTime, {"0004GIT;\0\0", 10}},
                        {ExchangeKind::kOfflineMessage, {"0004GOM;\0\0", 10}}};
  for (const Case& c : cases) {
    ASSERT_EQ(exchange.Run(Query(c.kind)), ExchangeStatus::kDone);
    EXPECT_EQ(agent.Received().back(), c.frame);
    EXPECT_TRUE(exchange.Holders().stored);
  }
  EXPECT_EQ(exchange.Holders().unblocked, 1);
  EXPECT_EQ(exchange.Holders().whiteListText, "-;-;-;");
  EXPECT_EQ(exchange.Holders().idleMinutes, 10);
  EXPECT_EQ(exchange.Holders().offlineSwitch, 0);

  agent.blocked = true;
  agent.offline = true;
  agent.minutes = 45;
  agent.lists = {"alice,bob", "Kingston DT 0123", ""};
  for (ExchangeKind kind : {ExchangeKind::kBlockState, ExchangeKind::kWhiteLists,
                            ExchangeKind::kSaveEnergyTime, ExchangeKind::kOfflineMessage}) {
    ASSERT_EQ(exchange.Run(Query(kind)), ExchangeStatus::kDone);
  }
  EXPECT_EQ(exchange.Holders().unblocked, 0);
  EXPECT_EQ(exchange.Holders().whiteListText, "alice,bob;Kingston DT 0123;-;");
  EXPECT_EQ(exchange.Holders().idleMinutes, 45);
  EXPECT_EQ(exchange.Holders().offlineSwitch, 1);
}

TEST_F(CommandExchangeTest, AppliesSendTheFrameAndWaitForNoReply) {
  StandInAgent agent;
  auto& exchange = Exchange(agent.Port());
  struct Case {
    ExchangeKind kind;
    std::string frame;
    std::string_view wire;
  };
  const Case cases[] = {
      {ExchangeKind::kBlockState, protocol::BuildSetFrame(false), {"0006SET;2;\0\0", 12}},
      {ExchangeKind::kSaveEnergyTime, protocol::BuildSitFrame(60), "   7SIT;60;"},
      {ExchangeKind::kOfflineMessage, protocol::BuildSomFrame(false), "   6SOM;2;"},
      {ExchangeKind::kWhiteLists, protocol::BuildSwhFrame({"", "", ""}), "  11SWH;-;-;-;"},
  };
  agent.blocked = true;
  agent.offline = true;
  agent.lists = {"x", "y", "z"};
  for (const Case& c : cases) {
    ASSERT_EQ(exchange.Run(Apply(c.kind, c.frame)), ExchangeStatus::kDone);
    // The stand-in records the read after the console has gone; wait for it.
    for (int i = 0; i < 200 && agent.Received().size() < static_cast<std::size_t>(&c - cases + 1);
         ++i) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(agent.Received().back(), c.wire);
  }
  EXPECT_FALSE(agent.blocked);
  EXPECT_EQ(agent.minutes, 60);
  EXPECT_FALSE(agent.offline);
  EXPECT_EQ(agent.lists, (protocol::WhiteLists{"", "", ""}));
}

TEST_F(CommandExchangeTest, BadClientsEndTheExchangeWithinItsBounds) {
  StandInAgent agent;
  auto& exchange = Exchange(agent.Port(), 300ms);
  exchange.Holders().idleMinutes = 20;
  exchange.Holders().whiteListText = "kept;-;-;";

  agent.SetBehaviour(PeerBehaviour::kSilent);
  EXPECT_EQ(exchange.Run(Query(ExchangeKind::kSaveEnergyTime)), ExchangeStatus::kTimedOut);
  EXPECT_FALSE(Succeeded(ExchangeStatus::kTimedOut));  // reported like a failed connection

  agent.SetBehaviour(PeerBehaviour::kGarbage);
  EXPECT_EQ(exchange.Run(Query(ExchangeKind::kSaveEnergyTime)), ExchangeStatus::kDone);
  EXPECT_FALSE(exchange.Holders().stored);

  agent.SetBehaviour(PeerBehaviour::kClose);
  EXPECT_EQ(exchange.Run(Query(ExchangeKind::kSaveEnergyTime)), ExchangeStatus::kDone);
  EXPECT_EQ(exchange.Holders().idleMinutes, 20);

  agent.SetBehaviour(PeerBehaviour::kHugeLists);
  EXPECT_EQ(exchange.Run(Query(ExchangeKind::kWhiteLists)), ExchangeStatus::kDone);
  EXPECT_EQ(exchange.Holders().whiteListText, "kept;-;-;");
}

TEST_F(CommandExchangeTest, AClientThatNeverCompletesTheConnectionTimesOut) {
  // It never accepts and its queue is full: the system drops further connection requests, so a
  // connect without a limit would wait for the system's own retries (minutes).
  auto listener = platform::TcpListener::Listen({platform::Ipv4Address::Loopback(), 0}, 1);
  ASSERT_TRUE(listener.ok());
  auto& exchange = Exchange(listener->LocalAddress()->port);
  exchange.SetLimits({.connect = 300ms, .reply = 200ms, .port = listener->LocalAddress()->port});
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(exchange.Run(Query(ExchangeKind::kBlockState)), ExchangeStatus::kTimedOut) << i;
  }
}

TEST_F(CommandExchangeTest, UnreachableAndUnknownTargetsFail) {
  std::uint16_t closedPort = 0;
  {
    StandInAgent gone;
    closedPort = gone.Port();
  }
  auto& exchange = Exchange(closedPort);
  EXPECT_EQ(exchange.Run(Query(ExchangeKind::kBlockState)), ExchangeStatus::kConnectFailed);
  for (const char* target : {"0.0.0.0", "no-such-client.invalid", "1.2.3.300", ""}) {
    ExchangeRequest request = Query(ExchangeKind::kBlockState);
    request.target = target;
    request.resolveByName = 2;
    EXPECT_EQ(exchange.Run(request), ExchangeStatus::kResolveFailed) << target;
  }
}

TEST(ClientTargetTest, SelectionFollowsTheOptionAndRefusesBadInput) {
  struct Case {
    TargetInput input;
    std::optional<std::string> target;
    int resolveByName;
    std::string_view refusal;
  };
  const Case cases[] = {
      {{TargetMode::kIpAddress, {0, 168, 1, 0}, {}, {}}, {}, 0, kInvalidIpText},
      {{TargetMode::kIpAddress, {0, 168, 1, 5}, {}, {}}, "0.168.1.5", 0, {}},
      {{TargetMode::kMachineName, {}, "PC 12", {}}, {}, 0, kInvalidClientNameText},
      {{TargetMode::kMachineName, {}, "", {}}, {}, 0, kInvalidClientNameText},
      {{TargetMode::kMachineName, {}, "PC12", {}}, "PC12", 1, {}},
      {{TargetMode::kActiveClients, {}, {}, "192.168.001.010"}, "192.168.1.10", 2, {}},
      {{TargetMode::kActiveClients, {}, {}, std::nullopt}, {}, 0, kEmptyActiveListText},
  };
  for (const Case& c : cases) {
    const TargetSelection selection = SelectClientTarget(c.input, kInvalidClientNameText, true);
    if (c.target) {
      ASSERT_TRUE(selection.choice) << *c.target;
      EXPECT_EQ(selection.choice->target, *c.target);
      EXPECT_EQ(selection.choice->resolveByName, c.resolveByName);
    } else {
      EXPECT_FALSE(selection.choice);
      EXPECT_EQ(selection.refusal, c.refusal);
    }
  }
  // Entries that are no address stay no address (and fail to resolve), never a guessed one.
  EXPECT_EQ(CanonicalClientAddress("client-a"), "0.0.0.0");
  EXPECT_EQ(CanonicalClientAddress("1.2.3.4.5"), "1.2.3.4.");
}

}  // namespace
}  // namespace uv::server
