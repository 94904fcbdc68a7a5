#include "platform/net/HostResolver.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/platform/net/TempMachineRoot.h"

namespace uv::platform {
namespace {

using testing::TempMachineRoot;

class HostResolverTest : public ::testing::Test {
 protected:
  TempMachineRoot root_;
};

TEST_F(HostResolverTest, HostsFileSyntaxAsOnWindows) {
  root_.WriteHosts(
      "# Copyright comment 127.0.0.9 commented\r\n"
      "   # indented comment\n"
      "\n"
      "::1             console6        # IPv6 lines give no IPv4 answer\n"
      "not-an-address  broken\n"
      "127.0.0.20\tConsole   console.lan   # tab and blanks, trailing comment\r\n"
      "127.0.0.21      console         # a second line: the first answer wins\n"
      "10.1.2.3        PC17 pc17-alias\n"
      "127.0.0.22      #commented-name\n");
  const auto hosts = root_.machine().HostsFile();
  EXPECT_EQ(LookupHostsFile(hosts, "console"), Ipv4Address(127, 0, 0, 20));
  EXPECT_EQ(LookupHostsFile(hosts, "CONSOLE"), Ipv4Address(127, 0, 0, 20));
  EXPECT_EQ(LookupHostsFile(hosts, "Console.LAN"), Ipv4Address(127, 0, 0, 20));
  EXPECT_EQ(LookupHostsFile(hosts, "pc17-alias"), Ipv4Address(10, 1, 2, 3));
  EXPECT_FALSE(LookupHostsFile(hosts, "console6").has_value());
  EXPECT_FALSE(LookupHostsFile(hosts, "broken").has_value());
  EXPECT_FALSE(LookupHostsFile(hosts, "commented").has_value());
  EXPECT_FALSE(LookupHostsFile(hosts, "commented-name").has_value());
  EXPECT_FALSE(LookupHostsFile(hosts, "Copyright").has_value());
  EXPECT_FALSE(LookupHostsFile(hosts, "cons").has_value());  // whole names only
  EXPECT_FALSE(LookupHostsFile(hosts, "").has_value());
}

TEST_F(HostResolverTest, MissingOrUnterminatedHostsFile) {
  EXPECT_FALSE(LookupHostsFile(root_.root() / "no" / "hosts", "console").has_value());
  root_.WriteHosts("127.0.0.23 last-line-without-newline");
  EXPECT_EQ(LookupHostsFile(root_.machine().HostsFile(), "last-line-without-newline"),
            Ipv4Address(127, 0, 0, 23));
}

TEST_F(HostResolverTest, ResolveHostOrder_DottedThenHostsThenSystem) {
  // The hosts file can even override names the system knows.
  root_.WriteHosts("127.0.0.24 localhost\n127.0.0.25 console\n");
  EXPECT_EQ(*ResolveHost(root_.machine(), "192.168.1.1"), Ipv4Address(192, 168, 1, 1));
  EXPECT_EQ(*ResolveHost(root_.machine(), "Console"), Ipv4Address(127, 0, 0, 25));
  EXPECT_EQ(*ResolveHost(root_.machine(), "localhost"), Ipv4Address(127, 0, 0, 24));
}

TEST_F(HostResolverTest, ResolveHostFallsBackToTheSystemResolver) {
  auto address = ResolveHost(root_.machine(), "localhost");  // no hosts file here
  ASSERT_TRUE(address.ok()) << address.error();
  EXPECT_TRUE(address->IsLoopback());
}

TEST_F(HostResolverTest, UnresolvableNamesFailWithHostNotFound) {
  for (const std::string& name : {std::string(), std::string(256, 'a'), std::string("bad\0name", 8),
                                  std::string("no-such-host.invalid")}) {
    auto address = ResolveHost(root_.machine(), name);
    ASSERT_FALSE(address.ok()) << name;
    EXPECT_EQ(address.error(), kWsaHostNotFound);
  }
}

TEST_F(HostResolverTest, LocalBindAddressIsTheComputersOwnLoopbackEntry) {
  root_.SetComputerName("PC17");
  EXPECT_TRUE(LocalBindAddress(root_.machine()).IsAny());  // no hosts file
  root_.WriteHosts("10.0.0.17 pc17\n");
  EXPECT_TRUE(LocalBindAddress(root_.machine()).IsAny());  // not a loopback address
  root_.WriteHosts("127.0.0.26 other\n127.0.0.27 pc17\n");
  EXPECT_EQ(LocalBindAddress(root_.machine()), Ipv4Address(127, 0, 0, 27));
}

TEST_F(HostResolverTest, SocketsOfASimulatedComputerUseItsAddress) {
  root_.SetComputerName("PC18");
  root_.WriteHosts("127.0.0.28 pc18\n");

  auto listener = BindLocalUdpSocket(root_.machine(), 0);
  ASSERT_TRUE(listener.ok());
  const SocketAddress where = *listener->LocalAddress();
  EXPECT_EQ(where.address, Ipv4Address(127, 0, 0, 28));

  auto sender = OpenOutgoingUdpSocket(root_.machine());
  ASSERT_TRUE(sender.ok());
  ASSERT_TRUE(sender->SendTo("RUT;", where).ok());
  std::array<std::uint8_t, 10> buffer{};
  SocketAddress from;
  ASSERT_TRUE(listener->ReceiveFrom(buffer, &from).ok());
  EXPECT_EQ(from.address, Ipv4Address(127, 0, 0, 28));

  auto tcp = ListenOnLocal(root_.machine(), 0);
  ASSERT_TRUE(tcp.ok());
  const SocketAddress tcpWhere = *tcp->LocalAddress();
  EXPECT_EQ(tcpWhere.address, Ipv4Address(127, 0, 0, 28));
  auto client = ConnectFromLocal(root_.machine(), tcpWhere);
  ASSERT_TRUE(client.ok());
  SocketAddress peer;
  ASSERT_TRUE(tcp->Accept(&peer).ok());
  EXPECT_EQ(peer.address, Ipv4Address(127, 0, 0, 28));
}

TEST_F(HostResolverTest, ComputersWithoutAnEntryBindToAllAddresses) {
  root_.SetComputerName("PC19");
  auto socket = BindLocalUdpSocket(root_.machine(), 0);
  ASSERT_TRUE(socket.ok());
  EXPECT_TRUE(socket->LocalAddress()->address.IsAny());
  auto outgoing = OpenOutgoingUdpSocket(root_.machine());
  ASSERT_TRUE(outgoing.ok());
  EXPECT_EQ(outgoing->LocalAddress()->port, 0);  // not bound: the system picks at send time
}

// The cache answers as a fresh read of the file would, right after every kind of change an
// administrator or a program makes, however quickly one follows another.
TEST_F(HostResolverTest, HostsFileCacheSeesEveryChangeAtTheNextLookup) {
  root_.SetComputerName("PC17");
  HostsFileCache cache(root_.machine());
  const std::filesystem::path file = root_.machine().HostsFile();
  const std::filesystem::path directory = file.parent_path();
  const std::filesystem::path elsewhere = root_.root() / "hosts-elsewhere";
  auto write = [](const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  };
  struct Step {
    const char* what;
    std::function<void()> change;
    std::optional<Ipv4Address> pc17;
  };
  const std::vector<Step> steps{
      {"no file", [] {}, std::nullopt},
      {"created", [&] { write(file, "127.0.0.41 pc17\n"); }, Ipv4Address(127, 0, 0, 41)},
      {"rewritten to the same size", [&] { write(file, "127.0.0.42 pc17\n"); },
       Ipv4Address(127, 0, 0, 42)},
      {"truncated", [&] { write(file, ""); }, std::nullopt},
      {"appended to",
       [&] { std::ofstream(file, std::ios::binary | std::ios::app) << "10.0.0.43 PC17\n"; },
       Ipv4Address(10, 0, 0, 43)},
      {"replaced by a rename",
       [&] {
         write(directory / "hosts.tmp", "127.0.0.44 other pc17\n");
         std::filesystem::rename(directory / "hosts.tmp", file);
       },
       Ipv4Address(127, 0, 0, 44)},
      {"deleted", [&] { std::filesystem::remove(file); }, std::nullopt},
      {"directory moved away, another made in its place",
       [&] {
         std::filesystem::rename(directory, directory.string() + ".old");
         std::filesystem::create_directories(directory);
         write(file, "127.0.0.45 pc17\n");
       },
       Ipv4Address(127, 0, 0, 45)},
      {"directory deleted and made again",
       [&] {
         std::filesystem::remove_all(directory);
         std::filesystem::create_directories(directory);
         write(file, "127.0.0.46 pc17\n");
       },
       Ipv4Address(127, 0, 0, 46)},
      {"a link to a file elsewhere",
       [&] {
         write(elsewhere, "127.0.0.47 pc17\n");
         std::filesystem::remove(file);
         std::filesystem::create_symlink(elsewhere, file);
       },
       Ipv4Address(127, 0, 0, 47)},
      {"the linked file rewritten", [&] { write(elsewhere, "127.0.0.48 pc17\n"); },
       Ipv4Address(127, 0, 0, 48)},
  };
  for (const Step& step : steps) {
    step.change();
    EXPECT_EQ(cache.Lookup("PC17"), step.pc17) << step.what;
    EXPECT_EQ(cache.Lookup("pc17"), LookupHostsFile(file, "pc17")) << step.what;
    EXPECT_EQ(cache.LocalBindAddress("PC17"), LocalBindAddress(root_.machine())) << step.what;
    if (step.pc17) {
      EXPECT_EQ(*cache.Resolve("pc17"), *step.pc17) << step.what;
    }
  }
  EXPECT_EQ(*cache.Resolve("192.168.1.1"), Ipv4Address(192, 168, 1, 1));
  EXPECT_EQ(cache.Resolve(std::string(256, 'a')).error(), kWsaHostNotFound);
}

}  // namespace
}  // namespace uv::platform
