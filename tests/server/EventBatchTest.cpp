// Reports handled as a batch, as the listener hands a burst over: every report reaches the same
// outlets with the same texts as when handled alone, and the batch's log lines are in the file,
// whole, before any of its rows shows; told so, a batch's mails leave the worker's wake-up to
// the caller.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/app/EventProcessor.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using namespace uv::server;
using uv::platform::Ipv4Address;
using uv::platform::SocketAddress;

namespace {

constexpr const char* kVersion = "VERSION=1 6 0 0";

struct Rows : IHistorySink {
  void InsertRowAtTop(EventRow row) override {
    if (onInsert) onInsert();
    rows.push_back(std::move(row));
  }
  std::function<void()> onInsert;
  std::vector<EventRow> rows;  // in order of insertion
};

struct Sounds : ISoundPlayer {
  void PlayAsync(const std::string& file) override { files.push_back(file); }
  std::vector<std::string> files;
};

// One processor and its recorders.
struct Console {
  explicit Console(bool recordLines)
      : processor(kVersion, rows, balloons, sounds, mail, Clock(), Writer(recordLines)) {}

  static CEventProcessor::Clock Clock() {
    return [] { return ClockTime{9, 7, 5}; };
  }
  CEventProcessor::LogWriter Writer(bool recordLines) {
    if (!recordLines) return {};
    return [this](const std::string&, std::string_view line) { lines.emplace_back(line); };
  }
  std::vector<std::string> BalloonTexts() const {
    std::vector<std::string> texts;
    for (const auto& request : balloons.Requests()) texts.push_back(request.text.toStdString());
    return texts;
  }

  Rows rows;
  BalloonRecorder balloons;
  Sounds sounds;
  CMailQueue mail;
  std::vector<std::string> lines;
  CEventProcessor processor;
};

EventListener::Report Report(const std::string& text, Ipv4Address from) {
  return EventListener::Report{text, SocketAddress{from, 40007}};
}

using uv::test::ReadFile;

}  // namespace

TEST(EventBatch, EveryReportGetsWhatItWouldGetAlone) {
  const std::string v = std::string(kVersion) + ",";
  const std::vector<EventListener::Report> reports = {
      Report(v + "07/03/2009,14:05:09,PC17\\u,192.168.1.23,Inserted USB Disk", {192, 168, 1, 23}),
      Report(v + "d,t,c,a,Offline,Removed Disk", {10, 0, 0, 9}),
      Report("VERSION=1 5 0 0,d,t,c,a,Inserted Disk", {0, 99, 100, 255}),
      Report(v + "d,t,c,a,Mounted drive E:\\ on PC", {10, 0, 0, 9}),
      Report(v + "07/03/2009", {127, 0, 0, 1}),
      Report(v + "d,t,c,a,Started x,with a comma", {1, 10, 200, 0}),
      Report(v + "d,t,c,a,Added " + std::string(900, 'x'), {192, 168, 1, 23}),
      Report("garbage", {10, 0, 0, 8}),
  };
  struct Case {
    const char* name;
    std::uint32_t flags;
    std::uint32_t extra;
  };
  // Everything through, the Inserted History bit clear, and every filter bit clear.
  const Case cases[] = {{"all bits", 0xFFFFFFFFu, 0xFFFFFFFFu},
                        {"no inserted row", 0xFFFFFFFFu, 0xFFFFFFFFu & ~0x800u},
                        {"no bits", 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerSettings settings;
    settings.enableLog = true;
    settings.logFilePath = "/tmp/never-written.log";
    settings.playSound = true;
    settings.sendMail = true;
    settings.mailTo = "admin@x.y";
    settings.msgFilterFlags = c.flags;
    settings.msgFilterFlagsExtra = c.extra;

    Console alone(true);
    for (const auto& report : reports) {
      alone.processor.Handle(report.text, report.from.address.ToString(), settings);
    }
    Console together(true);
    together.processor.HandleBatch(reports, settings);

    EXPECT_EQ(together.rows.rows, alone.rows.rows);
    EXPECT_EQ(together.BalloonTexts(), alone.BalloonTexts());
    EXPECT_EQ(together.sounds.files, alone.sounds.files);
    EXPECT_EQ(together.lines, alone.lines);
    EXPECT_EQ(together.mail.Size(), alone.mail.Size());
    EXPECT_EQ(together.processor.KnownClients(), alone.processor.KnownClients());
    // The batch formats the senders itself: the same dotted texts as the addresses give.
    EXPECT_EQ(together.processor.KnownClients(),
              (std::vector<std::string>{"192.168.1.23", "10.0.0.9", "0.99.100.255", "127.0.0.1",
                                        "1.10.200.0", "10.0.0.8"}));
  }
}

class EventBatchFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.enableLog = true;
    settings_.logFilePath = file_.string();
  }
  std::vector<EventListener::Report> Batch(std::initializer_list<const char*> messages) const {
    std::vector<EventListener::Report> batch;
    for (const char* m : messages) {
      batch.push_back(Report(std::string(kVersion) + ",d,t,c,a," + m, {10, 0, 0, 1}));
    }
    return batch;
  }
  static std::string Line(const char* message) {
    const std::string word = std::string(message).substr(0, std::string(message).find(' '));
    return "d,t,c,a," + word + "," + message + " [ 10.0.0.1 ] at 09:07:05\r\n";
  }
  uv::test::TempDir dir_{"uv-batch"};
  const fs::path file_ = dir_.path() / "console.log";
  ServerSettings settings_;
};

TEST_F(EventBatchFileTest, TheBatchsLinesAreInTheFileBeforeItsFirstRow) {
  Console console(false);
  std::vector<std::string> seenAtRows;
  console.rows.onInsert = [&] { seenAtRows.push_back(ReadFile(file_)); };
  console.processor.HandleBatch(Batch({"Added a", "Added b", "Removed c"}), settings_);
  const std::string whole =
      std::string(kLogHeader) + Line("Added a") + Line("Added b") + Line("Removed c");
  EXPECT_EQ(seenAtRows, std::vector<std::string>(3, whole));
  EXPECT_EQ(ReadFile(file_), whole);
}

// The file kept open between batches behaves as if opened for each: what happened to it in
// between takes effect at the next batch, whose lines all go to the file the path names then.
TEST_F(EventBatchFileTest, WhatHappensToTheFileBetweenBatchesTakesEffectAtTheNext) {
  const std::string header(kLogHeader);
  const std::string first = Line("Added 1") + Line("Added 2");
  const std::string second = Line("Added 3") + Line("Added 4");
  struct Case {
    const char* name;
    std::function<void(const fs::path& file)> between;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"nothing", [](const fs::path&) {}, header + first + second},
      {"deleted", [](const fs::path& f) { fs::remove(f); }, header + second},
      {"moved away", [](const fs::path& f) { fs::rename(f, f.string() + ".old"); },
       header + second},
      {"truncated", [](const fs::path& f) { fs::resize_file(f, 0); }, second},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Console console(false);
    console.processor.HandleBatch(Batch({"Added 1", "Added 2"}), settings_);
    c.between(file_);
    console.processor.HandleBatch(Batch({"Added 3", "Added 4"}), settings_);
    EXPECT_EQ(ReadFile(file_), c.expected);
    EXPECT_EQ(console.rows.rows.size(), 4u);
    std::error_code ec;
    fs::remove(file_, ec);
    fs::remove(file_.string() + ".old", ec);
  }
}

TEST_F(EventBatchFileTest, FilteredLinesAndLoggingOffLeaveTheFileAlone) {
  Console console(false);
  // The log bit of "Removed" clear: that line alone is left out of the batch's write.
  settings_.msgFilterFlags = 0xFFFFFFFFu & ~0x200u;
  console.processor.HandleBatch(Batch({"Added 1", "Removed 2", "Added 3"}), settings_);
  EXPECT_EQ(ReadFile(file_), std::string(kLogHeader) + Line("Added 1") + Line("Added 3"));

  // Logging off lets go of the file: one deleted meanwhile is not created again.
  settings_.enableLog = false;
  console.processor.HandleBatch(Batch({"Added 4"}), settings_);
  fs::remove(file_);
  console.processor.HandleBatch(Batch({"Added 5"}), settings_);
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_EQ(console.rows.rows.size(), 5u);

  // An empty batch does nothing at all.
  settings_.enableLog = true;
  console.processor.HandleBatch({}, settings_);
  EXPECT_FALSE(fs::exists(file_));
}

// A consumer blocked in the queue's wait, as the mail worker is between batches; ended, if still
// waiting, by the destructor.
class BlockedConsumer {
 public:
  explicit BlockedConsumer(CMailQueue& queue)
      : queue_(queue), thread_([this] { woken_ = queue_.WaitForWake(std::chrono::minutes(1)); }) {}
  ~BlockedConsumer() {
    if (!thread_.joinable()) return;
    queue_.SetWakeEvent();
    thread_.join();
  }
  BlockedConsumer(const BlockedConsumer&) = delete;
  BlockedConsumer& operator=(const BlockedConsumer&) = delete;

  bool WaitUntilBlocked() const {
    for (int i = 0; i < 1000 && !queue_.ConsumerWaiting(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return queue_.ConsumerWaiting();
  }
  // Waits for the consumer's wait to end; true when the event ended it (not the time-out).
  bool Woken() {
    thread_.join();
    return woken_;
  }

 private:
  CMailQueue& queue_;
  std::atomic<bool> woken_{false};
  std::thread thread_;
};

TEST(EventBatchMail, ABatchLeavesTheWakeUpToItsCallerOnlyWhenToldAndAReportAloneNever) {
  struct Case {
    const char* name;
    bool deferred;
    bool batch;
    std::size_t wakeUpsBeforeFlush;
  };
  const Case cases[] = {{"batch, default", false, true, 1},
                        {"batch, deferred", true, true, 0},
                        {"alone, deferred", true, false, 1}};
  const std::string v = std::string(kVersion) + ",";
  const std::vector<EventListener::Report> reports = {
      Report(v + "d,t,c,a,Inserted Disk 1", {10, 0, 0, 9}),
      Report(v + "d,t,c,a,Inserted Disk 2", {10, 0, 0, 9}),
  };
  ServerSettings settings;
  settings.sendMail = true;
  settings.mailTo = "admin@x.y";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Console console(true);
    console.processor.SetDeferredMailWake(c.deferred);
    BlockedConsumer consumer(console.mail);
    ASSERT_TRUE(consumer.WaitUntilBlocked());
    if (c.batch) {
      console.processor.HandleBatch(reports, settings);
    } else {
      for (const auto& report : reports) {
        console.processor.Handle(report.text, report.from.address.ToString(), settings);
      }
    }
    EXPECT_EQ(console.mail.Size(), reports.size());
    EXPECT_EQ(console.mail.WakeUps(), c.wakeUpsBeforeFlush);
    console.mail.WakeIfPending();  // what the listener thread does after the batch
    EXPECT_TRUE(consumer.Woken());
    EXPECT_EQ(console.mail.WakeUps(), 1u);
  }
}
