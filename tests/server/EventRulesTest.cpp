// The text rules of one event: version split, row, balloon, sound, log line, mail body, and the
// filter bits as each outlet applies them.

#include <gtest/gtest.h>

#include "server/app/EventRules.h"
#include "server/mail/MailQueue.h"

using namespace uv::server;

namespace {

constexpr std::string_view kOwn = "VERSION=1 6 0 0";
const FilterWords kAll{};

// A full text as the handler builds it: report body, sender in brackets, arrival time.
std::string Full(std::string_view body, std::string_view sender = "192.168.1.23",
                 std::string_view at = "14:05:11") {
  return std::string(body) + " [ " + std::string(sender) + " ] at " + std::string(at);
}

FilterWords Without(std::uint32_t flags, std::uint32_t extra) {
  return FilterWords{0xFFFFFFFFu & ~flags, 0xFFFFFFFFu & ~extra};
}

}  // namespace

TEST(SplitVersion, MatchingVersionIsRemovedAndGivesZero) {
  std::string text = "VERSION=1 6 0 0,07/03/2009,14:05:09,PC17\\u,10.0.0.1,Inserted X";
  EXPECT_EQ(SplitVersion(text, kOwn), 0);
  EXPECT_EQ(text, "07/03/2009,14:05:09,PC17\\u,10.0.0.1,Inserted X");
}

TEST(SplitVersion, OtherVersionIsRemovedButMismatches) {
  std::string text = "VERSION=1 5 0 0,07/03/2009,rest";
  EXPECT_EQ(SplitVersion(text, kOwn), 1);
  EXPECT_EQ(text, "07/03/2009,rest");
  // A field that only starts like ours is not ours.
  std::string longer = "VERSION=1 6 0 0 1,a";
  EXPECT_EQ(SplitVersion(longer, kOwn), 1);
  EXPECT_EQ(longer, "a");
}

TEST(SplitVersion, FieldWithoutVersionStaysAndMismatches) {
  std::string text = "hello,world";
  EXPECT_EQ(SplitVersion(text, kOwn), 1);
  EXPECT_EQ(text, "hello,world");
  std::string empty;
  EXPECT_EQ(SplitVersion(empty, kOwn), 1);
  EXPECT_EQ(empty, "");
  std::string alone = std::string(kOwn);
  EXPECT_EQ(SplitVersion(alone, kOwn), 0);
  EXPECT_EQ(alone, "");
}

TEST(HistoryRow, NormalReportFillsSixCellsAndCategoryIsFirstWord) {
  const std::string full =
      Full("07/03/2009,14:05:09,PC17\\user1,192.168.1.23,Inserted Disk on PC17");
  auto row = BuildHistoryRow(full, 0, "10.9.9.9", kAll);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->date, "07/03/2009");
  EXPECT_EQ(row->time, "14:05:09");
  EXPECT_EQ(row->computerUser, "PC17\\user1");
  EXPECT_EQ(row->address, "192.168.1.23");  // the report's own address field
  EXPECT_EQ(row->category, "Inserted");
  EXPECT_EQ(row->message, "Inserted Disk on PC17 [ 192.168.1.23 ] at 14:05:11");
}

TEST(HistoryRow, ReplayShowsOfflineAndTheClientMessage) {
  const std::string full = Full("07/03/2009,14:05:09,PC\\u,10.0.0.1,Offline,Removed Disk");
  auto row = BuildHistoryRow(full, 0, "10.0.0.1", kAll);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->category, "Offline");
  EXPECT_EQ(row->message, "Removed Disk [ 192.168.1.23 ] at 14:05:11");
  EXPECT_EQ(row->date, "07/03/2009");
}

TEST(HistoryRow, MismatchShowsOnlyPacketSourceAndNotice) {
  auto row = BuildHistoryRow("anything,at,all", 1, "127.0.0.9", Without(0, 0xFFFFFFFF));
  ASSERT_TRUE(row);
  EXPECT_EQ(*row, (EventRow{"", "", "", "127.0.0.9", "Client Version does not match", ""}));
}

TEST(HistoryRow, ExactRuleOnlyForTheFifteenWords) {
  const std::string inserted = Full("d,t,c,a,Inserted Disk");
  EXPECT_FALSE(BuildHistoryRow(inserted, 0, "a", Without(0, 0x800)));
  EXPECT_TRUE(BuildHistoryRow(inserted, 0, "a", Without(0, 0x4000)));
  // "System-Shutdown" needs only its own History bit, not the one of "Shutdown".
  const std::string sysdown = Full("d,t,c,a,System-Shutdown PC\\u");
  EXPECT_TRUE(BuildHistoryRow(sysdown, 0, "a", Without(0, 0x400)));
  EXPECT_FALSE(BuildHistoryRow(sysdown, 0, "a", Without(0, 0x100000)));
  // Words outside the vocabulary always get a row, even with every bit clear.
  const FilterWords none{0, 0};
  EXPECT_TRUE(BuildHistoryRow(Full("d,t,c,a,Executed prog on PC"), 0, "a", none));
  EXPECT_TRUE(BuildHistoryRow(Full("d,t,c,a,Unable-to-block USB drive E:\\"), 0, "a", none));
}

TEST(HistoryRow, ShortReportGetsEmptyCellsAndCommaCutsTheMessage) {
  auto row = BuildHistoryRow(Full("07/03/2009,14:05:09"), 0, "a", kAll);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->date, "07/03/2009");
  EXPECT_EQ(row->time, "14:05:09 [ 192.168.1.23 ] at 14:05:11");
  EXPECT_EQ(row->computerUser, "");
  EXPECT_EQ(row->message, "");
  EXPECT_EQ(row->category, "");

  auto cut = BuildHistoryRow(Full("d,t,c,a,Added E:\\a,b.txt"), 0, "a", kAll);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->message, "Added E:\\a");
  // Runs of separators count as one.
  auto runs = BuildHistoryRow("d,,,t,c,a,Started x", 0, "a", kAll);
  ASSERT_TRUE(runs);
  EXPECT_EQ(runs->time, "t");
  EXPECT_EQ(runs->category, "Started");
}

TEST(Balloon, TextIsTheMessageWithSenderOrTheReplayedMessage) {
  const std::string alert = "d,t,c,a,Inserted Disk on PC [ 10.0.0.5 ]";
  EXPECT_EQ(BalloonText(alert, 0, "10.0.0.5", kAll), "Inserted Disk on PC [ 10.0.0.5 ]");
  EXPECT_EQ(BalloonText("d,t,c,a,Offline,Removed Disk [ 1.2.3.4 ]", 0, "1.2.3.4", kAll),
            "Removed Disk [ 1.2.3.4 ]");
  EXPECT_EQ(BalloonText("x", 1, "1.2.3.4", FilterWords{0, 0}),
            "Client Version does not match on 1.2.3.4");
}

TEST(Balloon, ContainsRuleAndShortReports) {
  // The "Shutdown" balloon bit also stops "System-Shutdown".
  EXPECT_FALSE(
      BalloonText("d,t,c,a,System-Shutdown PC [ 1.1.1.1 ]", 0, "1.1.1.1", Without(0x10, 0)));
  // A path that contains a category word adds that word's condition.
  EXPECT_FALSE(BalloonText("d,t,c,a,Executed E:\\Deleted\\x [ 1.1.1.1 ]", 0, "1.1.1.1",
                           Without(0x400000, 0)));
  EXPECT_TRUE(BalloonText("d,t,c,a,Executed E:\\x [ 1.1.1.1 ]", 0, "1.1.1.1", FilterWords{0, 0}));
  // Fewer than five fields: the balloon shows what arrived.
  EXPECT_EQ(BalloonText("07/03/2009,14:05 [ 1.1.1.1 ]", 0, "1.1.1.1", kAll),
            "07/03/2009,14:05 [ 1.1.1.1 ]");
  // "Offline" only counts as the replay marker when it is the whole fifth field.
  EXPECT_EQ(BalloonText("d,t,c,a,Offline [ 1.1.1.1 ]", 0, "1.1.1.1", kAll), "Offline [ 1.1.1.1 ]");
}

TEST(Sound, DeviceEventsOnlyCaseSensitive) {
  EXPECT_TRUE(ShouldPlaySound("d,t,c,a,Inserted Disk"));
  EXPECT_TRUE(ShouldPlaySound("d,t,c,a,Removed Disk"));
  EXPECT_TRUE(ShouldPlaySound("d,t,c,a,Mounted drive E:\\"));
  EXPECT_FALSE(ShouldPlaySound("d,t,c,a,Unmounted drive E:\\"));
  EXPECT_FALSE(ShouldPlaySound("d,t,c,a,inserted lower case"));
  EXPECT_FALSE(ShouldPlaySound("d,t,c,a,Added E:\\f"));
}

TEST(LogLine, CategoryInsertedAfterTheLastComma) {
  const std::string full =
      Full("07/03/2009,14:05:09,PC17\\user1,192.168.1.23,Inserted USB Disk on PC17\\user1");
  EXPECT_EQ(BuildLogLine(full, 0, "192.168.1.23", kAll),
            "07/03/2009,14:05:09,PC17\\user1,192.168.1.23,Inserted,Inserted USB Disk on "
            "PC17\\user1 [ 192.168.1.23 ] at 14:05:11\r\n");
  // A comma in the message puts the "category" in the middle of the message.
  EXPECT_EQ(BuildLogLine("d,t,c,a,Added E:\\a, b.txt [ x ] at 1", 0, "x", kAll),
            "d,t,c,a,Added E:\\a,b.txt, b.txt [ x ] at 1\r\n");
  // No comma at all: at the very front.
  EXPECT_EQ(BuildLogLine("Started x", 0, "x", kAll), "Started,Started x\r\n");
}

TEST(LogLine, OfflineAnywhereMeansNoCategory) {
  EXPECT_EQ(BuildLogLine("d,t,c,a,Offline,Removed Disk [ x ] at 1", 0, "x", kAll),
            "d,t,c,a,Offline,Removed Disk [ x ] at 1\r\n");
  EXPECT_EQ(BuildLogLine("d,t,c,a,Added E:\\Offline.doc [ x ] at 1", 0, "x", kAll),
            "d,t,c,a,Added E:\\Offline.doc [ x ] at 1\r\n");
}

TEST(LogLine, MismatchIgnoresFiltersAndFilterStopsOthers) {
  EXPECT_EQ(BuildLogLine("whatever", 1, "10.1.2.3", FilterWords{0, 0}),
            ",,,10.1.2.3,,Client Version does not match\r\n");
  EXPECT_FALSE(BuildLogLine(Full("d,t,c,a,Inserted X"), 0, "a", Without(0x40, 0)));
  EXPECT_TRUE(BuildLogLine(Full("d,t,c,a,Inserted X"), 0, "a", Without(0x80, 0)));
  // Replayed reports need the Offline log bit as well as their own word's.
  EXPECT_FALSE(BuildLogLine(Full("d,t,c,a,Offline,Inserted X"), 0, "a", Without(0, 0x4000000)));
}

TEST(Mail, SystemShutdownNeedsBothEmailBitsAndMismatchAlwaysMails) {
  const std::string full = Full("d,t,c,a,System-Shutdown PC\\u");
  EXPECT_TRUE(ShouldMail(full, 0, kAll));
  EXPECT_FALSE(ShouldMail(full, 0, Without(0x20, 0)));  // "Shutdown" Email
  EXPECT_FALSE(ShouldMail(full, 0, Without(0, 0x20)));  // "System-Shutdown" Email
  EXPECT_TRUE(ShouldMail("x", 1, FilterWords{0, 0}));
}

TEST(Mail, BodiesOfNormalReplayedAndMismatchedEvents) {
  EXPECT_EQ(BuildMailBody("07/03/2009,14:05:09,PC\\u,1.2.3.4,Inserted Disk [ 1.2.3.4 ] at 1", 0,
                          "1.2.3.4"),
            "Date:07/03/2009\nTime:14:05:09\nComputer Name\\User:PC\\u\nIP Address:1.2.3.4\n"
            "Category:Inserted\nMessage:Inserted Disk [ 1.2.3.4 ] at 1\r\n");
  EXPECT_EQ(BuildMailBody("d,t,c,a,Offline,Removed Disk [ x ] at 1", 0, "x"),
            "Date:d\nTime:t\nComputer Name\\User:c\nIP Address:a\nCategory:Offline\n"
            "Message:Removed Disk [ x ] at 1\r\n");
  EXPECT_EQ(BuildMailBody("ignored", 1, "10.0.0.7"),
            "Date:\nTime:\nComputer Name:\\User\nIP Address:10.0.0.7\nCategory:\n"
            "Message:Client Version does not match\r\n");
}

TEST(Mail, RecordTakesServerByModeAndPortAsNumber) {
  ServerSettings settings;
  settings.mailFrom = "a@b.c";
  settings.mailTo = "d@e.f";
  settings.smtpPort = "2525x";
  settings.serverMode = kServerModeIp;
  settings.ip = {10, 0, 0, 25};
  settings.ipBlank = false;
  settings.smtpAuth = true;
  settings.userName = "u";
  settings.password = "p w";
  EMAIL_CONTEXT mail = MakeMailRecord(settings, "body");
  EXPECT_EQ(mail.Subject, "USBVantrel! Alert");
  EXPECT_EQ(mail.Server, "10.0.0.25");
  EXPECT_EQ(mail.Port, 2525);
  EXPECT_TRUE(mail.Authenticate);
  EXPECT_EQ(mail.Password, "p w");
  EXPECT_EQ(mail.Body, "body");

  settings.serverMode = kServerModeName;
  settings.machineName = "smtp.example";
  settings.smtpPort = "abc";
  mail = MakeMailRecord(settings, "");
  EXPECT_EQ(mail.Server, "smtp.example");
  EXPECT_EQ(mail.Port, 0);
}

TEST(MailQueue, FirstInFirstOutBoundedAndWakes) {
  CMailQueue queue;
  EXPECT_FALSE(queue.WaitForWake(std::chrono::milliseconds(1)));
  EMAIL_CONTEXT first;
  first.Body = "1";
  EMAIL_CONTEXT second;
  second.Body = "2";
  queue.Queue(first);
  queue.Queue(second);
  EXPECT_TRUE(queue.WaitForWake(std::chrono::milliseconds(1)));
  queue.ResetWakeEvent();
  EXPECT_FALSE(queue.WaitForWake(std::chrono::milliseconds(1)));
  EXPECT_EQ(queue.TakeHead()->Body, "1");
  EXPECT_EQ(queue.TakeHead()->Body, "2");
  EXPECT_FALSE(queue.TakeHead());

  for (std::size_t i = 0; i < CMailQueue::kMaxQueued + 5; ++i) {
    EMAIL_CONTEXT mail;
    mail.Body = std::to_string(i);
    queue.Queue(std::move(mail));
  }
  EXPECT_EQ(queue.Size(), CMailQueue::kMaxQueued);
  EXPECT_EQ(queue.Dropped(), 5u);
  EXPECT_EQ(queue.TakeHead()->Body, "5");  // the oldest went first
  queue.Clear();
  EXPECT_EQ(queue.Size(), 0u);
}
