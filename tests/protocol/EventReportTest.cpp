// Event reports and the event port: building, replay marker, and the console's reading.

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>
#include <set>
#include <string>

#include "protocol/EventCategory.h"
#include "protocol/EventPort.h"
#include "protocol/EventReport.h"

namespace uv::protocol {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

constexpr std::string_view kOwnVersion = "VERSION=1 6 0 0";

ReportFields ExampleFields() {
  ReportFields fields;
  fields.version = kOwnVersion;
  fields.time = {7, 3, 2009, 14, 5, 9};
  fields.computer = "PC17";
  fields.user = "user1";
  fields.address = "192.168.1.23";
  fields.message = "Inserted USB Flash Disk on PC17\\user1";
  return fields;
}

// --- Event port --------------------------------------------------------------------------------

struct DatagramCase {
  std::string bytes;
  EventPortDatagram kind;
};

class EventPortRequestTest : public ::testing::TestWithParam<DatagramCase> {};

TEST_P(EventPortRequestTest, OnlyTheFourCharactersAndTheirTerminatorAreARequest) {
  EXPECT_EQ(ClassifyEventPortDatagram(GetParam().bytes), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(Datagrams, EventPortRequestTest,
                         ::testing::Values(DatagramCase{"RUT;", EventPortDatagram::kProbe},
                                           DatagramCase{"GCC;", EventPortDatagram::kConfigRequest},
                                           DatagramCase{"RUT;x", EventPortDatagram::kReport},
                                           DatagramCase{"RUT", EventPortDatagram::kReport},
                                           DatagramCase{"RUT;\0"s, EventPortDatagram::kProbe},
                                           DatagramCase{"GCC;\0junk"s,
                                                        EventPortDatagram::kConfigRequest},
                                           DatagramCase{"RUT\0;"s, EventPortDatagram::kReport},
                                           DatagramCase{"rut;", EventPortDatagram::kReport},
                                           DatagramCase{" RUT;", EventPortDatagram::kReport},
                                           DatagramCase{"GCC;;", EventPortDatagram::kReport},
                                           DatagramCase{"IMA;", EventPortDatagram::kReport},
                                           DatagramCase{"", EventPortDatagram::kReport}));

TEST(EventPortTest, ProbeAnswerMustBeExactlyIma) {
  EXPECT_TRUE(IsProbeAnswer("IMA;"));
  EXPECT_TRUE(IsProbeAnswer("IMA;\0"s));
  for (const std::string& bad : {"IMA;x"s, "IMA"s, "IMA;IMA;"s, "ima;"s, ""s, "\0IMA;"s}) {
    EXPECT_FALSE(IsProbeAnswer(bad)) << bad;
  }
}

TEST(EventPortTest, DatagramTextKeepsAtMost1023BytesUpToTheFirstZero) {
  const std::string full(1024, 'a');
  EXPECT_EQ(EventTextOfDatagram(full).size(), 1023u);
  EXPECT_EQ(EventTextOfDatagram(std::string(5000, 'b')).size(), 1023u);
  EXPECT_EQ(EventTextOfDatagram("abc\0def"s), "abc");
  EXPECT_EQ(EventTextOfDatagram(""), "");
  // The cut keeps whole UTF-8 characters; bytes that are no UTF-8 count one each.
  EXPECT_EQ(EventTextOfDatagram(std::string(1021, 'a') + "\xC3\xA9"),
            std::string(1021, 'a') + "\xC3\xA9");
  EXPECT_EQ(EventTextOfDatagram(std::string(1022, 'a') + "\xC3\xA9"), std::string(1022, 'a'));
  EXPECT_EQ(EventTextOfDatagram(std::string(1021, 'a') + "\xE6\x97\xA5"), std::string(1021, 'a'));
  EXPECT_EQ(EventTextOfDatagram(std::string(1022, 'a') + "\xE9\xE9"),
            std::string(1022, 'a') + "\xE9");
  EXPECT_EQ(EventTextOfDatagram("r\xC3\xA9sum\xC3\xA9\0tail"s), "r\xC3\xA9sum\xC3\xA9");
}

TEST(EventPortTest, ConfigAnswerIsZeroOnlyForAReadZero) {
  EXPECT_EQ(ConfigQueryAnswer(true, 0), "0");
  EXPECT_EQ(ConfigQueryAnswer(true, 1), "1");
  EXPECT_EQ(ConfigQueryAnswer(true, 7), "1");
  EXPECT_EQ(ConfigQueryAnswer(false, 0), "1");
}

// --- Building ----------------------------------------------------------------------------------

TEST(EventReportTest, BuildsTheDocumentedExampleAndItsBody) {
  EventReport report;
  report.Build(ExampleFields());
  EXPECT_EQ(report.text(),
            "VERSION=1 6 0 0,07/03/2009,14:05:09,PC17\\user1,192.168.1.23,"
            "Inserted USB Flash Disk on PC17\\user1");
  EXPECT_EQ(report.body(),
            "07/03/2009,14:05:09,PC17\\user1,192.168.1.23,Inserted USB Flash Disk on PC17\\user1");
  EXPECT_EQ(BuildEventReport(ExampleFields()), report.text());
  EXPECT_EQ(BuildReportBody(ExampleFields()), report.body());
}

TEST(EventReportTest, RebuildingReplacesTheWholeReportAndMovesTheBody) {
  EventReport report;
  report.Build(ExampleFields());
  ReportFields shorter = ExampleFields();
  shorter.version = "VERSION=2";
  shorter.message = "Added E:\\a";
  shorter.user = "";
  report.Build(shorter);
  EXPECT_EQ(report.text(), "VERSION=2,07/03/2009,14:05:09,PC17\\,192.168.1.23,Added E:\\a");
  EXPECT_EQ(report.body(), "07/03/2009,14:05:09,PC17\\,192.168.1.23,Added E:\\a");
}

TEST(EventReportTest, ZeroPaddingMatchesPrintfForAnyValue) {
  for (const int width : {2, 4}) {
    for (const int value : {0, 5, 9, 10, 99, 100, 999, 2009, 9999, 10000, 12345, -1, -5, -10, -100,
                            -2009, INT_MAX, INT_MIN}) {
      char expected[32];
      std::snprintf(expected, sizeof expected, "%0*d", width, value);
      std::string out;
      AppendZeroPadded(out, value, width);
      EXPECT_EQ(out, expected) << "value " << value << " width " << width;
    }
  }
}

TEST(EventReportTest, DateTimeMatchesTheFormatEvenForABrokenClock) {
  std::mt19937 random(20091407);
  std::uniform_int_distribution<int> wide(-20000, 20000);
  std::uniform_int_distribution<int> plausible(0, 99);
  for (int i = 0; i < 2000; ++i) {
    auto pick = [&] { return i % 2 == 0 ? plausible(random) : wide(random); };
    const ReportTime time{pick(), pick(), i % 2 == 0 ? 1900 + plausible(random) : wide(random),
                          pick(), pick(), pick()};
    char expected[128];
    std::snprintf(expected, sizeof expected, "%02d/%02d/%04d,%02d:%02d:%02d,", time.day, time.month,
                  time.year, time.hour, time.minute, time.second);
    std::string out;
    AppendReportDateTime(out, time);
    ASSERT_EQ(out, expected);
  }
}

// --- Replay ------------------------------------------------------------------------------------

struct OfflineCase {
  std::string line;
  std::string expected;
};

class OfflineMarkerTest : public ::testing::TestWithParam<OfflineCase> {};

TEST_P(OfflineMarkerTest, GoesAfterTheLastCommaOrInFront) {
  std::string line = GetParam().line;
  InsertOfflineMarker(line);
  EXPECT_EQ(line, GetParam().expected);
  EXPECT_EQ(WithOfflineMarker(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OfflineMarkerTest,
    ::testing::Values(
        OfflineCase{"VERSION=1 6 0 0,07/03/2009,14:05:09,PC\\u,10.0.0.1,Inserted X on PC\\u",
                    "VERSION=1 6 0 0,07/03/2009,14:05:09,PC\\u,10.0.0.1,Offline,Inserted X on "
                    "PC\\u"},
        // A comma inside the message moves the marker into the message.
        OfflineCase{"V,d,t,c,a,Added E:\\x,y.txt", "V,d,t,c,a,Added E:\\x,Offline,y.txt"},
        OfflineCase{"no separator at all", "Offline,no separator at all"},
        OfflineCase{"ends with,", "ends with,Offline,"}, OfflineCase{"", "Offline,"}));

TEST(EventReportTest, ReplayedReportReadsAsOfflineWithTheEventsOwnTime) {
  std::string line = BuildEventReport(ExampleFields()) + "\r\n";
  StripLineBreaks(line);
  EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
  InsertOfflineMarker(line);

  const VersionSplit split = SplitVersion(line, kOwnVersion);
  ASSERT_FALSE(split.mismatch);
  const EventFields fields = ParseReportBody(split.text);
  EXPECT_EQ(fields.date, "07/03/2009");
  EXPECT_EQ(fields.time, "14:05:09");
  EXPECT_EQ(fields.category, "Offline");
  EXPECT_EQ(fields.message, "Inserted USB Flash Disk on PC17\\user1");
  EXPECT_EQ(CategoryWordOfReport(split.text), "Offline");
}

// --- The console's reading ---------------------------------------------------------------------

TEST(EventReportTest, FirstWordSkipsLeadingBlanks) {
  EXPECT_EQ(FirstWordOf("Inserted USB Disk"), "Inserted");
  EXPECT_EQ(FirstWordOf("   Added E:\\x"), "Added");
  EXPECT_EQ(FirstWordOf("Save-Energy 10 minutes"), "Save-Energy");
  EXPECT_EQ(FirstWordOf("Single"), "Single");
  EXPECT_EQ(FirstWordOf("   "), "");
  EXPECT_EQ(FirstWordOf(""), "");
}

struct SplitCase {
  std::string report;
  bool mismatch;
  std::string text;
};

class SplitVersionTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitVersionTest, ComparesTheWholeFirstField) {
  const VersionSplit split = SplitVersion(GetParam().report, kOwnVersion);
  EXPECT_EQ(split.mismatch, GetParam().mismatch);
  EXPECT_EQ(split.text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, SplitVersionTest,
    ::testing::Values(
        SplitCase{"VERSION=1 6 0 0,d,t,c,a,m", false, "d,t,c,a,m"},
        SplitCase{",,VERSION=1 6 0 0,d,t", false, "d,t"}, SplitCase{"VERSION=1 6 0 0", false, ""},
        // Another release: the field goes, the flag says mismatch.
        SplitCase{"VERSION=1 5 0 0,d,t", true, "d,t"}, SplitCase{"VERSION=1 6 0,d", true, "d"},
        SplitCase{"VERSION=1 6 0 0 0,d", true, "d"}, SplitCase{"xVERSION=1 6 0 0,d", true, "d"},
        SplitCase{"version=1 6 0 0,d", true, "version=1 6 0 0,d"},
        // No version at all: nothing is removed.
        SplitCase{"07/03/2009,14:05:09,c,a,m", true, "07/03/2009,14:05:09,c,a,m"},
        SplitCase{"", true, ""}, SplitCase{",,,", true, ",,,"}));

TEST(EventReportTest, ReportBodySplitsLikeTheConsoleList) {
  const EventFields normal = ParseReportBody(
      "07/03/2009,14:05:09,PC\\u,10.0.0.1,Removed Disk on PC\\u [ 10.0.0.9 ] at 10:00:00");
  EXPECT_EQ(normal.computerUser, "PC\\u");
  EXPECT_EQ(normal.address, "10.0.0.1");
  EXPECT_EQ(normal.message, "Removed Disk on PC\\u [ 10.0.0.9 ] at 10:00:00");
  EXPECT_EQ(normal.category, "Removed");

  // A message with a comma is cut there.
  EXPECT_EQ(ParseReportBody("d,t,c,a,Added E:\\x,y.txt").message, "Added E:\\x");

  // An empty field shifts the later ones; missing fields are empty.
  const EventFields shifted = ParseReportBody("d,,c,a,Mounted E:\\");
  EXPECT_EQ(shifted.time, "c");
  EXPECT_EQ(shifted.address, "Mounted E:\\");
  EXPECT_EQ(shifted.message, "");
  EXPECT_EQ(shifted.category, "");

  const EventFields replay = ParseReportBody("d,t,c,a,Offline,Inserted X");
  EXPECT_EQ(replay.message, "Inserted X");
  EXPECT_EQ(replay.category, "Offline");
}

TEST(EventReportTest, JournalLineDropsTheVersionAndKnowsNoReplay) {
  const EventFields fields = ParseJournalLine("VERSION=1 6 0 0,d,t,c,a,Offline thing");
  EXPECT_EQ(fields.date, "d");
  EXPECT_EQ(fields.message, "Offline thing");
  EXPECT_EQ(fields.category, "Offline");
  // Two commas in a row shift the rest one column to the left.
  const EventFields shifted = ParseJournalLine("VERSION=1 6 0 0,d,,c,a,Added x");
  EXPECT_EQ(shifted.time, "c");
  EXPECT_EQ(shifted.address, "Added x");
  EXPECT_EQ(shifted.message, "");
}

TEST(EventReportTest, BalloonTakesTheFifthFieldOrTheSixthAfterOffline) {
  EXPECT_EQ(BalloonTextOf("d,t,c,a,Inserted X [ 1.2.3.4 ]"), "Inserted X [ 1.2.3.4 ]");
  EXPECT_EQ(BalloonTextOf("d,t,c,a,Offline,Inserted X [ 1.2.3.4 ]"), "Inserted X [ 1.2.3.4 ]");
  EXPECT_EQ(BalloonTextOf("d,t,c,a"), std::nullopt);
  EXPECT_EQ(BalloonTextOf("d,t,c,a,Offline"), std::nullopt);
  EXPECT_EQ(BalloonTextOf(""), std::nullopt);
}

struct LogCase {
  std::string fullText;
  std::string line;
};

class LogLineTest : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogLineTest, InsertsTheCategoryAfterTheLastComma) {
  std::string out = "stale";
  BuildLogLine(out, GetParam().fullText);
  EXPECT_EQ(out, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LogLineTest,
    ::testing::Values(
        LogCase{"07/03/2009,14:05:09,PC\\u,192.168.1.23,Inserted Disk on PC\\u [ 192.168.1.23 ] "
                "at 14:05:11",
                "07/03/2009,14:05:09,PC\\u,192.168.1.23,Inserted,Inserted Disk on PC\\u [ "
                "192.168.1.23 ] at 14:05:11"},
        // A replay already carries its category.
        LogCase{"d,t,c,a,Offline,Inserted X [ a ] at 1", "d,t,c,a,Offline,Inserted X [ a ] at 1"},
        // So does anything that merely contains the word: five fields.
        LogCase{"d,t,c,a,Added E:\\Offline\\x [ a ] at 1",
                "d,t,c,a,Added E:\\Offline\\x [ a ] at 1"},
        // A comma in the message: the "category" is the word after it.
        LogCase{"d,t,c,a,Added E:\\x, y.txt [ a ]", "d,t,c,a,Added E:\\x,y.txt, y.txt [ a ]"},
        LogCase{"Deleted nothing else", "Deleted,Deleted nothing else"}, LogCase{"d,t,", "d,t,,"}));

TEST(EventReportTest, VersionMismatchLogLine) {
  std::string out;
  BuildVersionMismatchLogLine(out, "10.1.2.3");
  EXPECT_EQ(out, ",,,10.1.2.3,,Client Version does not match");
  EXPECT_EQ(LogCategoryOf("a,b,  Mounted E:"), "Mounted");
}

// --- Vocabulary --------------------------------------------------------------------------------

TEST(EventCategoryTest, WordsAreUniqueAndFoundExactly) {
  std::set<std::string_view> words;
  for (const auto& info : kEventCategories) {
    EXPECT_TRUE(words.insert(info.word).second) << info.word;
    EXPECT_EQ(FindEventCategory(info.word), info.category);
    EXPECT_FALSE(info.caption.empty());
    EXPECT_EQ(info.caption.back(), ':');
  }
  EXPECT_EQ(InfoOf(EventCategory::kChanged).caption, "Client Configuration Changed:");
  EXPECT_EQ(WordOf(EventCategory::kBlockedUsb), "Blocked-USB");
  for (const std::string_view other :
       {"inserted", "Inserted ", "Executed", "Unable-to-block", ""}) {
    EXPECT_EQ(FindEventCategory(other), std::nullopt) << other;
  }
}

TEST(EventCategoryTest, ContainedWordsAreCaseSensitiveSubstrings) {
  EXPECT_EQ(CategoriesContainedIn("System-Shutdown PC\\u"),
            MaskOf(EventCategory::kSystemShutdown) | MaskOf(EventCategory::kShutdown));
  // "Unmounted" does not contain "Mounted".
  EXPECT_EQ(CategoriesContainedIn("Unmounted drive E:\\"), MaskOf(EventCategory::kUnmounted));
  EXPECT_EQ(CategoriesContainedIn("Added E:\\Offline\\Renamed.txt"),
            MaskOf(EventCategory::kAdded) | MaskOf(EventCategory::kOffline) |
                MaskOf(EventCategory::kRenamed));
  EXPECT_EQ(CategoriesContainedIn("Executed calc on PC"), 0);
}

TEST(EventCategoryTest, RunExeCodesAreDistinctSingleBits) {
  std::uint32_t seen = 0;
  for (const auto& event : kRunExeEvents) {
    EXPECT_EQ(event.code & (event.code - 1), 0u) << event.word;
    EXPECT_EQ(seen & event.code, 0u) << event.word;
    seen |= event.code;
    EXPECT_EQ(RunExeCodeOf(event.word), event.code);
    EXPECT_EQ(RunExeWordOf(event.code), event.word);
    EXPECT_TRUE(FindEventCategory(event.word).has_value()) << event.word;
  }
  EXPECT_EQ(RunExeCodeOf("Inserted"), 0x100u);
  EXPECT_EQ(RunExeCodeOf("Blocked-USB"), 0x1000u);
  EXPECT_EQ(RunExeCodeOf("None"), std::nullopt);
  EXPECT_EQ(RunExeCodeOf("Offline"), std::nullopt);
  EXPECT_EQ(RunExeWordOf(0), std::nullopt);
  EXPECT_EQ(RunExeWordOf(0x3), std::nullopt);
}

TEST(EventCategoryTest, RunExeSettingSplitsAtTheFirstBlankAfterTheWord) {
  const RunExeSetting full = ParseRunExeSetting("Inserted C:\\tools\\note.exe /s x");
  EXPECT_EQ(full.word, "Inserted");
  EXPECT_EQ(full.command, "C:\\tools\\note.exe /s x");
  const RunExeSetting leading = ParseRunExeSetting("   Mounted  cmd");
  EXPECT_EQ(leading.word, "Mounted");
  EXPECT_EQ(leading.command, " cmd");
  const RunExeSetting off = ParseRunExeSetting("None");
  EXPECT_EQ(off.word, kRunExeOff);
  EXPECT_EQ(off.command, "");
  EXPECT_EQ(ParseRunExeSetting("").word, "");
}

}  // namespace
}  // namespace uv::protocol
