#include "client/agent/reporter/CEventReporter.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "client/agent/reporter/CReporterContext.h"
#include "client/agent/settings/CClientSettings.h"
#include "platform/common/FileWrite.h"
#include "platform/eventlog/EventLog.h"
#include "platform/machine/Machine.h"
#include "platform/net/HostResolver.h"
#include "platform/net/Socket.h"
#include "platform/process/ProcessLauncher.h"
#include "platform/session/SessionStore.h"
#include "platform/trace/Trace.h"
#include "protocol/EventCategory.h"
#include "protocol/EventPort.h"
#include "protocol/EventReport.h"

namespace uv::agent {
namespace {

using namespace std::chrono_literals;
using platform::Trace;
using platform::TraceF;

// The probe: five receive attempts, each followed by a wait of up to this long for an answer.
constexpr int kProbeAttempts = 5;
constexpr auto kProbeWait = 500ms;

// A replay pauses after every 50 lines, each pause 250 ms longer than the one before, so a long
// queue does not flood the console's receive buffer.
constexpr int kReplayBurst = 50;
constexpr auto kReplayPauseStep = 250ms;

// Journal lines are read as the queue was always read: at most 1023 bytes at a time, a longer
// line coming in pieces.
constexpr std::size_t kReplayReadBuffer = 1024;

// "RunExe" is read into a buffer of this many bytes, terminator included; a longer value is
// not read at all.
constexpr std::size_t kRunExeBuffer = 260;

// A report is "VERSION=...,DD/MM/YYYY,HH:MM:SS,computer\user,address,message": its category is
// the first word of the message, which starts after the fifth ",". The decisions below go by that
// word, never by words found elsewhere in the report (a file named Removed.txt, a folder named
// Shutdown).
constexpr int kFieldsBeforeMessage = 5;

std::string_view MessageOfReport(std::string_view report) {
  for (int i = 0; i < kFieldsBeforeMessage; ++i) {
    const std::size_t comma = report.find(',');
    if (comma == std::string_view::npos) return {};
    report.remove_prefix(comma + 1);
  }
  return report;
}

// Reports of device events go to the replay queue as well; file activity only to the journal.
bool IsDeviceCategory(std::string_view word) {
  return word == "Inserted" || word == "Mounted" || word == "Removed";
}

// Shutdown reports must leave at once.
bool IsShutdownCategory(std::string_view word) {
  return word == "Shutdown" || word == "System-Shutdown";
}

// The configured RunExe word fires on reports of its own category; "Shutdown" also on a system
// shutdown.
bool RunExeWordFires(std::string_view configured, std::string_view category) {
  return configured == category || (configured == "Shutdown" && category == "System-Shutdown");
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// fgets: up to size - 1 bytes, ending after the first line feed. Empty at the end of the file.
std::string ReadPiece(std::FILE* file, std::size_t size) {
  std::string piece;
  while (piece.size() + 1 < size) {
    const int c = std::fgetc(file);
    if (c == EOF) break;
    piece += static_cast<char>(c);
    if (c == '\n') break;
  }
  return piece;
}

// Replaces the queue at `path` with its bytes from `offset` on, read from `queue`, so that a
// failure at any point leaves the old file whole: the tail is copied piecewise (a large queue
// needs no large buffer) to a temporary file beside it, which is renamed over the old one only
// when it has been written and flushed completely.
bool KeepTail(std::FILE* queue, long offset, const std::filesystem::path& path) {
  if (std::fseek(queue, offset, SEEK_SET) != 0) return false;
  platform::AtomicWriteOptions options;
  options.durable = true;
  options.temporarySuffix = ".tmp";
  auto writer = platform::AtomicFileWriter::Begin(path, options);
  if (!writer) return false;
  bool written = true;
  char chunk[16384];
  std::size_t n;
  while (written && (n = std::fread(chunk, 1, sizeof chunk, queue)) > 0) {
    written = writer->Write(std::string_view(chunk, n)) == platform::kErrorSuccess;
  }
  return written && !std::ferror(queue) && writer->Commit() == platform::kErrorSuccess;
}

// A new socket for every datagram, sending from the computer's own loopback address when it has
// one, so that the console tells simulated computers apart by address.
platform::Result<platform::UdpSocket> OpenSocket(platform::Ipv4Address local) {
  auto socket = platform::UdpSocket::Create();
  if (socket && !local.IsAny()) {
    if (const platform::WinError error = socket->Bind({local, 0});
        error != platform::kErrorSuccess) {
      return platform::Result<platform::UdpSocket>::Failure(error);
    }
  }
  return socket;
}

protocol::ReportTime LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_mday, local.tm_mon + 1, local.tm_year + 1900,
          local.tm_hour, local.tm_min,     local.tm_sec};
}

}  // namespace

CEventReporter::CEventReporter(CReporterContext& context) : context_(context) {}

void CEventReporter::ReportToServer(const std::string& text, const std::string& server,
                                    std::string* body) {
  // A triggered program and its "Executed" report come before the event's own report.
  LoadRunExeSetting();
  RunExeForEvent(text, server);

  std::string reportBody;
  if (!BuildReportBody(text, false, &reportBody)) return;
  SendEventReport(context_.VersionText() + "," + reportBody, server);
  if (body) *body = std::move(reportBody);
}

void CEventReporter::ReportExecuted(const std::string& text, const std::string& server) {
  std::string reportBody;
  if (!BuildReportBody(text, true, &reportBody)) return;
  SendEventReport(context_.VersionText() + "," + reportBody, server);
}

bool CEventReporter::BuildReportBody(const std::string& text, bool appendComputerAndUser,
                                     std::string* body) {
  platform::Machine& machine = context_.Machine();
  // One clock reading per report, taken before the lookups so that the time is the event's.
  const protocol::ReportTime time = LocalNow();

  std::string computer = machine.ComputerName();
  if (computer.empty()) computer = "UNKNOWN";

  auto address = platform::ResolveHost(machine, computer);
  if (!address) {
    // The agent runs as a service: nobody could answer a message box, and waiting for one
    // would stall device handling. The failure goes where an administrator looks instead.
    if (context_.HasMessageBox()) {
      context_.ShowMessage("Could not resolve IP", "Error");
      return false;
    }
    Trace("Could not resolve IP");
    const platform::WinError logged =
        platform::ReportEvent(machine, platform::EventType::kError, kEventCouldNotResolveIp,
                              kEventSource, {"Could not resolve IP", computer});
    if (logged != platform::kErrorSuccess) {
      TraceF("Could not write to the event log err : %u", static_cast<unsigned>(logged));
    }
    return false;
  }
  const std::string addressText = address->ToString();

  std::string user;
  if (!GetActiveSessionUser(user)) user = "LocalSystem";

  std::string message = text;
  if (appendComputerAndUser) message += " on " + computer + "\\" + user;

  protocol::ReportFields fields;
  fields.version = context_.VersionText();
  fields.time = time;
  fields.computer = computer;
  fields.user = user;
  fields.address = addressText;
  fields.message = message;
  *body = protocol::BuildReportBody(fields);
  return true;
}

void CEventReporter::SendEventReport(const std::string& report, const std::string& server) {
  const std::string_view category = protocol::CategoryWordOfMessage(MessageOfReport(report));
  // Looked up once per report: every probe and datagram of it leaves from the same address.
  const platform::Ipv4Address local = platform::LocalBindAddress(context_.Machine());
  if (Probe(server, local) == kReachable) {
    // A shutdown report must leave at once: the computer may be going down, and a replay could
    // hold it back for minutes.
    if (!IsShutdownCategory(category)) {
      std::lock_guard lock(context_.JournalMutex());
      if (context_.PendingLocked() && OfflineSwitchOn()) ReplayQueueLocked(server, local);
    }
    SendDatagram(report, server, local);
    return;
  }
  if (!OfflineSwitchOn()) return;  // dropped
  std::lock_guard lock(context_.JournalMutex());
  WriteOfflineMsgLocked(report, false);
  if (IsDeviceCategory(category)) {
    WriteOfflineMsgLocked(report, true);
    context_.SetPendingLocked(true);
  }
}

int CEventReporter::ProbeServer(const std::string& server) {
  return Probe(server, platform::LocalBindAddress(context_.Machine()));
}

int CEventReporter::Probe(const std::string& server, platform::Ipv4Address local) {
  const auto address = platform::Ipv4Address::Parse(server);
  if (!address) return kUnreachable;
  auto socket = OpenSocket(local);
  if (!socket) return kUnreachable;
  if (const platform::WinError error = socket->SetNonBlocking(true);
      error != platform::kErrorSuccess) {
    TraceF("ioctlsocket() failed with error %u\n", static_cast<unsigned>(error));
  }
  const platform::SocketAddress to{*address, protocol::kEventPort};
  if (!socket->SendTo(protocol::kProbeRequest, to)) return kUnreachable;

  int waits = 0;
  while (true) {
    char buffer[protocol::kProbeAnswerBuffer] = {};
    auto received = socket->ReceiveFrom(std::span<char>(buffer, sizeof buffer));
    if (received) {
      return protocol::IsProbeAnswer(std::string_view(buffer, *received)) ? kReachable
                                                                          : kUnreachable;
    }
    if (received.error() != platform::kWsaEwouldblock) {
      Trace("recvfrom() failed");
      return kUnreachable;
    }
    if (waits == kProbeAttempts) break;
    Trace("Still have not received packet...Waiting and then trying again\n");
    ++waits;
    // Waiting for readiness instead of sleeping lets an answer that comes at once be seen at
    // once; a wait that ends without one costs the full interval, as a sleep would.
    platform::SocketWait wait{&*socket};
    auto ready = platform::WaitForSockets(std::span(&wait, 1), kProbeWait);
    if (!ready) {
      std::this_thread::sleep_for(kProbeWait);
      continue;
    }
    // An answer that arrives during the last wait still counts.
    if (*ready == 0 && waits == kProbeAttempts) break;
  }
  Trace("Timed out.\n");
  return kUnreachable;
}

bool CEventReporter::SendDatagram(std::string_view text, const std::string& server,
                                  platform::Ipv4Address local) {
  const auto address = platform::Ipv4Address::Parse(server);
  if (!address) return false;
  auto socket = OpenSocket(local);
  if (!socket) return false;
  return socket->SendTo(text, {*address, protocol::kEventPort}).ok();
}

void CEventReporter::ReplayQueueLocked(const std::string& server, platform::Ipv4Address local) {
  const std::filesystem::path& path = context_.OfflineUSBMsgPath();
  FilePtr file(std::fopen(path.c_str(), "rbe"));
  if (!file) {
    // Nothing to replay when the queue is gone; an unreadable queue keeps its flag so that a
    // later report tries again. Either way the report being sent still goes out.
    if (errno == ENOENT) context_.SetPendingLocked(false);
    return;
  }

  int count = 0;
  auto pause = std::chrono::milliseconds::zero();
  long undelivered = -1;  // file offset of the first piece not delivered
  while (true) {
    const long offset = std::ftell(file.get());
    std::string line = ReadPiece(file.get(), kReplayReadBuffer);
    if (line.empty()) break;
    if (line.front() == '\n' || line.front() == '\r') continue;
    protocol::StripLineBreaks(line);
    protocol::InsertOfflineMarker(line);

    if (++count > kReplayBurst) {
      pause += kReplayPauseStep;
      std::this_thread::sleep_for(pause);
      count = 0;
    }
    // Once the console stops answering the rest of the queue stays for the next replay: the
    // lines keep their order, and the caller is not held up for a failed probe per line.
    if (Probe(server, local) != kReachable) {
      undelivered = offset;
      break;
    }
    SendDatagram(line, server, local);
    TraceF("Sent %s", line.c_str());
  }

  if (undelivered < 0) {
    file.reset();
    std::error_code emptied;
    std::filesystem::resize_file(path, 0, emptied);
    // A queue that cannot be emptied keeps its flag: its lines are sent again next time rather
    // than lost.
    if (!emptied) context_.SetPendingLocked(false);
    return;
  }

  if (!KeepTail(file.get(), undelivered, path)) {
    Trace("Could not rewrite the offline queue; its lines are kept as they were\n");
  }
}

void CEventReporter::WriteOfflineMsg(const std::string& report, bool replayQueue) {
  std::lock_guard lock(context_.JournalMutex());
  WriteOfflineMsgLocked(report, replayQueue);
  if (replayQueue) context_.SetPendingLocked(true);
}

void CEventReporter::WriteOfflineMsgLocked(const std::string& report, bool replayQueue) {
  const std::filesystem::path& path =
      replayQueue ? context_.OfflineUSBMsgPath() : context_.OfflineMsgPath();
  Trace("In WriteOfflineMsg \n");
  Trace(path.string());
  // One write per line keeps it whole against other appenders (the journal viewer's process); a
  // journal that cannot be opened is left alone.
  (void)platform::AppendToFile(path, report + "\r\n");
}

bool CEventReporter::OfflineSwitchOn() {
  if (const auto value = CClientSettings(context_.Machine()).Dword("SendOfflineMsg")) {
    return *value != 0;
  }
  Trace("Send Offline Msg option does not exist");
  return false;
}

bool CEventReporter::GetActiveSessionUser(std::string& user) {
  platform::SessionStore sessions(context_.Machine());
  auto list = sessions.Enumerate();
  if (!list) {
    TraceF("WTSEnumerateSessions failed  error-code = %u ", static_cast<unsigned>(list.error()));
    return false;
  }
  TraceF("Enumerated %u session entries", static_cast<unsigned>(list->size()));
  for (const auto& session : *list) {
    if (session.state != platform::SessionState::kActive) continue;
    auto name = sessions.QueryUserName(session.id);
    if (!name) {
      TraceF("WTSQuerySessionInformation failed  error-code = %u ",
             static_cast<unsigned>(name.error()));
      continue;
    }
    user = std::move(*name);
    return true;
  }
  return false;
}

void CEventReporter::LoadRunExeSetting() {
  const auto value = CClientSettings(context_.Machine()).String("RunExe", kRunExeBuffer);
  if (!value) return;

  const protocol::RunExeSetting setting = protocol::ParseRunExeSetting(*value);
  if (setting.word == protocol::kRunExeOff) {
    RunExeCode = 0;
    return;
  }
  // A word outside the table is a broken setting: keep the program that was configured rather
  // than pair the old event kind with a new command line.
  const auto code = protocol::RunExeCodeOf(setting.word);
  if (!code) return;
  RunExeCode = static_cast<int>(*code);
  RunExeCommand = std::string(setting.command);
}

void CEventReporter::RunExeForEvent(const std::string& text, const std::string& server) {
  const auto word = protocol::RunExeWordOf(static_cast<std::uint32_t>(RunExeCode));
  if (!word || !RunExeWordFires(*word, protocol::CategoryWordOfMessage(text))) return;
  RunConfiguredProgram(RunExeCommand);
  ReportExecuted("Executed " + RunExeCommand, server);
}

void CEventReporter::RunConfiguredProgram(const std::string& commandLine) {
  // The program belongs on the desktop of whoever sits at the console; with nobody logged on it
  // runs in the agent's own account.
  platform::SessionStore sessions(context_.Machine());
  std::optional<std::string> user;
  const std::uint32_t console = sessions.ActiveConsoleSessionId();
  if (console != platform::kNoConsoleSession) {
    if (auto name = sessions.QueryUserName(console); name && !name->empty()) user = *name;
  }
  auto started = platform::StartProcess(commandLine, user);
  if (!started) {
    TraceF("CreateProcessAsUser failed err : %u", static_cast<unsigned>(started.error()));
    return;
  }
  Trace("Process created successfully");
  // The started program is not waited for; the short pause gives it a head start on the
  // "Executed" report that follows.
  std::this_thread::sleep_for(10ms);
}

}  // namespace uv::agent
