// The reporter against a real UDP console stand-in on loopback. Every test uses its own pair of
// loopback addresses (console 127.44.0.n, client 127.44.1.n) so that test programs running in
// parallel never share a port. A console that is away costs one full probe (about 2.5 s), so
// those cases are grouped into few tests.

#include "client/agent/reporter/CEventReporter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client/agent/reporter/CReporterContext.h"
#include "platform/eventlog/EventLog.h"
#include "platform/process/ProcessLauncher.h"
#include "platform/session/SessionStore.h"
#include "platform/trace/Trace.h"
#include "protocol/EventReport.h"
#include "tests/agent/reporter/FakeConsole.h"
#include "tests/agent/reporter/TestMachine.h"

namespace uv::agent {
namespace {

using testing::FakeConsole;
using testing::ReadFile;
using testing::TestMachine;
using testing::WriteFile;

constexpr char kVersion[] = "VERSION=1 6 0 0";
constexpr char kComputer[] = "PC17";

std::string RegexEscape(std::string_view text) {
  static const std::string kSpecial = R"(\^$.|?*+()[]{}/)";
  std::string out;
  for (char c : text) {
    if (kSpecial.find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

// A report whose date and time are the only unknowns: version, then the clock fields, then
// `rest` (computer\user, address, message) exactly.
::testing::AssertionResult IsReport(const std::string& report, const std::string& rest,
                                    std::string_view suffix = "") {
  const std::regex pattern(RegexEscape(std::string(kVersion) + ",") +
                           R"(\d\d/\d\d/\d{4},\d\d:\d\d:\d\d,)" + RegexEscape(rest) +
                           RegexEscape(suffix));
  if (std::regex_match(report, pattern)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "report \"" << report << "\" does not end in \"" << rest << suffix << "\"";
}

// Collects trace texts for the life of the object.
class TraceRecorder {
 public:
  TraceRecorder()
      : sink_([this](std::string_view text) {
          std::lock_guard lock(mutex_);
          texts_.emplace_back(text);
        }) {}
  std::size_t Count(std::string_view text) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(texts_.begin(), texts_.end(), text));
  }
  bool Has(std::string_view text) { return Count(text) > 0; }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
  platform::ScopedTraceSink sink_;
};

// Sets the pending flag the way the agent does: by queueing a report (here an empty line, which
// a replay skips).
void WriteOfflineMsgSetsPending(CReporterContext& context) {
  CEventReporter(context).WriteOfflineMsg("", true);
}

class ReporterTest : public ::testing::Test {
 protected:
  // Console at 127.44.0.n, this computer (PC17) at 127.44.1.n, switch "SendOfflineMsg" on.
  void Start(int n) {
    clientAddress_ = "127.44.1." + std::to_string(n);
    machine_ = std::make_unique<TestMachine>(kComputer, clientAddress_);
    console_ = std::make_unique<FakeConsole>(platform::Ipv4Address(127, 44, 0, n));
    machine_->SetSendOfflineMsg(true);
  }

  // Made on first use, so that a test can fill the queue before the "process start".
  CReporterContext& Context() {
    if (!context_) context_ = std::make_unique<CReporterContext>(machine_->machine(), kVersion);
    return *context_;
  }

  std::string Server() const { return console_->Address(); }
  // "PC17\user," + this computer's address + "," + message
  std::string Rest(std::string_view user, std::string_view message) const {
    return std::string(kComputer) + "\\" + std::string(user) + "," + clientAddress_ + "," +
           std::string(message);
  }
  std::string Journal() { return ReadFile(Context().OfflineMsgPath()); }
  std::string Queue() { return ReadFile(Context().OfflineUSBMsgPath()); }

  // A stored report as the journal holds it, with a fixed date and time.
  std::string StoredLine(std::string_view message) const {
    return std::string(kVersion) + ",01/02/2025,10:00:0" + "0," + Rest("user1", message);
  }

  std::vector<std::string> Texts() {
    EXPECT_TRUE(console_->Settle());
    std::vector<std::string> texts;
    for (const auto& d : console_->Received()) texts.push_back(d.text);
    return texts;
  }

  std::string clientAddress_;
  std::unique_ptr<TestMachine> machine_;
  std::unique_ptr<FakeConsole> console_;
  std::unique_ptr<CReporterContext> context_;
};

TEST_F(ReporterTest, ConsoleUpGetsProbeThenExactReportFromTheComputersOwnAddress) {
  Start(1);
  machine_->Login("user1");
  CEventReporter reporter(Context());
  std::string body;
  reporter.ReportToServer("Inserted USB Flash Disk on PC17\\user1", Server(), &body);

  ASSERT_TRUE(console_->Settle());
  const auto received = console_->Received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].text, "RUT;");
  EXPECT_TRUE(IsReport(received[1].text, Rest("user1", "Inserted USB Flash Disk on PC17\\user1")));
  for (const auto& datagram : received) {
    EXPECT_EQ(datagram.from.address.ToString(), clientAddress_);
  }
  // The caller's copy is the report without its version field and the "," after it.
  EXPECT_EQ(std::string(kVersion) + "," + body, received[1].text);
  EXPECT_FALSE(std::filesystem::exists(Context().OfflineMsgPath()));
  EXPECT_FALSE(std::filesystem::exists(Context().OfflineUSBMsgPath()));

  // Nobody logged on: the user part is "LocalSystem"; a disconnected session does not count.
  machine_->Login("user2");  // disconnects user1
  ASSERT_EQ(platform::SessionStore(machine_->machine()).Logout("user2"), platform::kErrorSuccess);
  console_->Clear();
  reporter.ReportToServer("Removed USB Flash Disk on PC17\\LocalSystem", Server());
  const auto reports = (console_->Settle(), console_->Reports());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(
      IsReport(reports[0], Rest("LocalSystem", "Removed USB Flash Disk on PC17\\LocalSystem")));
}

TEST_F(ReporterTest, ProbeAcceptsOnlyExactlyIma) {
  Start(2);
  CEventReporter reporter(Context());
  EXPECT_EQ(reporter.ProbeServer(Server()), CEventReporter::kReachable);
  for (const char* answer : {"IMA;x", "IMA", "ima;", "RUT;"}) {
    console_->SetAnswer(answer);
    EXPECT_EQ(reporter.ProbeServer(Server()), CEventReporter::kUnreachable) << answer;
  }
  // The answer is compared as a zero-terminated text in a zero-filled buffer.
  console_->SetAnswer(std::string("IMA;\0", 5));
  EXPECT_EQ(reporter.ProbeServer(Server()), CEventReporter::kReachable);
  // Not an address: no probe at all.
  EXPECT_EQ(reporter.ProbeServer("console.example"), CEventReporter::kUnreachable);
}

TEST_F(ReporterTest, ConsoleAwayJournalsSwitchOffDropsConsoleBackReplays) {
  Start(3);
  machine_->Login("user1");
  console_->SetAnswer(std::nullopt);
  TraceRecorder traces;
  CEventReporter reporter(Context());
  EXPECT_FALSE(Context().Pending());

  reporter.ReportToServer("Inserted USB Flash Disk on PC17\\user1", Server());
  reporter.ReportToServer("Added E:\\report.doc", Server());
  EXPECT_EQ(console_->ProbeCount(), 2u);
  EXPECT_EQ(console_->Reports().size(), 0u);
  EXPECT_EQ(traces.Count("Still have not received packet...Waiting and then trying again\n"), 10u);
  EXPECT_EQ(traces.Count("Timed out.\n"), 2u);
  EXPECT_TRUE(traces.Has("In WriteOfflineMsg \n"));

  // Every undelivered report in the journal, only the device report in the replay queue.
  const std::string journal = Journal();
  const std::size_t split = journal.find("\r\n") + 2;
  ASSERT_NE(split, std::string::npos + 2);
  const std::string inserted = journal.substr(0, split);
  const std::string added = journal.substr(split);
  EXPECT_TRUE(IsReport(inserted, Rest("user1", "Inserted USB Flash Disk on PC17\\user1"), "\r\n"));
  EXPECT_TRUE(IsReport(added, Rest("user1", "Added E:\\report.doc"), "\r\n"));
  EXPECT_EQ(Queue(), inserted);
  EXPECT_TRUE(Context().Pending());

  // Switch off: the report is dropped.
  machine_->SetSendOfflineMsg(false);
  reporter.ReportToServer("Mounted drive E:\\ on PC17\\user1", Server());
  EXPECT_EQ(Journal(), journal);
  EXPECT_EQ(Queue(), inserted);

  // Back: the queue goes first, marked "Offline" after its last ",", then the new report.
  machine_->SetSendOfflineMsg(true);
  console_->SetAnswer("IMA;");
  console_->Clear();
  reporter.ReportToServer("Removed USB Flash Disk on PC17\\user1", Server());
  const auto texts = Texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0], "RUT;");
  EXPECT_EQ(texts[1], "RUT;");
  std::string replayed = inserted.substr(0, inserted.size() - 2);
  replayed.insert(replayed.rfind(',') + 1, "Offline,");
  EXPECT_EQ(texts[2], replayed);
  EXPECT_TRUE(traces.Has("Sent " + replayed));
  EXPECT_TRUE(IsReport(texts[3], Rest("user1", "Removed USB Flash Disk on PC17\\user1")));
  EXPECT_EQ(Queue(), "");
  EXPECT_EQ(Journal(), journal);
  EXPECT_FALSE(Context().Pending());

  // Missing switch counts as off and says so.
  ASSERT_EQ(machine_->Settings().DeleteValue("SendOfflineMsg"), platform::kErrorSuccess);
  console_->SetAnswer(std::nullopt);
  reporter.ReportToServer("Inserted Another Disk on PC17\\user1", Server());
  EXPECT_TRUE(traces.Has("Send Offline Msg option does not exist"));
  EXPECT_EQ(Journal(), journal);
  EXPECT_EQ(Queue(), "");
}

TEST_F(ReporterTest, ReplayKeepsTheLinesWhoseProbeFailsInOrder) {
  Start(4);
  const std::string l1 = StoredLine("Inserted Disk One on PC17\\user1");
  const std::string l2 = StoredLine("Mounted drive E:\\ on PC17\\user1");
  const std::string l3 = StoredLine("Removed Disk One on PC17\\user1");
  std::filesystem::create_directories(machine_->machine().SystemDirectory());
  WriteFile(machine_->machine().SystemDirectory() / "OfflineUSBMsg.log",
            "\r\n" + l1 + "\r\n" + l2 + "\r\n" + l3 + "\r\n");
  ASSERT_TRUE(Context().Pending());
  CEventReporter reporter(Context());

  // A queue that cannot be rewritten stays whole: its first line goes again next time, rather
  // than the lines after it being lost.
  const std::filesystem::path temporary = Context().OfflineUSBMsgPath().string() + ".tmp";
  std::filesystem::create_directory(temporary);
  const std::string whole = Queue();
  {
    TraceRecorder traces;
    console_->AnswerNextProbes(2);
    reporter.ReportToServer("Added E:\\a.txt", Server());
    EXPECT_TRUE(
        traces.Has("Could not rewrite the offline queue; its lines are kept as they were\n"));
  }
  ASSERT_TRUE(console_->Settle());
  ASSERT_EQ(console_->Reports().size(), 2u);
  EXPECT_EQ(console_->Reports()[0], protocol::WithOfflineMarker(l1));
  EXPECT_EQ(Queue(), whole);
  EXPECT_TRUE(Context().Pending());
  std::filesystem::remove(temporary);
  console_->Clear();

  // The report's probe and the first line's are answered, then the console goes away.
  console_->AnswerNextProbes(2);
  reporter.ReportToServer("Save-Energy 10 minutes inactivity on PC17\\LocalSystem", Server());
  auto texts = Texts();
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[2], protocol::WithOfflineMarker(l1));
  EXPECT_EQ(texts[3], "RUT;");
  EXPECT_TRUE(IsReport(
      texts[4], Rest("LocalSystem", "Save-Energy 10 minutes inactivity on PC17\\LocalSystem")));
  EXPECT_EQ(Queue(), l2 + "\r\n" + l3 + "\r\n");
  EXPECT_TRUE(Context().Pending());
  EXPECT_FALSE(std::filesystem::exists(Context().OfflineUSBMsgPath().string() + ".tmp"));

  // Next time the kept lines follow, still in order.
  console_->SetAnswer("IMA;");
  console_->Clear();
  reporter.ReportToServer("Started client [ Drives  ] on PC17\\LocalSystem", Server());
  const auto reports = (console_->Settle(), console_->Reports());
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0], protocol::WithOfflineMarker(l2));
  EXPECT_EQ(reports[1], protocol::WithOfflineMarker(l3));
  EXPECT_EQ(Queue(), "");
  EXPECT_FALSE(Context().Pending());
}

TEST_F(ReporterTest, ShutdownReportsNeverReplay) {
  Start(5);
  const std::string queue = StoredLine("Inserted Disk on PC17\\user1") + "\r\n";
  std::filesystem::create_directories(machine_->machine().SystemDirectory());
  WriteFile(machine_->machine().SystemDirectory() / "OfflineUSBMsg.log", queue);
  CEventReporter reporter(Context());
  ASSERT_TRUE(Context().Pending());

  reporter.ReportToServer("Shutdown client - Normal on PC17\\LocalSystem", Server());
  reporter.ReportToServer("System-Shutdown PC17\\LocalSystem", Server());
  const auto texts = Texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_TRUE(
      IsReport(texts[1], Rest("LocalSystem", "Shutdown client - Normal on PC17\\LocalSystem")));
  EXPECT_TRUE(IsReport(texts[3], Rest("LocalSystem", "System-Shutdown PC17\\LocalSystem")));
  EXPECT_EQ(Queue(), queue);
  EXPECT_TRUE(Context().Pending());
}

// Queue, replay and RunExe go by the report's category word (its message's first word), not by
// words that file names happen to hold.
TEST_F(ReporterTest, CategoryWordsDecideNotWordsInFileNames) {
  Start(14);
  CEventReporter reporter(Context());
  console_->SetAnswer(std::nullopt);
  struct Case {
    std::string text;
    bool queued;
  };
  const std::vector<Case> cases{
      {"Added E:\\Removed.txt", false},
      {"Renamed file to E:\\Mounted Inserted.doc", false},
      {"Removed Disk on PC17\\user1", true},
  };
  for (const auto& c : cases) reporter.ReportToServer(c.text, Server());
  const std::string journal = Journal();
  const std::string queue = Queue();
  for (const auto& c : cases) {
    EXPECT_NE(journal.find(c.text), std::string::npos) << c.text;
    EXPECT_EQ(queue.find(c.text) != std::string::npos, c.queued) << c.text;
  }
  ASSERT_TRUE(Context().Pending());

  // A file named Shutdown.log is no shutdown: it replays the queue first and starts nothing
  // configured for "Shutdown".
  const auto marker = machine_->root() / "shutdown-program-ran";
  machine_->SetRunExe("Shutdown /usr/bin/touch " + marker.string());
  console_->SetAnswer(std::string("IMA;"));
  reporter.ReportToServer("Added E:\\Shutdown.log", Server());
  const auto reports = (console_->Settle(), console_->Reports());
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[0].find("Offline,Removed Disk"), std::string::npos) << reports[0];
  EXPECT_TRUE(IsReport(reports[1], Rest("LocalSystem", "Added E:\\Shutdown.log")));
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(Queue(), "");
}

TEST_F(ReporterTest, ReplayPausesBeforeThe51stAnd102ndLine) {
  Start(6);
  std::string queue;
  std::vector<std::string> lines;
  for (int i = 1; i <= 120; ++i) {
    lines.push_back(StoredLine("Inserted Disk " + std::to_string(i) + " on PC17\\user1"));
    queue += lines.back() + "\r\n";
    if (i == 10) queue += "\r\n";  // blank lines are skipped and not counted
  }
  std::filesystem::create_directories(machine_->machine().SystemDirectory());
  WriteFile(machine_->machine().SystemDirectory() / "OfflineUSBMsg.log", queue);
  CEventReporter reporter(Context());
  reporter.ReportToServer("Unmounted drive E:\\ on PC17\\LocalSystem", Server());

  ASSERT_TRUE(console_->Settle());
  std::vector<FakeConsole::Datagram> replayed;
  for (const auto& d : console_->Received()) {
    if (d.text != "RUT;") replayed.push_back(d);
  }
  ASSERT_EQ(replayed.size(), 121u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(replayed[i].text, protocol::WithOfflineMarker(lines[i]));
  }
  // The two longest gaps between consecutive replayed lines are the pauses: before line 51 and
  // before line 102 (1-based).
  std::vector<std::pair<std::chrono::steady_clock::duration, std::size_t>> gaps;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    gaps.emplace_back(replayed[i].arrival - replayed[i - 1].arrival, i + 1);
  }
  std::sort(gaps.rbegin(), gaps.rend());
  std::vector<std::size_t> longest{gaps[0].second, gaps[1].second};
  std::sort(longest.begin(), longest.end());
  EXPECT_EQ(longest, (std::vector<std::size_t>{51, 102}));
  // And they grow: the first pause is at least 250 ms, the second at least 500 ms (lower bounds
  // only: a loaded machine makes them longer, never shorter).
  std::chrono::steady_clock::duration before51{}, before102{};
  for (const auto& [gap, line] : gaps) {
    if (line == 51) before51 = gap;
    if (line == 102) before102 = gap;
  }
  EXPECT_GE(before51, std::chrono::milliseconds(250));
  EXPECT_GE(before102, std::chrono::milliseconds(500));
  EXPECT_EQ(Queue(), "");
}

TEST_F(ReporterTest, LongQueueLinesAreReplayedInPiecesOf1023Bytes) {
  Start(7);
  // 1500 bytes: the first piece ends inside the message, the rest has no ",".
  std::string longLine = StoredLine("Inserted ");
  longLine += std::string(1500 - longLine.size(), 'x');
  // Exactly 1023 bytes: its "\r\n" becomes a piece of its own, which is skipped.
  std::string fullLine = StoredLine("Mounted drive ");
  fullLine += std::string(1023 - fullLine.size(), 'y');
  std::filesystem::create_directories(machine_->machine().SystemDirectory());
  WriteFile(machine_->machine().SystemDirectory() / "OfflineUSBMsg.log",
            longLine + "\r\n" + fullLine + "\r\n");

  CEventReporter reporter(Context());
  reporter.ReportToServer("Removed Disk on PC17\\LocalSystem", Server());
  const auto reports = (console_->Settle(), console_->Reports());
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0], protocol::WithOfflineMarker(longLine.substr(0, 1023)));
  EXPECT_EQ(reports[1], "Offline," + longLine.substr(1023));
  EXPECT_EQ(reports[2], protocol::WithOfflineMarker(fullLine));
  EXPECT_TRUE(IsReport(reports[3], Rest("LocalSystem", "Removed Disk on PC17\\LocalSystem")));

  // Whatever bytes the queue holds (zero bytes, lone carriage returns, no line end at all), no
  // datagram is longer than a piece and its marker, and the queue is emptied.
  std::string garbage;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 20000; ++i) {
    seed = seed * 1103515245u + 12345u;
    const char c = static_cast<char>(seed >> 24);
    garbage += (c == '\n' && i % 7) ? 'z' : c;  // mostly long lines
  }
  WriteFile(Context().OfflineUSBMsgPath(), garbage);
  WriteOfflineMsgSetsPending(Context());
  console_->Clear();
  CEventReporter(Context()).ReportToServer("Removed Disk on PC17\\LocalSystem", Server());
  const auto after = (console_->Settle(), console_->Reports());
  EXPECT_GE(after.size(), 20000u / 1023);
  for (const auto& report : after) EXPECT_LE(report.size(), 1023u + 8);
  EXPECT_EQ(Queue(), "");
}

TEST_F(ReporterTest, LoadRunExeSettingReadsWordAndCommand) {
  Start(8);
  CEventReporter reporter(Context());
  EXPECT_EQ(reporter.RunExeCode, 0);
  EXPECT_EQ(reporter.RunExeCommand, "");
  reporter.LoadRunExeSetting();  // no value: nothing changes
  EXPECT_EQ(reporter.RunExeCode, 0);

  struct Case {
    std::string value;
    int code;
    std::string command;
  };
  const Case cases[] = {
      {"Inserted /bin/echo hello world", 0x100, "/bin/echo hello world"},
      {"  Blocked-USB cmd", 0x1000, "cmd"},
      {"None", 0, "cmd"},  // off; the command stays
      {"Save-Energy  two  blanks", 0x10, " two  blanks"},
      {"Bogus /bin/false", 0x10, " two  blanks"},     // a word outside the table changes nothing
      {"inserted /bin/false", 0x10, " two  blanks"},  // words are case-sensitive
      {"Shutdown", 0x40, ""},
      // 259 characters and the terminator fill the 260-byte buffer; one more is not read.
      {"Mounted " + std::string(251, 'z'), 0x200, std::string(251, 'z')},
      {"Removed " + std::string(252, 'z'), 0x200, std::string(251, 'z')},
  };
  for (const auto& c : cases) {
    machine_->SetRunExe(c.value);
    reporter.LoadRunExeSetting();
    EXPECT_EQ(reporter.RunExeCode, c.code) << c.value;
    EXPECT_EQ(reporter.RunExeCommand, c.command) << c.value;
  }
}

TEST_F(ReporterTest, RunExeStartsTheProgramAndReportsItBeforeTheEvent) {
  Start(9);
  machine_->Login("user1");
  TraceRecorder traces;
  const std::filesystem::path marker = machine_->root() / "ran";
  const std::string command = "/usr/bin/touch " + marker.string();
  machine_->SetRunExe("Inserted " + command);
  CEventReporter reporter(Context());

  reporter.ReportToServer("Inserted USB Flash Disk on PC17\\user1", Server());
  auto reports = (console_->Settle(), console_->Reports());
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(IsReport(reports[0], Rest("user1", "Executed " + command + " on PC17\\user1")));
  EXPECT_TRUE(IsReport(reports[1], Rest("user1", "Inserted USB Flash Disk on PC17\\user1")));
  EXPECT_TRUE(traces.Has("Process created successfully"));
  // The program is not waited for; give it a few seconds to leave its mark.
  for (int i = 0; i < 500 && !std::filesystem::exists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(std::filesystem::exists(marker));

  // Another kind of event starts nothing.
  console_->Clear();
  reporter.ReportToServer("Added E:\\a.txt", Server());
  EXPECT_EQ((console_->Settle(), console_->Reports()).size(), 1u);

  // A program that does not exist: noted in the trace, and "Executed" is reported all the same.
  const std::string missing = "/nonexistent/uv-no-such-program --flag";
  machine_->SetRunExe("Shutdown " + missing);
  console_->Clear();
  reporter.ReportToServer("System-Shutdown PC17\\user1", Server());  // "Shutdown" fires here too
  reports = (console_->Settle(), console_->Reports());
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(IsReport(reports[0], Rest("user1", "Executed " + missing + " on PC17\\user1")));
  EXPECT_TRUE(IsReport(reports[1], Rest("user1", "System-Shutdown PC17\\user1")));
  EXPECT_TRUE(traces.Has("CreateProcessAsUser failed err : 2"));

  // "None" switches it off.
  machine_->SetRunExe("None");
  console_->Clear();
  reporter.ReportToServer("System-Shutdown PC17\\user1", Server());
  reports = (console_->Settle(), console_->Reports());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(IsReport(reports[0], Rest("user1", "System-Shutdown PC17\\user1")));
}

TEST_F(ReporterTest, ARootAgentRunsTheProgramAsTheUserAtTheConsole) {
  const auto nobody = platform::UserIdOf("nobody");
  if (::geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and the user nobody";
  Start(13);
  machine_->Login("nobody");
  const std::filesystem::path shared = machine_->root() / "shared";
  std::filesystem::create_directory(shared);
  std::filesystem::permissions(shared, std::filesystem::perms::all);
  std::filesystem::permissions(machine_->root(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  const std::filesystem::path marker = shared / "ran";
  machine_->SetRunExe("Mounted /usr/bin/touch " + marker.string());
  CEventReporter(Context()).ReportToServer("Mounted drive E:\\ on PC17\\nobody", Server());
  for (int i = 0; i < 500 && !std::filesystem::exists(marker); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  struct stat info {};
  ASSERT_EQ(::stat(marker.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, *nobody);
}

TEST_F(ReporterTest, UnresolvableComputerNameGoesToTheEventLogAndNothingIsSentOrQueued) {
  Start(10);
  // A name longer than any host name never resolves, without asking a name server.
  const std::string name(300, 'N');
  machine_->Key("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName")
      .SetString("ComputerName", name);
  console_->SetAnswer(std::nullopt);
  TraceRecorder traces;
  CEventReporter reporter(Context());
  reporter.ReportToServer("Inserted Disk on " + name + "\\LocalSystem", Server());

  EXPECT_TRUE(traces.Has("Could not resolve IP"));
  EXPECT_EQ(Texts().size(), 0u);
  EXPECT_FALSE(std::filesystem::exists(Context().OfflineMsgPath()));
  EXPECT_FALSE(std::filesystem::exists(Context().OfflineUSBMsgPath()));
  auto events = platform::ReadEventLog(machine_->machine());
  ASSERT_TRUE(events.ok());
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ((*events)[0].type, platform::EventType::kError);
  EXPECT_EQ((*events)[0].id, CEventReporter::kEventCouldNotResolveIp);
  EXPECT_EQ((*events)[0].source, CEventReporter::kEventSource);
  EXPECT_EQ((*events)[0].strings, (std::vector<std::string>{"Could not resolve IP", name}));
}

TEST_F(ReporterTest, TwoThreadsReportingWhileTheConsoleIsAwayKeepEveryLineWhole) {
  Start(11);
  console_->SetAnswer(std::nullopt);
  const std::string a = "Inserted " + std::string(3000, 'a') + " on PC17\\LocalSystem";
  const std::string b = "Mounted drive " + std::string(3000, 'b') + " on PC17\\LocalSystem";
  {
    CReporterContext& context = Context();  // one context for the process, made before the threads
    std::jthread first([&] { CEventReporter(context).ReportToServer(a, Server()); });
    std::jthread second([&] { CEventReporter(context).ReportToServer(b, Server()); });
  }
  for (const std::string& journal : {Journal(), Queue()}) {
    const std::size_t split = journal.find("\r\n") + 2;
    std::vector<std::string> lines{journal.substr(0, split), journal.substr(split)};
    std::sort(lines.begin(), lines.end(),
              [](const auto& x, const auto& y) { return x.find("Mounted") < y.find("Mounted"); });
    EXPECT_TRUE(IsReport(lines[0], Rest("LocalSystem", b), "\r\n"));
    EXPECT_TRUE(IsReport(lines[1], Rest("LocalSystem", a), "\r\n"));
  }
}

TEST_F(ReporterTest, AQueueWriteDuringAReplayWaitsForItAndIsKept) {
  Start(12);
  std::vector<std::string> old;
  std::string queue;
  for (int i = 1; i <= 3; ++i) {
    old.push_back(StoredLine("Inserted Old " + std::to_string(i) + " on PC17\\user1"));
    queue += old.back() + "\r\n";
  }
  std::filesystem::create_directories(machine_->machine().SystemDirectory());
  WriteFile(machine_->machine().SystemDirectory() / "OfflineUSBMsg.log", queue);
  CReporterContext& context = Context();

  // The replay is held at the probe of its first line while another reporting thread queues a
  // device report. Were the two not serialised, the replay would go on to read, send and then
  // wipe that report along with its own lines.
  console_->HoldProbe(2);
  std::jthread replay(
      [&] { CEventReporter(context).ReportToServer("Removed X on PC17\\user1", Server()); });
  ASSERT_TRUE(console_->WaitForDatagrams(2));
  const std::string added = StoredLine("Mounted New on PC17\\user1");
  std::promise<void> written;
  std::jthread writer([&] {
    CEventReporter(context).WriteOfflineMsg(added, true);
    written.set_value();
  });
  // Give an unserialised write every chance to land inside the replay.
  written.get_future().wait_for(std::chrono::milliseconds(300));
  console_->ReleaseHeldProbe();
  replay.join();
  writer.join();

  const auto reports = (console_->Settle(), console_->Reports());
  ASSERT_EQ(reports.size(), 4u);
  for (std::size_t i = 0; i < old.size(); ++i) {
    EXPECT_EQ(reports[i], protocol::WithOfflineMarker(old[i]));
  }
  EXPECT_TRUE(IsReport(reports[3], Rest("LocalSystem", "Removed X on PC17\\user1")));
  EXPECT_EQ(Queue(), added + "\r\n");
  EXPECT_TRUE(context.Pending());
}

// The probe's socket is kept from report to report, so answers meant for an earlier probe could
// be waiting in it: a duplicate, a stray datagram, an answer that came after its probe gave up.
// None of them may pass for the answer to the next probe.
TEST_F(ReporterTest, AnAnswerOwedToAnEarlierProbeNeverCountsForALaterOne) {
  Start(15);
  CEventReporter reporter(Context());
  auto lastProbeFrom = [&] {
    EXPECT_TRUE(console_->Settle());
    platform::SocketAddress from;
    for (const auto& d : console_->Received()) {
      if (d.text == "RUT;") from = d.from;
    }
    return from;
  };
  auto stranger = platform::UdpSocket::Create();
  ASSERT_TRUE(stranger.ok());
  ASSERT_EQ(reporter.ProbeServer(Server()), CEventReporter::kReachable);
  const platform::SocketAddress probeSocket = lastProbeFrom();

  // Stray datagrams waiting in the socket (one too long for the answer buffer) are not the
  // answer: the console's own "IMA;" is, and the socket is still the same one.
  for (const std::string& stray : {std::string(100, 'x'), std::string("IMA;x")}) {
    ASSERT_TRUE(stranger->SendTo(stray, probeSocket).ok());
  }
  EXPECT_EQ(reporter.ProbeServer(Server()), CEventReporter::kReachable);
  EXPECT_EQ(lastProbeFrom(), probeSocket);

  // A duplicate "IMA;" left over from the last probe does not make an away console reachable.
  ASSERT_TRUE(stranger->SendTo("IMA;", probeSocket).ok());
  console_->SetAnswer(std::nullopt);
  EXPECT_EQ(reporter.ProbeServer(Server()), CEventReporter::kUnreachable);

  // Nor does the answer to a probe that had already given up when it came.
  console_->SetAnswer("IMA;");
  console_->HoldProbe(1);
  EXPECT_EQ(reporter.ProbeServer(Server()), CEventReporter::kUnreachable);
  console_->ReleaseHeldProbe();
  ASSERT_TRUE(console_->Settle());  // the late "IMA;" has left the console
  console_->SetAnswer(std::nullopt);
  EXPECT_EQ(reporter.ProbeServer(Server()), CEventReporter::kUnreachable);

  // Each probe asks afresh: the console back is reachable at once.
  console_->SetAnswer("IMA;");
  EXPECT_EQ(reporter.ProbeServer(Server()), CEventReporter::kReachable);
}

// The computer's name and address and the console's address are looked up for every report, from
// caches that must notice each change at the very next report.
TEST_F(ReporterTest, NewNamesAndAddressesTakeEffectAtTheNextReport) {
  Start(16);
  CEventReporter reporter(Context());
  const std::filesystem::path hosts = machine_->machine().HostsFile();
  // Sends a report and returns it with the address it came from.
  auto report = [&](FakeConsole& console, const std::string& text) {
    console.Clear();
    reporter.ReportToServer(text, console.Address());
    EXPECT_TRUE(console.Settle());
    const auto received = console.Received();
    EXPECT_EQ(received.size(), 2u);
    return received.empty() ? FakeConsole::Datagram{} : received.back();
  };

  struct Step {
    std::string what;
    std::function<void()> change;
    std::string computer;
    std::string address;
  };
  const std::string replacement = hosts.string() + ".new";
  const std::vector<Step> steps{
      {"as installed", [] {}, "PC17", "127.44.1.16"},
      // Rewritten in place to the same size, as fast as the clock ticks: no time stamp or size
      // tells the two apart.
      {"rewritten in place", [&] { WriteFile(hosts, "127.44.1.61\tPC17\n"); }, "PC17",
       "127.44.1.61"},
      {"replaced by a rename",
       [&] {
         WriteFile(replacement, "127.44.1.62 other\n127.44.1.63 pc17\n");
         std::filesystem::rename(replacement, hosts);
       },
       "PC17", "127.44.1.63"},
      {"renamed computer",
       [&] {
         WriteFile(hosts, "127.44.1.63 PC17\n127.44.1.64 PC18\n");
         machine_->Key("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName")
             .SetString("ComputerName", "PC18");
       },
       "PC18", "127.44.1.64"},
  };
  for (const Step& step : steps) {
    step.change();
    const auto sent = report(*console_, "Added E:\\" + step.what + ".txt");
    EXPECT_EQ(sent.from.address.ToString(), step.address) << step.what;
    EXPECT_TRUE(IsReport(sent.text, step.computer + "\\LocalSystem," + step.address +
                                        ",Added E:\\" + step.what + ".txt"))
        << step.what;
  }

  // Another console: probe and report go there, nothing more to the first one.
  FakeConsole other(platform::Ipv4Address(127, 44, 0, 116));
  console_->Clear();
  const auto sent = report(other, "Added E:\\moved.txt");
  EXPECT_TRUE(IsReport(sent.text, "PC18\\LocalSystem,127.44.1.64,Added E:\\moved.txt"));
  EXPECT_TRUE((console_->Settle(), console_->Received()).empty());
}

// The user at the console is named in every report from the context's session cache: each
// login and logout must reach the very next report of the same reporter.
TEST_F(ReporterTest, LoginsAndLogoutsTakeEffectAtTheNextReport) {
  Start(18);
  CEventReporter reporter(Context());
  platform::SessionStore sessions(machine_->machine());
  struct Step {
    std::string what;
    std::function<void()> change;
    std::string user;
  };
  const std::vector<Step> steps{
      {"nobody", [] {}, "LocalSystem"},
      {"login", [&] { machine_->Login("alice"); }, "alice"},
      {"switch", [&] { machine_->Login("bob"); }, "bob"},
      {"logout", [&] { ASSERT_EQ(sessions.Logout("bob"), platform::kErrorSuccess); },
       "LocalSystem"},
      {"back", [&] { machine_->Login("alice"); }, "alice"},
      {"gone", [&] { ASSERT_EQ(sessions.Logout("alice"), platform::kErrorSuccess); },
       "LocalSystem"},
  };
  for (const Step& step : steps) {
    step.change();
    console_->Clear();
    const std::string text = "Added E:\\" + step.what + ".txt";
    reporter.ReportToServer(text, Server());
    const auto reports = (console_->Settle(), console_->Reports());
    ASSERT_EQ(reports.size(), 1u) << step.what;
    EXPECT_TRUE(IsReport(reports[0], Rest(step.user, text))) << step.what;
  }
}

TEST_F(ReporterTest, AProbeThatFailsToSendLeavesTheNextOneWorking) {
  Start(17);
  CEventReporter reporter(Context());
  ASSERT_EQ(reporter.ProbeServer(Server()), CEventReporter::kReachable);
  // A broadcast address is refused by a socket not made for broadcasts.
  EXPECT_EQ(reporter.ProbeServer("255.255.255.255"), CEventReporter::kUnreachable);
  EXPECT_EQ(reporter.ProbeServer(Server()), CEventReporter::kReachable);
  console_->Clear();
  reporter.SendEventReport("VERSION=1 6 0 0,x", Server());
  EXPECT_EQ(Texts(), (std::vector<std::string>{"RUT;", "VERSION=1 6 0 0,x"}));
}

TEST(ReporterContextTest, PendingAtStartOnlyForANonEmptyQueue) {
  TestMachine machine(kComputer, "127.44.1.200");
  const auto queue = machine.machine().SystemDirectory() / "OfflineUSBMsg.log";
  EXPECT_FALSE(CReporterContext(machine.machine(), kVersion).Pending());
  WriteFile(queue, "");
  EXPECT_FALSE(CReporterContext(machine.machine(), kVersion).Pending());
  WriteFile(queue, "x\r\n");
  CReporterContext context(machine.machine(), kVersion);
  EXPECT_TRUE(context.Pending());
  EXPECT_EQ(context.OfflineMsgPath(), machine.machine().SystemDirectory() / "OfflineMsg.log");
  EXPECT_EQ(context.VersionText(), kVersion);
}

TEST(ReporterJournalTest, WriteOfflineMsgAppendsWholeLinesFromManyThreads) {
  TestMachine machine(kComputer, "127.44.1.201");
  CReporterContext context(machine.machine(), kVersion);
  constexpr int kThreads = 6;
  constexpr int kLines = 150;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        CEventReporter reporter(context);
        for (int i = 0; i < kLines; ++i) {
          reporter.WriteOfflineMsg(std::to_string(t) + std::string(5000, char('a' + t)), false);
        }
      });
    }
  }
  const std::string journal = ReadFile(context.OfflineMsgPath());
  EXPECT_EQ(journal.size(), std::size_t{kThreads} * kLines * 5003);
  std::size_t start = 0;
  int count = 0;
  while (start < journal.size()) {
    const std::size_t end = journal.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = journal.substr(start, end - start);
    const char letter = static_cast<char>('a' + (line[0] - '0'));
    EXPECT_EQ(line, line.substr(0, 1) + std::string(5000, letter));
    start = end + 2;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_FALSE(context.Pending());  // only the journal was written

  // A journal that cannot be opened is left alone, without a crash or a report.
  std::filesystem::create_directories(context.OfflineUSBMsgPath());
  CEventReporter(context).WriteOfflineMsg("Inserted x", true);
  EXPECT_TRUE(std::filesystem::is_directory(context.OfflineUSBMsgPath()));
}

}  // namespace
}  // namespace uv::agent
