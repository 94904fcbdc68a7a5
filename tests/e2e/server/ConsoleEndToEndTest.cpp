// The real USBVantrelServer on temporary machine roots, driven with raw datagrams.

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <thread>

#include "tests/support/ConsoleProcess.h"

using namespace uv::test;
using namespace uv::platform;
using namespace std::chrono_literals;

namespace {

constexpr const char* kVersion = "VERSION=1 6 0 0";
constexpr const char* kHeader = "Date,Time,Computer Name,IP Address,Category,Message\r\n";

// Waits until the log holds at least `lines` lines after its header.
std::string WaitForLog(const std::filesystem::path& file, std::size_t lines) {
  std::string text;
  for (int i = 0; i < 250; ++i) {
    text = ReadFile(file);
    std::size_t count = 0;
    for (char c : text) count += c == '\n';
    if (count >= lines + 1) break;
    std::this_thread::sleep_for(20ms);
  }
  return text;
}

// The lines after the header, each with its " at HH:MM:SS" arrival time replaced by "at T".
std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> lines;
  const std::regex arrival(" at [0-9]{2}:[0-9]{2}:[0-9]{2}\r$");
  std::size_t pos = text.find("\r\n");
  while (pos != std::string::npos && pos + 2 < text.size()) {
    const std::size_t end = text.find('\n', pos + 2);
    std::string line =
        text.substr(pos + 2, end == std::string::npos ? std::string::npos : end - pos - 2);
    lines.push_back(std::regex_replace(line, arrival, " at T\r"));
    pos = end == std::string::npos ? end : end - 1;
  }
  return lines;
}

}  // namespace

TEST(ConsoleEndToEnd, AnswersProbesAndQueriesAndLogsReportsByteForByte) {
  ConsoleRoot root(Ipv4Address(127, 0, 0, 151));
  const auto log = root.Path() / "console.log";
  ASSERT_TRUE(root.SetDword("EnableLog", 1));
  ASSERT_TRUE(root.SetString("LogFilePath", log.string()));
  ASSERT_TRUE(root.SetDword("DisallowClientConfig", 0));
  ConsoleProcess console(root);
  Peer peer;
  ASSERT_TRUE(peer.WaitUntilAnswering(root.EventPort(), 20s)) << console.Stderr();

  ASSERT_TRUE(peer.Send("GCC;", root.EventPort()));
  EXPECT_EQ(peer.Receive(3s), "0");
  ASSERT_TRUE(root.SetDword("DisallowClientConfig", 1));
  ASSERT_TRUE(peer.Send("GCC;", root.EventPort()));
  EXPECT_EQ(peer.Receive(3s), "1");
  // A value of the wrong type counts as unreadable: "1", not the text's "0".
  ASSERT_TRUE(root.SetString("DisallowClientConfig", "0"));
  ASSERT_TRUE(peer.Send("GCC;", root.EventPort()));
  EXPECT_EQ(peer.Receive(3s), "1");

  const std::string body =
      "07/03/2009,14:05:09,PC17\\user1,192.168.1.23,Inserted USB Flash Disk on PC17\\user1";
  ASSERT_TRUE(peer.Send(std::string(kVersion) + "," + body, root.EventPort()));
  // Mismatch: another version, and a report without any version at all.
  ASSERT_TRUE(peer.Send("VERSION=1 5 0 0," + body, root.EventPort()));
  // Replayed: "Offline" after the last comma, no category inserted.
  ASSERT_TRUE(peer.Send(std::string(kVersion) +
                            ",06/03/2009,23:59:58,PC17\\user1,192.168.1.23,Offline,Removed Disk on "
                            "PC17\\user1",
                        root.EventPort()));

  const std::string text = WaitForLog(log, 3);
  ASSERT_EQ(text.rfind(kHeader, 0), 0u) << text;
  EXPECT_EQ(text.find(kHeader, 1), std::string::npos);
  EXPECT_EQ(LogLines(text),
            (std::vector<std::string>{
                "07/03/2009,14:05:09,PC17\\user1,192.168.1.23,Inserted,Inserted USB Flash Disk on "
                "PC17\\user1 [ 127.0.0.1 ] at T\r",
                ",,,127.0.0.1,,Client Version does not match\r",
                "06/03/2009,23:59:58,PC17\\user1,192.168.1.23,Offline,Removed Disk on PC17\\user1 "
                "[ 127.0.0.1 ] at T\r"}));

  console.Terminate();
  EXPECT_EQ(console.WaitForExit(20s), 0);
}

TEST(ConsoleEndToEnd, LogInAMissingFolderIsLostQuietly) {
  ConsoleRoot root(Ipv4Address(127, 0, 0, 152));
  ASSERT_TRUE(root.SetDword("EnableLog", 1));
  ASSERT_TRUE(root.SetString("LogFilePath", (root.Path() / "nowhere" / "x.log").string()));
  ConsoleProcess console(root);
  Peer peer;
  ASSERT_TRUE(peer.WaitUntilAnswering(root.EventPort(), 20s)) << console.Stderr();
  ASSERT_TRUE(peer.Send(std::string(kVersion) + ",d,t,c,a,Started client", root.EventPort()));
  EXPECT_TRUE(peer.WaitUntilAnswering(root.EventPort(), 5s));
  EXPECT_FALSE(std::filesystem::exists(root.Path() / "nowhere"));
  EXPECT_TRUE(console.Running());
  EXPECT_EQ(console.Stderr().find("[USB Vantrel! Server]"), std::string::npos);
}

TEST(ConsoleEndToEnd, SecondInstanceSaysSoAndExitsWithOne) {
  ConsoleRoot root(Ipv4Address(127, 0, 0, 153));
  ConsoleProcess first(root);
  Peer peer;
  ASSERT_TRUE(peer.WaitUntilAnswering(root.EventPort(), 20s)) << first.Stderr();
  ConsoleProcess second(root);
  EXPECT_EQ(second.WaitForExit(20s), 1);
  EXPECT_NE(second.Stderr().find("[USB Vantrel! Server] Another instance of USB Vantrel! Server is "
                                 "already active.\\nYou cannot run several instances of USB "
                                 "Vantrel! Server simultaneously."),
            std::string::npos)
      << second.Stderr();
  EXPECT_TRUE(first.Running());
  EXPECT_TRUE(peer.WaitUntilAnswering(root.EventPort(), 5s));
}

TEST(ConsoleEndToEnd, TakenPortShowsTheBindErrorAndEnds) {
  ConsoleRoot root(Ipv4Address(127, 0, 0, 154));
  auto blocker = UdpSocket::Create();
  ASSERT_TRUE(blocker);
  ASSERT_EQ(blocker->Bind(root.EventPort()), kErrorSuccess);
  ConsoleProcess console(root);
  EXPECT_EQ(console.WaitForExit(20s), 0);
  EXPECT_NE(console.Stderr().find("[USB Vantrel! Server] Socket bind error 10048"),
            std::string::npos)
      << console.Stderr();
}

TEST(ConsoleEndToEnd, UnprivilegedStartWarnsUnlessNoWarning) {
  ConsoleRoot root(Ipv4Address(127, 0, 0, 155));
  ASSERT_TRUE(root.SetDword("EnableLog", 0));  // creates registry.db, owned by us
  root.OpenForOthers();
  ConsoleProcess::Options plain;
  ConsoleProcess::Options quiet;
  quiet.arguments = {"-nowarning"};
  ConsoleProcess::Options other;
  other.arguments = {"-NoWarning", "extra"};
  if (::geteuid() == 0) {
    plain.runAsUid = quiet.runAsUid = other.runAsUid = 65534u;
  } else {
    std::filesystem::permissions(root.Path() / "registry.db",
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::group_read |
                                     std::filesystem::perms::others_read);
  }
  const std::string message =
      "[USB Vantrel! Server] Administrator privileges are required to run USB Vantrel! Server.";
  {
    ConsoleProcess console(root, plain);
    EXPECT_EQ(console.WaitForExit(20s), 0);
    EXPECT_NE(console.Stderr().find(message), std::string::npos) << console.Stderr();
  }
  {
    ConsoleProcess console(root, quiet);
    EXPECT_EQ(console.WaitForExit(20s), 0);
    EXPECT_EQ(console.Stderr().find("[USB Vantrel! Server]"), std::string::npos)
        << console.Stderr();
  }
  {
    ConsoleProcess console(root, other);
    EXPECT_EQ(console.WaitForExit(20s), 0);
    EXPECT_NE(console.Stderr().find(message), std::string::npos) << console.Stderr();
  }
  // Nobody answers on the port: no console ran.
  Peer peer;
  EXPECT_FALSE(peer.WaitUntilAnswering(root.EventPort(), 500ms));
}

TEST(ConsoleEndToEnd, FloodOfAnyBytesThenTheNextProbeIsAnswered) {
  ConsoleRoot root(Ipv4Address(127, 0, 0, 156));
  const auto log = root.Path() / "flood.log";
  ASSERT_TRUE(root.SetDword("EnableLog", 1));
  ASSERT_TRUE(root.SetString("LogFilePath", log.string()));
  ConsoleProcess console(root);
  Peer peer;
  ASSERT_TRUE(peer.WaitUntilAnswering(root.EventPort(), 20s)) << console.Stderr();

  std::mt19937 random(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> size(0, 1100);
  for (int i = 0; i < 3000; ++i) {
    std::string datagram(i % 100 == 0 ? 60000 + static_cast<std::size_t>(i % 5000) : size(random),
                         '\0');
    for (char& c : datagram) c = static_cast<char>(byte(random));
    peer.Send(datagram, root.EventPort());
  }
  peer.Send("", root.EventPort());
  EXPECT_TRUE(peer.WaitUntilAnswering(root.EventPort(), 30s));
  EXPECT_TRUE(console.Running());
  // Every logged line stays bounded by the 1023 bytes a report can bring.
  const std::string text = ReadFile(log);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    const std::size_t length = (end == std::string::npos ? text.size() : end) - start;
    EXPECT_LT(length, 1023u + 64u);
    if (end == std::string::npos) break;
    start = end + 2;
  }
  console.Terminate();
  EXPECT_EQ(console.WaitForExit(20s), 0);
}
