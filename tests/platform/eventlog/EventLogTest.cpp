#include "platform/eventlog/EventLog.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/machine/Machine.h"
#include "tests/support/TempDir.h"

namespace uv::platform {
namespace {

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.empty());
    machine_ = std::make_unique<Machine>(root_);
  }
  void Append(std::string_view bytes) {
    std::ofstream out(machine_->EventLogFile(), std::ios::binary | std::ios::app);
    out << bytes;
  }

  test::TempDir temp_{"uv-eventlog"};
  const std::filesystem::path root_ = temp_.path();
  std::unique_ptr<Machine> machine_;
};

TEST(EventLineTest, FieldsWithSeparatorsSurviveTheRoundTrip) {
  const EventRecord records[] = {
      {"2026-01-02 03:04:05",
       EventType::kError,
       0xC0000101,
       "USBVantrel Client Service",
       {"tab\there", "two\nlines", "cr\rlf", "back\\slash \\t literal", ""}},
      {"2026-01-02 03:04:05", EventType::kInformation, 0x40000001, "src", {}},
      {"t", EventType::kAuditFailure, 0, "", {"only"}},
  };
  for (const auto& record : records) {
    const std::string line = FormatEventLine(record);
    // One event, one line.
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    EventRecord parsed;
    ASSERT_TRUE(ParseEventLine(line, &parsed)) << line;
    EXPECT_EQ(parsed.time, record.time);
    EXPECT_EQ(parsed.type, record.type);
    EXPECT_EQ(parsed.id, record.id);
    EXPECT_EQ(parsed.source, record.source);
    EXPECT_EQ(parsed.strings, record.strings);
  }
  EXPECT_EQ(FormatEventLine({"2026-01-02 03:04:05", EventType::kWarning, 0x11, "s", {"a b"}}),
            "2026-01-02 03:04:05\tWarning\t0x00000011\ts\ta b\n");
}

TEST(EventLineTest, AnythingButAnExactEventLineIsRejected) {
  const char* bad[] = {
      "",
      "\n",
      "2026-01-02 03:04:05\tWarning\t0x00000011\ts",           // no line end: cut off
      "2026-01-02 03:04:05\tWarning\t0x00000011\n",            // no source
      "2026-01-02 03:04:05\tNotice\t0x00000011\ts\n",          // unknown type
      "2026-01-02 03:04:05\tWarning\t0x0011\ts\n",             // id too short
      "2026-01-02 03:04:05\tWarning\t0x0000001G\ts\n",         // not hex
      "2026-01-02 03:04:05\tWarning\t11\ts\n",                 // no 0x
      "2026-01-02 03:04:05\tWarning\t0x00000011\ts\\q\n",      // unknown escape
      "2026-01-02 03:04:05\tWarning\t0x00000011\ts\tend\\\n",  // dangling backslash
  };
  for (const char* line : bad) {
    EventRecord record;
    record.source = "untouched";
    EXPECT_FALSE(ParseEventLine(line, &record)) << line;
    EXPECT_EQ(record.source, "untouched");
  }
}

TEST_F(EventLogTest, EventsAreReadBackInOrderAndForeignLinesAreSkipped) {
  std::size_t skipped = 99;
  auto none = ReadEventLog(*machine_, &skipped);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(skipped, 0u);

  ASSERT_EQ(ReportEvent(*machine_, EventType::kInformation, 0x40000001, "Svc", {"started"}),
            kErrorSuccess);
  Append("garbage that is not an event\n");
  ASSERT_EQ(ReportEvent(*machine_, EventType::kError, 0xC0000101, "Svc", {"a\tb", "c"}),
            kErrorSuccess);
  Append("2026-01-02 03:04:05\tError\t0x00000001\tcut");  // a writer died mid-line

  auto events = ReadEventLog(*machine_, &skipped);
  ASSERT_TRUE(events.ok());
  ASSERT_EQ(events->size(), 2u);
  EXPECT_EQ(skipped, 2u);
  EXPECT_EQ((*events)[0].id, 0x40000001u);
  EXPECT_EQ((*events)[0].strings, std::vector<std::string>{"started"});
  EXPECT_EQ((*events)[1].type, EventType::kError);
  EXPECT_EQ((*events)[1].strings, (std::vector<std::string>{"a\tb", "c"}));
  EXPECT_EQ((*events)[1].time.size(), 19u);
}

TEST_F(EventLogTest, AppendsFromThreadsAndProcessesNeverInterleave) {
  constexpr int kProcesses = 3;
  constexpr int kThreads = 3;
  constexpr int kEvents = 100;
  // Long strings make a torn or interleaved write likely if appends were not whole-line units.
  auto writeAll = [&](int writer) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const std::string text(6000, static_cast<char>('a' + writer * kThreads + t));
        for (int i = 0; i < kEvents; ++i) {
          if (ReportEvent(*machine_, EventType::kWarning, static_cast<std::uint32_t>(i), "w",
                          {text}) != kErrorSuccess) {
            return;
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
  };
  std::vector<pid_t> children;
  for (int p = 1; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      writeAll(p);
      ::_exit(0);
    }
    children.push_back(pid);
  }
  writeAll(0);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::size_t skipped = 0;
  auto events = ReadEventLog(*machine_, &skipped);
  ASSERT_TRUE(events.ok());
  EXPECT_EQ(skipped, 0u);
  ASSERT_EQ(events->size(), std::size_t{kProcesses} * kThreads * kEvents);
  std::vector<int> perWriter(kProcesses * kThreads);
  for (const auto& event : *events) {
    ASSERT_EQ(event.strings.size(), 1u);
    const std::string& text = event.strings[0];
    ASSERT_EQ(text.size(), 6000u);
    ASSERT_EQ(text.find_first_not_of(text[0]), std::string::npos);
    ++perWriter[text[0] - 'a'];
  }
  for (int count : perWriter) EXPECT_EQ(count, kEvents);
}

TEST_F(EventLogTest, ALogThatCannotBeOpenedFailsWithoutWriting) {
  std::filesystem::create_directories(machine_->EventLogFile());  // a directory in its place
  EXPECT_NE(ReportEvent(*machine_, EventType::kError, 1, "s", {"x"}), kErrorSuccess);
  EXPECT_TRUE(std::filesystem::is_empty(machine_->EventLogFile()));
  EXPECT_FALSE(ReadEventLog(*machine_).ok());
}

}  // namespace
}  // namespace uv::platform
