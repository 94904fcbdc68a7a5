// The client settings through the agent's command handling and the whitelist storage, on a
// temporary machine.

#include "client/agent/settings/CClientSettings.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry/Registry.h"
#include "protocol/CommandFrame.h"
#include "tests/agent/reporter/TestMachine.h"

namespace uv::agent {
namespace {

using testing::TestMachine;

std::string Raw(TestMachine& machine, std::string_view value) {
  auto key = machine.Key(kWhiteListKey);
  auto raw = key.QueryValue(value);
  if (!raw) return "<missing>";
  EXPECT_EQ(raw->type, platform::RegType::kMultiSz);
  return std::string(raw->data.begin(), raw->data.end());
}

TEST(ClientSettingsTest, WhiteListStorageRoundTrips) {
  TestMachine machine("PC17", "");
  CClientSettings settings(machine.machine());
  // No WhiteList key yet: nothing to read.
  EXPECT_EQ(settings.ReadWhiteList(), "");
  EXPECT_EQ(settings.ReadWhiteLists(), std::nullopt);

  struct Case {
    std::string written;
    std::string users, devices, makes;  // stored bytes, no terminator
    std::string read;
  };
  const std::string e = "\xC3\xA9";  // é: two bytes
  const std::vector<Case> cases{
      {"john,MARY;SanDisk Cruzer 1234;SanDisk Cruzer;", "john,MARY", "SanDisk Cruzer 1234",
       "SanDisk Cruzer", "john,MARY;SanDisk Cruzer 1234;SanDisk Cruzer;"},
      {"-;-;-;", "", "", "", "-;-;-;"},
      {"a;;b", "a", "b", "", "a;b;-;"},  // runs of ";" count as one
      {",,,;-;x", ",,,", "", "x", ",,,;-;x;"},
      {std::string(100000, 'u') + ";-;-", std::string(299, 'u'), "", "",
       std::string(299, 'u') + ";-;-;"},
      {std::string(298, 'u') + e + ";-;-", std::string(298, 'u'), "", "",
       std::string(298, 'u') + ";-;-;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written.substr(0, 40));
    ASSERT_TRUE(settings.WriteWhiteList(c.written));
    EXPECT_EQ(Raw(machine, "UserDetails"), c.users);
    EXPECT_EQ(Raw(machine, "DeviceDetails"), c.devices);
    EXPECT_EQ(Raw(machine, "MakeDetails"), c.makes);
    EXPECT_EQ(settings.ReadWhiteList(), c.read);
  }
}

TEST(ClientSettingsTest, WhiteListMatching) {
  struct Case {
    std::string list, text;
    bool ignoreCase, matches;
  };
  const std::vector<Case> cases{
      {"JOHN", "john", true, true},
      {"JOHN", "john", false, false},
      {",,john,,", "john", true, true},
      {",,,", "", true, false},
      {"", "", false, false},
      {"Cruzer ", "Cruzer", false, false},
      {"a,Cruzer 12", "Cruzer 12", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WhiteListContains(c.list, c.text, c.ignoreCase), c.matches)
        << c.list << "|" << c.text;
  }
}

std::string Send(CClientSettings& settings, std::string_view bytes) {
  return protocol::HandleCommandRead(bytes, settings).reply;
}

TEST(ClientSettingsTest, CommandWordsOnTheSettings) {
  TestMachine machine("PC17", "");
  CClientSettings settings(machine.machine());
  using namespace std::string_literals;
  // Absent values: not blocked, journal off, 10 minutes.
  EXPECT_EQ(Send(settings, "0004GET;\0\0"s), "   5GET;\x02");
  EXPECT_EQ(Send(settings, "0004GOM;\0\0"s), "   5GOM;\x02");
  EXPECT_EQ(Send(settings, "0004GIT;\0\0"s), "   7GIT;10;");
  // SET and SOM in one read.
  EXPECT_EQ(Send(settings, "0006SET;1;   6SOM;2;"), "");
  EXPECT_EQ(settings.BlockUsb(), 1u);
  EXPECT_EQ(settings.Dword("SendOfflineMsg"), 0u);
  EXPECT_EQ(Send(settings, "0004GET;\0\0"s), "   5GET;\x01");
  EXPECT_EQ(Send(settings, "0006SET;3;"), "");
  EXPECT_EQ(settings.BlockUsb(), 0u);
  EXPECT_EQ(Send(settings, "   7SIT;30;"), "");
  EXPECT_EQ(Send(settings, "0004GIT;\0\0"s), "   7GIT;30;");
  // Whitelists: none stored yet gives only the word; then what was sent.
  EXPECT_EQ(Send(settings, "0004GWH;\0\0"s), "   5GWH;");
  EXPECT_EQ(Send(settings, protocol::BuildSwhFrame({"john", "", "Cruzer"})), "");
  EXPECT_EQ(Send(settings, "0004GWH;\0\0"s), "  19GWH;john;-;Cruzer;");

  // The stop flag ends the handling of further frames.
  settings.SetClientStop(true);
  EXPECT_TRUE(settings.Stopping());
}

TEST(ClientSettingsTest, IdleTimeNeedsTheKey) {
  TestMachine machine("PC17", "");
  ASSERT_EQ(machine.Key("Software\\Quorrel\\USB Vantrel Client").DeleteTree("Settings"),
            platform::kErrorSuccess);
  CClientSettings settings(machine.machine());
  EXPECT_FALSE(settings.KeyExists());
  EXPECT_EQ(Send(settings, "   7SIT;30;"), "");
  EXPECT_EQ(settings.IdleMinutes(), std::nullopt);
  EXPECT_EQ(Send(settings, "0006SET;1;"), "");  // creates the key
  EXPECT_TRUE(settings.KeyExists());
  EXPECT_EQ(settings.BlockUsb(), 1u);
}

}  // namespace
}  // namespace uv::agent
