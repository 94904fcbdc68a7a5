// The command channel: frames as written, as read by the agent and by the console, and the
// whitelist notices.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "protocol/CommandFrame.h"

namespace uv::protocol {

// Found by argument lookup, so failures show the lists rather than bytes.
void PrintTo(const WhiteLists& lists, std::ostream* os) {
  *os << "{" << lists.users << "|" << lists.devices << "|" << lists.makes << "}";
}

namespace {

using namespace std::string_literals;

// An agent whose settings live in memory; every setting command it applies is logged.
class FakeAgent : public ICommandHandler {
 public:
  void SetBlockUsb(bool block) override {
    blocked = block;
    log.push_back(block ? "SET 1" : "SET 0");
  }
  void SetIdleMinutes(int minutes) override {
    idleMinutes = minutes;
    log.push_back("SIT " + std::to_string(minutes));
  }
  void SetSendOfflineMsg(bool on) override {
    offlineOn = on;
    log.push_back(on ? "SOM 1" : "SOM 0");
  }
  void SetWhiteLists(const WhiteLists& lists) override {
    whiteLists = lists;
    log.push_back("SWH " + lists.users + "|" + lists.devices + "|" + lists.makes);
  }
  bool IsUsbBlocked() override { return blocked; }
  bool IsSendOfflineMsgOn() override { return offlineOn; }
  std::optional<int> IdleMinutes() override { return idleMinutes; }
  std::optional<WhiteLists> ReadWhiteLists() override { return whiteLists; }
  bool Stopping() override { return stopping; }

  bool blocked = false;
  bool offlineOn = false;
  std::optional<int> idleMinutes;
  std::optional<WhiteLists> whiteLists;
  bool stopping = false;
  std::vector<std::string> log;
};

// --- Writing -----------------------------------------------------------------------------------

struct WrittenCase {
  std::string name;
  std::string built;
  std::string expected;
};

class FrameWriterTest : public ::testing::TestWithParam<WrittenCase> {};

TEST_P(FrameWriterTest, BytesOnTheWire) {
  EXPECT_EQ(GetParam().built, GetParam().expected);
  EXPECT_EQ(GetParam().built.size(), GetParam().expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameWriterTest,
    ::testing::Values(WrittenCase{"GetQuery", BuildQueryFrame(CommandWord::kGet), "0004GET;\0\0"s},
                      WrittenCase{"GwhQuery", BuildQueryFrame(CommandWord::kGwh), "0004GWH;\0\0"s},
                      WrittenCase{"GitQuery", BuildQueryFrame(CommandWord::kGit), "0004GIT;\0\0"s},
                      WrittenCase{"GomQuery", BuildQueryFrame(CommandWord::kGom), "0004GOM;\0\0"s},
                      WrittenCase{"Block", BuildSetFrame(true), "0006SET;1;\0\0"s},
                      WrittenCase{"Unblock", BuildSetFrame(false), "0006SET;2;\0\0"s},
                      WrittenCase{"SomOn", BuildSomFrame(true), "   6SOM;1;"},
                      WrittenCase{"SomOff", BuildSomFrame(false), "   6SOM;2;"},
                      WrittenCase{"SitNever", BuildSitFrame(0), "   6SIT;0;"},
                      WrittenCase{"Sit120", BuildSitFrame(120), "   8SIT;120;"},
                      WrittenCase{"SwhEmpty", BuildSwhFrame({}), "  11SWH;-;-;-;"},
                      WrittenCase{"SwhLists", BuildSwhFrame({"ann,bob", "", "Kingston"}),
                                  "  24SWH;ann,bob;-;Kingston;"},
                      WrittenCase{"GetBlocked", BuildGetReply(true), "   5GET;\x01"},
                      WrittenCase{"GetFree", BuildGetReply(false), "   5GET;\x02"},
                      WrittenCase{"GomOn", BuildGomReply(true), "   5GOM;\x01"},
                      WrittenCase{"GomOff", BuildGomReply(false), "   5GOM;\x02"},
                      WrittenCase{"GitAbsent", BuildGitReply(std::nullopt), "   7GIT;10;"},
                      WrittenCase{"Git30", BuildGitReply(30), "   7GIT;30;"},
                      // Three empty lists: 14 bytes, a length of two blanks and 11.
                      WrittenCase{"GwhEmpty", BuildGwhReply(WhiteLists{}), "  11GWH;-;-;-;"},
                      WrittenCase{"GwhUnreadable", BuildGwhReply(std::nullopt), "   5GWH;"}),
    [](const auto& param) { return param.param.name; });

TEST(FrameWriterTest, LengthFieldGrowsBeyondFourDigitsLikePrintf) {
  std::string frame;
  AppendFrame(frame, std::string(1234, 'x'));
  EXPECT_EQ(frame.substr(0, 4), "1234");
  frame.clear();
  AppendFrame(frame, std::string(12345, 'x'));
  EXPECT_EQ(frame.substr(0, 5), "12345");
}

// --- Conversions and lists ---------------------------------------------------------------------

TEST(CommandFrameTest, DecimalValueSkipsBlanksAndStopsAtTheFirstNonDigit) {
  const std::vector<std::pair<std::string, int>> cases = {{"   5", 5},
                                                          {"0006", 6},
                                                          {"  -3", -3},
                                                          {"+7", 7},
                                                          {"12ab", 12},
                                                          {"abcd", 0},
                                                          {"", 0},
                                                          {" \t 8", 8},
                                                          {"1\0002"s, 1},
                                                          {"- 5", 0},
                                                          {"99999999999", INT_MAX},
                                                          {"-99999999999", INT_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(DecimalValue(text), value) << text;
}

TEST(CommandFrameTest, WhiteListTextUsesDashesAndSplitsBack) {
  const WhiteLists lists{"ann,bob", "", "SanDisk Cruzer"};
  EXPECT_EQ(FormatWhiteLists(lists), "ann,bob;-;SanDisk Cruzer;");
  EXPECT_EQ(SplitWhiteLists(FormatWhiteLists(lists)), lists);
  EXPECT_EQ(FormatWhiteLists({}), "-;-;-;");
  EXPECT_EQ(SplitWhiteLists("-;-;-;"), WhiteLists{});
  EXPECT_EQ(SplitWhiteLists("-;dev 1;-"), (WhiteLists{"", "dev 1", ""}));
  // Runs of ";" count as one: an empty field shifts the later ones.
  EXPECT_EQ(SplitWhiteLists("u;;m;"), (WhiteLists{"u", "m", ""}));
  EXPECT_EQ(SplitWhiteLists(""), WhiteLists{});
  // Only a field that is exactly "-" is empty.
  EXPECT_EQ(SplitWhiteLists("--;-x;-;"), (WhiteLists{"--", "-x", ""}));
}

// --- The agent's reading -----------------------------------------------------------------------

struct AgentCase {
  std::string name;
  std::string read;
  std::vector<std::string> actions;
  std::string reply;
};

class AgentReadTest : public ::testing::TestWithParam<AgentCase> {};

TEST_P(AgentReadTest, ActsAndReplies) {
  FakeAgent agent;
  agent.blocked = true;
  agent.idleMinutes = 30;
  agent.whiteLists = WhiteLists{"ann", "", ""};
  const CommandOutcome outcome = HandleCommandRead(GetParam().read, agent);
  EXPECT_EQ(agent.log, GetParam().actions);
  EXPECT_EQ(outcome.reply, GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, AgentReadTest,
    ::testing::Values(
        AgentCase{"GetWithTwoZeros", "0004GET;\0\0"s, {}, "   5GET;\x01"},
        AgentCase{"GetWithoutZeros", "0004GET;", {}, "   5GET;\x01"},
        AgentCase{"Gom", "0004GOM;\0\0"s, {}, "   5GOM;\x02"},
        AgentCase{"Git", "0004GIT;\0\0"s, {}, "   7GIT;30;"},
        AgentCase{"Gwh", "0004GWH;\0\0"s, {}, "  13GWH;ann;-;-;"},
        AgentCase{"Block", "0006SET;1;\0\0"s, {"SET 1"}, ""},
        AgentCase{"Unblock", "0006SET;2;\0\0"s, {"SET 0"}, ""},
        // Any value other than 1 clears the flag.
        AgentCase{"SetThree", "0006SET;3;", {"SET 0"}, ""},
        AgentCase{"SetLeadingZero", "0007SET;01;", {"SET 1"}, ""},
        AgentCase{"SomZero", "   6SOM;0;", {"SOM 0"}, ""},
        AgentCase{"SitBlanks", "   7SIT;60;", {"SIT 60"}, ""},
        // Minutes that are no 32-bit count write nothing; the frames after them still count.
        AgentCase{"SitNegative", "   7SIT;-5;", {}, ""},
        AgentCase{"SitNotANumber", "   8SIT;ten;0006SET;1;", {"SET 1"}, ""},
        AgentCase{"SitOver32Bits", "  15SIT;4294967296;", {}, ""},
        AgentCase{"SitLargest", "  15SIT;4294967295;", {"SIT -1"}, ""},
        AgentCase{"SetThenSom", "0006SET;1;   6SOM;2;", {"SET 1", "SOM 0"}, ""},
        AgentCase{
            "ThreeSettings", "   7SIT;20;0006SET;2;   6SOM;1;", {"SIT 20", "SET 0", "SOM 1"}, ""},
        // A frame not closed by ";" stops the walk before acting on it.
        AgentCase{"SetClosedByColon", "0006SET;1:", {}, ""},
        AgentCase{"SecondClosedByColon", "0006SET;1;   6SOM;2:", {"SET 1"}, ""},
        // Other words in a settings read are skipped; their frame still has to be whole.
        AgentCase{"QueryInsideSettings", "0006SET;1;0004GET;   6SOM;2;", {"SET 1", "SOM 0"}, ""},
        AgentCase{"SwhInsideSettings", "0006SET;1;  11SWH;-;-;-;", {"SET 1"}, ""},
        AgentCase{"SwhAllDashes", "  11SWH;-;-;-;", {"SWH ||"}, ""},
        AgentCase{"SwhDevice", "  16SWH;-;dev 01;-;", {"SWH |dev 01|"}, ""},
        AgentCase{"TwoSwh", "  11SWH;-;-;-;  11SWH;u;d;m;", {"SWH ||", "SWH u|d|m"}, ""},
        AgentCase{"SettingInsideSwh", "  11SWH;-;-;-;0006SET;1;", {"SWH ||"}, ""},
        // The text ends at its first zero byte.
        AgentCase{"ZeroEndsTheRead", "0006SET;1;\0   6SOM;2;"s, {"SET 1"}, ""},
        // Too short to carry a command.
        AgentCase{"SevenCharacters", "0004GET", {}, ""},
        AgentCase{"ShortBeforeZero", "0004GE\0T;"s, {}, ""}, AgentCase{"Empty", "", {}, ""},
        // Malformed frames are dropped with the rest of their read.
        AgentCase{"LengthBelowFive", "0004SET;1;", {}, ""},
        AgentCase{"LengthZero", "   0SET;1;", {}, ""},
        AgentCase{"LengthNegative", "  -6SET;1;", {}, ""},
        AgentCase{"LengthPastEnd", "0099SET;1;", {}, ""},
        AgentCase{"SecondPastEnd", "0006SET;1;0099SOM;2;   6SOM;2;", {"SET 1"}, ""},
        AgentCase{"SecondBelowFive", "0006SET;1;0001SOM;2;", {"SET 1"}, ""},
        AgentCase{"TruncatedSecond", "0006SET;1;   6SO", {"SET 1"}, ""},
        AgentCase{"QueryPastEnd", "0009GET;", {}, ""},
        AgentCase{"QueryWithoutLength", "XXXXGET;", {}, ""},
        AgentCase{"UnknownWord", "0004XYZ;\0\0"s, {}, ""},
        AgentCase{"LowerCaseWord", "0004get;", {}, ""}),
    [](const auto& param) { return param.param.name; });

TEST(AgentReadTest, ReadsThatFillTheBufferAreNotActedOn) {
  FakeAgent agent;
  std::string read = "0006SET;1;";
  read.resize(kCommandReadBuffer - 1, '\0');
  EXPECT_EQ(HandleCommandRead(read, agent).readProblem, ReadProblem::kNone);
  EXPECT_EQ(agent.log, std::vector<std::string>{"SET 1"});

  agent.log.clear();
  read.resize(kCommandReadBuffer, '\0');
  EXPECT_EQ(HandleCommandRead(read, agent).readProblem, ReadProblem::kOversize);
  read.resize(3 * kCommandReadBuffer, 'x');
  EXPECT_EQ(HandleCommandRead(read, agent).readProblem, ReadProblem::kOversize);
  EXPECT_TRUE(agent.log.empty());
}

TEST(AgentReadTest, AStoppingAgentActsOnNothing) {
  FakeAgent agent;
  agent.stopping = true;
  EXPECT_EQ(HandleCommandRead("0006SET;1;   6SOM;1;", agent).walkEnd, WalkEnd::kStopped);
  EXPECT_TRUE(HandleCommandRead("0004GET;", agent).reply.empty());
  EXPECT_TRUE(agent.log.empty());
}

TEST(AgentReadTest, ReportsWhyAWalkEnded) {
  FakeAgent agent;
  EXPECT_EQ(HandleCommandRead("0006SET;1;", agent).walkEnd, WalkEnd::kEndOfRead);
  EXPECT_EQ(HandleCommandRead("0006SET;1:", agent).walkEnd, WalkEnd::kNotClosed);
  EXPECT_EQ(HandleCommandRead("0006SET;1;0099", agent).walkEnd, WalkEnd::kBadFrame);
  EXPECT_EQ(HandleCommandRead("0006", agent).readProblem, ReadProblem::kTooShort);
}

class RecordingVisitor : public FrameVisitor {
 public:
  bool OnFrame(const Frame& frame) override {
    frames.push_back(frame);
    return true;
  }
  std::vector<Frame> frames;
};

TEST(FrameWalkTest, VisitsFramesWithTheirOffsetsAndArguments) {
  RecordingVisitor visitor;
  const std::string text = "0006SET;1;   7SIT;30;0004GET;   6SOM;2;";
  EXPECT_EQ(WalkFrames(text, WalkMode::kSettings, visitor), WalkEnd::kEndOfRead);
  ASSERT_EQ(visitor.frames.size(), 3u);
  EXPECT_EQ(visitor.frames[0].offset, 0u);
  EXPECT_EQ(visitor.frames[0].argument, "1");
  EXPECT_EQ(visitor.frames[1].offset, 10u);
  EXPECT_EQ(visitor.frames[1].length, 7);
  EXPECT_EQ(visitor.frames[1].argument, "30");
  EXPECT_EQ(visitor.frames[2].offset, 29u);
  EXPECT_EQ(visitor.frames[2].word, CommandWord::kSom);

  RecordingVisitor lists;
  const std::string swh = "  18SWH;a,b;dev;Make;";
  EXPECT_EQ(WalkFrames(swh, WalkMode::kWhiteLists, lists), WalkEnd::kEndOfRead);
  ASSERT_EQ(lists.frames.size(), 1u);
  // The extra count makes the argument the whole list text with its final ";".
  EXPECT_EQ(lists.frames[0].argument, "a,b;dev;Make;");
  EXPECT_EQ(lists.frames[0].size, swh.size());
}

TEST(FrameWalkTest, NeverReadsOutsideTheText) {
  // Every prefix of a valid read either acts on whole frames or stops; none reads past its end
  // (the sanitizer builds check the bounds).
  const std::string text = "0006SET;1;   7SIT;30;  11SWH;u;d;m;   6SOM;2;";
  for (std::size_t n = 0; n <= text.size(); ++n) {
    RecordingVisitor visitor;
    (void)WalkFrames(std::string_view(text).substr(0, n), WalkMode::kSettings, visitor);
    for (const Frame& frame : visitor.frames) EXPECT_LE(frame.offset + frame.size, n);
  }
}

// --- The console's reading ---------------------------------------------------------------------

TEST(ConsoleReplyTest, ReadsTheValueOfEachReply) {
  const auto get = ReadCommandReply("   5GET;\x01");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->word, CommandWord::kGet);
  EXPECT_TRUE(get->ValueIsOn());
  EXPECT_FALSE(ReadCommandReply("   5GET;\x02")->ValueIsOn());
  // The value is a byte: the digit means "not 1".
  EXPECT_FALSE(ReadCommandReply("   5GET;1")->ValueIsOn());
  EXPECT_TRUE(ReadCommandReply("0005GOM;\x01\0\0"s)->ValueIsOn());

  EXPECT_EQ(ReadCommandReply("   7GIT;10;")->minutes, 10);
  EXPECT_EQ(ReadCommandReply("0008GIT;120;")->minutes, 120);
  EXPECT_EQ(ReadCommandReply("  11GWH;-;-;-;\0\0"s)->listText, "-;-;-;");
  EXPECT_EQ(ReadCommandReply("  13GWH;ann;-;-;")->listText, "ann;-;-;");
  EXPECT_EQ(ReadCommandReply("   5GWH;")->listText, "");
}

TEST(ConsoleReplyTest, StoresNothingForAnythingElse) {
  for (const std::string& bad :
       {"   5GET;\0"s, "   5GE"s, ""s, "   5SET;1"s, "   4GET;\x01"s, "  99GIT;10;"s, "   6GWH;"s,
        "XXXXGET;\x01"s, std::string(kCommandReadBuffer, '5')}) {
    EXPECT_EQ(ReadCommandReply(bad), std::nullopt) << bad;
  }
}

// --- Both ends together ------------------------------------------------------------------------

TEST(CommandChannelTest, WhatTheConsoleSetsIsWhatItReadsBack) {
  FakeAgent agent;
  auto exchange = [&agent](const std::string& frame) {
    return HandleCommandRead(frame, agent).reply;
  };

  for (const bool block : {true, false}) {
    EXPECT_EQ(exchange(BuildSetFrame(block)), "");
    const auto reply = ReadCommandReply(exchange(BuildQueryFrame(CommandWord::kGet)));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->ValueIsOn(), block);
  }
  for (const bool on : {true, false}) {
    EXPECT_EQ(exchange(BuildSomFrame(on)), "");
    EXPECT_EQ(ReadCommandReply(exchange(BuildQueryFrame(CommandWord::kGom)))->ValueIsOn(), on);
  }
  EXPECT_EQ(ReadCommandReply(exchange(BuildQueryFrame(CommandWord::kGit)))->minutes,
            kDefaultIdleMinutes);
  for (const int minutes : {0, 10, 20, 30, 60, 120}) {
    EXPECT_EQ(exchange(BuildSitFrame(minutes)), "");
    EXPECT_EQ(ReadCommandReply(exchange(BuildQueryFrame(CommandWord::kGit)))->minutes, minutes);
  }
  for (const WhiteLists& lists :
       {WhiteLists{}, WhiteLists{"ann,bob", "", ""}, WhiteLists{"", "Cruzer 0123", "Cruzer"}}) {
    EXPECT_EQ(exchange(BuildSwhFrame(lists)), "");
    // The reply's list text is a view into the bytes received: keep them.
    const std::string received = exchange(BuildQueryFrame(CommandWord::kGwh));
    const auto reply = ReadCommandReply(received);
    ASSERT_TRUE(reply);
    EXPECT_EQ(SplitWhiteLists(reply->listText), lists);
  }
}

// --- Whitelist notices -------------------------------------------------------------------------

TEST(WhiteListNoticeTest, BuildsAndReadsBothNotices) {
  EXPECT_EQ(BuildDeviceNotice(4, "Kingston DataTraveler 0019E06B"),
            "4;Kingston DataTraveler 0019E06B;");
  EXPECT_EQ(DeviceNoticeText(0, "X"), "0;X");
  EXPECT_EQ(BuildNotice(kUnmountNoticeWord), kUnmountNotice);

  EXPECT_TRUE(ParseWhiteListNotice("UMNT;").unmount);
  const WhiteListNotice device = ParseWhiteListNotice("4;Kingston DataTraveler-2 0019E06B;");
  EXPECT_FALSE(device.unmount);
  EXPECT_EQ(device.driveIndex, 4);
  EXPECT_EQ(device.deviceText, "Kingston DataTraveler-2 0019E06B");
  EXPECT_EQ(device.make, "Kingston DataTraveler-2");

  // Anything that does not start with a number is a notice for a blocked drive.
  const WhiteListNotice odd = ParseWhiteListNotice("UMNT;x");
  EXPECT_FALSE(odd.unmount);
  EXPECT_EQ(odd.driveIndex, 0);
  EXPECT_EQ(odd.deviceText, "x");
  EXPECT_EQ(ParseWhiteListNotice("0;;").deviceText, "");
  EXPECT_EQ(MakeOfDeviceText("NoSerial"), "NoSerial");
}

}  // namespace
}  // namespace uv::protocol
