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

// The probe: five waits of up to this long for an answer.
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

// A socket sending from the computer's own loopback address when it has one, so that the console
// tells simulated computers apart by address.
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

// Stale datagrams taken before a probe at most; a socket that holds more is made anew, which
// drops them all at once, so a flood cannot keep a report waiting.
constexpr int kMaxStaleDatagrams = 64;

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

  auto address = context_.Hosts().Resolve(computer);
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
  const platform::Ipv4Address local =
      context_.Hosts().LocalBindAddress(context_.Machine().ComputerName());
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
  return Probe(server, context_.Hosts().LocalBindAddress(context_.Machine().ComputerName()));
}

int CEventReporter::Probe(const std::string& server, platform::Ipv4Address local) {
  const auto address = platform::Ipv4Address::Parse(server);
  if (!address) return kUnreachable;
  const platform::SocketAddress from{local, 0};
  const platform::SocketAddress to{*address, protocol::kEventPort};
  if (probeSocket_.IsOpen() && (from != probeFrom_ || to != probeTo_ || !DrainProbeSocket())) {
    probeSocket_.Close();
  }
  if (!probeSocket_.IsOpen()) {
    auto socket = OpenSocket(local);
    if (!socket) return kUnreachable;
    // Each receive waits up to one probe interval; an answer ends the wait at once.
    if (const platform::WinError error = socket->SetReceiveTimeout(kProbeWait);
        error != platform::kErrorSuccess) {
      TraceF("setsockopt() failed with error %u\n", static_cast<unsigned>(error));
      return kUnreachable;  // a receive without a limit could wait for ever
    }
    probeSocket_ = std::move(*socket);
    probeFrom_ = from;
    probeTo_ = to;
  }
  const int result = ProbeOnce(to);
  if (result != kReachable) probeSocket_.Close();
  return result;
}

bool CEventReporter::DrainProbeSocket() {
  for (int taken = 0; taken < kMaxStaleDatagrams; ++taken) {
    char buffer[protocol::kProbeAnswerBuffer];
    auto received = probeSocket_.TryReceiveFrom(std::span<char>(buffer, sizeof buffer));
    if (received || received.error() == platform::kWsaEmsgsize) continue;
    return received.error() == platform::kWsaEwouldblock;
  }
  return false;
}

int CEventReporter::ProbeOnce(platform::SocketAddress console) {
  if (!probeSocket_.SendTo(protocol::kProbeRequest, console)) return kUnreachable;
  // Five receives of up to kProbeWait each: the first datagram that comes back is the answer,
  // however late in the last one it arrives.
  for (int attempt = 1; attempt <= kProbeAttempts; ++attempt) {
    char buffer[protocol::kProbeAnswerBuffer] = {};
    auto received = probeSocket_.ReceiveFrom(std::span<char>(buffer, sizeof buffer));
    if (received) {
      return protocol::IsProbeAnswer(std::string_view(buffer, *received)) ? kReachable
                                                                          : kUnreachable;
    }
    if (received.error() != platform::kWsaEtimedout) {
      Trace("recvfrom() failed");
      return kUnreachable;
    }
    Trace("Still have not received packet...Waiting and then trying again\n");
  }
  Trace("Timed out.\n");
  return kUnreachable;
}

bool CEventReporter::SendDatagram(std::string_view text, const std::string& server,
                                  platform::Ipv4Address local) {
  const auto address = platform::Ipv4Address::Parse(server);
  if (!address) return false;
  if (reportSocket_.IsOpen() && reportFrom_ != local) reportSocket_.Close();
  if (!reportSocket_.IsOpen()) {
    auto socket = OpenSocket(local);
    if (!socket) return false;
    reportSocket_ = std::move(*socket);
    reportFrom_ = local;
  }
  if (reportSocket_.SendTo(text, {*address, protocol::kEventPort})) return true;
  // The next report starts over with a new socket rather than with one that failed.
  reportSocket_.Close();
  return false;
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
  // From the context's cache: the store is read again only after a login or logout.
  auto list = context_.Sessions().Enumerate();
  if (!list) {
    TraceF("WTSEnumerateSessions failed  error-code = %u ", static_cast<unsigned>(list.error()));
    return false;
  }
  TraceF("Enumerated %u session entries", static_cast<unsigned>(list->size()));
  for (auto& session : *list) {
    if (session.state != platform::SessionState::kActive) continue;
    user = std::move(session.userName);
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
  std::optional<std::string> user = context_.Sessions().ActiveSessionUser();
  if (user && user->empty()) user.reset();
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
