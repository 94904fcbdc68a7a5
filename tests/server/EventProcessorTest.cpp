// One report through every outlet of the handler, with recorders in place of the list, the tray,
// the sound device and the log file.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "server/app/EventProcessor.h"

using namespace uv::server;

namespace {

struct HistoryRecorder : IHistorySink {
  void InsertRowAtTop(EventRow row) override { rows.insert(rows.begin(), std::move(row)); }
  std::vector<EventRow> rows;
};

struct SoundRecorder : ISoundPlayer {
  void PlayAsync(const std::string& file) override { files.push_back(file); }
  std::vector<std::string> files;
};

constexpr const char* kVersion = "VERSION=1 6 0 0";

class ProcessorTest : public ::testing::Test {
 protected:
  ProcessorTest()
      : processor_(
            kVersion, history_, balloons_, sound_, mail_,
            [] {
              return ClockTime{14, 5, 11};
            },
            [this](const std::string& path, std::string_view line) {
              logged_.emplace_back(path, std::string(line));
            }) {
    settings_.enableLog = true;
    settings_.logFilePath = "/tmp/console.log";
    settings_.playSound = true;
    settings_.wavFile = "C:\\Windows\\Media\\notify.wav";
    settings_.sendMail = true;
    settings_.mailTo = "admin@x.y";
  }

  void Receive(const std::string& body, const std::string& sender = "192.168.1.23") {
    processor_.Handle(std::string(kVersion) + "," + body, sender, settings_);
  }

  HistoryRecorder history_;
  BalloonRecorder balloons_;
  SoundRecorder sound_;
  CMailQueue mail_;
  std::vector<std::pair<std::string, std::string>> logged_;
  ServerSettings settings_;
  CEventProcessor processor_;
};

}  // namespace

TEST_F(ProcessorTest, InsertedReportReachesEveryOutlet) {
  Receive("07/03/2009,14:05:09,PC17\\user1,192.168.1.23,Inserted USB Disk on PC17\\user1");
  ASSERT_EQ(history_.rows.size(), 1u);
  EXPECT_EQ(history_.rows[0].message,
            "Inserted USB Disk on PC17\\user1 [ 192.168.1.23 ] at 14:05:11");
  ASSERT_EQ(balloons_.Count(), 1u);
  EXPECT_EQ(balloons_.Requests()[0].title, "USBVantrel! Server");
  EXPECT_EQ(balloons_.Requests()[0].text, "Inserted USB Disk on PC17\\user1 [ 192.168.1.23 ]");
  EXPECT_EQ(balloons_.Requests()[0].timeoutMs, 5000);
  EXPECT_EQ(sound_.files, std::vector<std::string>{"C:\\Windows\\Media\\notify.wav"});
  ASSERT_EQ(logged_.size(), 1u);
  EXPECT_EQ(logged_[0].first, "/tmp/console.log");
  EXPECT_EQ(logged_[0].second,
            "07/03/2009,14:05:09,PC17\\user1,192.168.1.23,Inserted,Inserted USB Disk on "
            "PC17\\user1 [ 192.168.1.23 ] at 14:05:11\r\n");
  auto mail = mail_.TakeHead();
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail->To, "admin@x.y");
  EXPECT_NE(mail->Body.find("Category:Inserted\n"), std::string::npos);
}

TEST_F(ProcessorTest, SwitchesTurnOutletsOff) {
  settings_.disableBalloon = true;
  settings_.enableLog = false;
  settings_.sendMail = false;
  settings_.playSound = false;
  Receive("d,t,c,a,Removed Disk");
  EXPECT_EQ(history_.rows.size(), 1u);
  EXPECT_EQ(balloons_.Count(), 0u);
  EXPECT_TRUE(sound_.files.empty());
  EXPECT_TRUE(logged_.empty());
  EXPECT_EQ(mail_.Size(), 0u);
}

TEST_F(ProcessorTest, SoundIgnoresFilterBitsAndUnmounted) {
  settings_.msgFilterFlags = 0;
  settings_.msgFilterFlagsExtra = 0;
  Receive("d,t,c,a,Mounted drive E:\\ on PC");
  Receive("d,t,c,a,Unmounted drive E:\\ on PC");
  Receive("d,t,c,a,Removed Disk");
  EXPECT_EQ(sound_.files.size(), 2u);
  EXPECT_TRUE(history_.rows.empty());
}

TEST_F(ProcessorTest, HistoryBitClearStillBalloonsLogsAndMails) {
  settings_.msgFilterFlagsExtra = 0xFFFFFFFFu & ~0x800u;
  Receive("d,t,c,a,Inserted Disk");
  EXPECT_TRUE(history_.rows.empty());
  EXPECT_EQ(balloons_.Count(), 1u);
  EXPECT_EQ(logged_.size(), 1u);
  EXPECT_EQ(mail_.Size(), 1u);
}

TEST_F(ProcessorTest, MismatchGoesEverywhereWhateverTheFilters) {
  settings_.msgFilterFlags = 0;
  settings_.msgFilterFlagsExtra = 0;
  processor_.Handle("VERSION=1 5 0 0,d,t,c,a,Inserted Disk", "10.0.0.8", settings_);
  ASSERT_EQ(history_.rows.size(), 1u);
  EXPECT_EQ(history_.rows[0].address, "10.0.0.8");
  EXPECT_EQ(history_.rows[0].message, "Client Version does not match");
  EXPECT_EQ(balloons_.Requests().at(0).text, "Client Version does not match on 10.0.0.8");
  ASSERT_EQ(logged_.size(), 1u);
  EXPECT_EQ(logged_[0].second, ",,,10.0.0.8,,Client Version does not match\r\n");
  EXPECT_EQ(mail_.Size(), 1u);
  // The sound looks at the text as it arrived: the device word is still in it.
  EXPECT_EQ(sound_.files.size(), 1u);
}

TEST_F(ProcessorTest, KnownClientsInOrderOfFirstArrival) {
  Receive("d,t,c,a,Started x", "10.0.0.2");
  Receive("d,t,c,a,Started x", "10.0.0.1");
  Receive("d,t,c,a,Started x", "10.0.0.2");
  processor_.Handle("garbage", "10.0.0.3", settings_);
  EXPECT_EQ(processor_.KnownClients(),
            (std::vector<std::string>{"10.0.0.2", "10.0.0.1", "10.0.0.3"}));
}

TEST_F(ProcessorTest, ShortReportsAndHugeMessagesAreHandledWhole) {
  Receive("07/03/2009");
  ASSERT_EQ(history_.rows.size(), 1u);
  EXPECT_EQ(history_.rows[0].message, "");
  ASSERT_EQ(balloons_.Count(), 1u);
  EXPECT_EQ(balloons_.Requests()[0].text, "07/03/2009 [ 192.168.1.23 ]");

  Receive("d,t,c,a,Added " + std::string(900, 'x'));
  ASSERT_EQ(balloons_.Count(), 2u);
  EXPECT_EQ(balloons_.Requests()[1].text.size(), kMaxBalloonText);
  EXPECT_TRUE(balloons_.Requests()[1].text.startsWith("Added xxx"));
  EXPECT_EQ(history_.rows[0].message.size(), 6u + 900u + 29u);
}

TEST(BalloonRecorder, KeepsARecentWindowAndCountsAll) {
  BalloonRecorder recorder;
  for (std::size_t i = 0; i < BalloonRecorder::kKeep + 10; ++i) {
    recorder.ShowBalloon("t", QString::number(i));
  }
  EXPECT_EQ(recorder.Count(), BalloonRecorder::kKeep + 10);
  ASSERT_EQ(recorder.Requests().size(), BalloonRecorder::kKeep);
  EXPECT_EQ(recorder.Requests().front().text, "10");
  EXPECT_EQ(CutBalloonText(QString(300, QLatin1Char('a'))).size(), kMaxBalloonText);
  EXPECT_EQ(CutBalloonText(QString(255, QLatin1Char('a'))).size(), 255);
  // The record holds 255 bytes of UTF-8, whole characters only.
  const QString e = QString::fromUtf8("\xC3\xA9"), ni = QString::fromUtf8("\xE6\x97\xA5");
  EXPECT_EQ(CutBalloonText(QString(253, QLatin1Char('a')) + e), QString(253, QLatin1Char('a')) + e);
  EXPECT_EQ(CutBalloonText(QString(254, QLatin1Char('a')) + e), QString(254, QLatin1Char('a')));
  EXPECT_EQ(CutBalloonText(ni.repeated(85)), ni.repeated(85));
  EXPECT_EQ(CutBalloonText(ni.repeated(86)), ni.repeated(85));
  EXPECT_EQ(CutBalloonText(QString::fromUtf8("\xF0\x9F\x98\x80").repeated(64)).size(), 2 * 63);
}
