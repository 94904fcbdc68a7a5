#pragma once
// The client agent's only road to the console: wraps an event text into an event report, probes
// the console and sends the report, or keeps it in the offline journal for a later replay. Before
// each report it starts the program configured for the event's kind ("RunExe") and reports that.
//
// The watcher's worker owns one reporter for its life; the dialog's FormatDetails makes one per
// event. All of them share one CReporterContext.
//
// Every report costs a probe round trip, which bounds how fast a burst of events is reported, so
// a reporter keeps its two sockets (the probe's and the report's) for its life rather than making
// them per datagram, and takes the computer's name and address from caches that notice every
// change. The probe still asks afresh for every report: nothing about the console's reachability
// is remembered.
//
// Thread affinity: one thread at a time per object (RunExeCode/RunExeCommand and the sockets are
// plain members); any number of objects on any threads may share a context. Every operation
// blocks its caller for the probe (up to about 2.5 seconds when the console is away).

#include <cstdint>
#include <string>
#include <string_view>

#include "client/agent/IEventReporter.h"
#include "platform/net/Ipv4Address.h"
#include "platform/net/Socket.h"

namespace uv::agent {

class CReporterContext;

class CEventReporter : public IEventReporter {
 public:
  // The probe's answers.
  static constexpr int kReachable = 1;
  static constexpr int kUnreachable = 2;

  // Event-log identifier and source of "Could not resolve IP": a service has no one to answer a
  // message box, so the failure is written to the computer's event log instead.
  static constexpr std::uint32_t kEventCouldNotResolveIp = 0xC0000101;
  static constexpr std::string_view kEventSource = "USBVantrel Client Service";

  explicit CEventReporter(CReporterContext& context);

  void ReportToServer(const std::string& text, const std::string& server,
                      std::string* body = nullptr) override;
  // The "Executed" report: the body ends with text + " on " + computer + "\" + user.
  void ReportExecuted(const std::string& text, const std::string& server);
  // Probes and sends `report`, replaying the queue first when it holds reports; journals the
  // report when the console does not answer and the offline switch is on.
  void SendEventReport(const std::string& report, const std::string& server);
  // kReachable only for the answer "IMA;"; kUnreachable otherwise.
  int ProbeServer(const std::string& server);
  // Appends report + "\r\n" to the journal (false) or the replay queue (true).
  void WriteOfflineMsg(const std::string& report, bool replayQueue);
  // The user of the first active session; false when there is none.
  bool GetActiveSessionUser(std::string& user);
  // Reads "RunExe" into RunExeCode and RunExeCommand.
  void LoadRunExeSetting();
  // Starts RunExeCommand and sends its "Executed" report when `text` is of the configured kind.
  void RunExeForEvent(const std::string& text, const std::string& server);
  // Starts the command line, as the active session's user when the agent may act for it.
  void RunConfiguredProgram(const std::string& commandLine);

  // Bit code of the event word that triggers the program (0: none), and its command line.
  int RunExeCode = 0;
  std::string RunExeCommand;

 private:
  // The "%02d/%02d/%04d,%02d:%02d:%02d," prefix, computer and user, address and the message;
  // false (after reporting the failure) when the computer's own name does not resolve.
  bool BuildReportBody(const std::string& text, bool appendComputerAndUser, std::string* body);
  bool OfflineSwitchOn();
  // The probe, sending from `local` (this computer's own address, or any).
  int Probe(const std::string& server, platform::Ipv4Address local);
  // One probe on probeSocket_: "RUT;" out, then the first datagram that comes back.
  int ProbeOnce(platform::SocketAddress console);
  // Takes whatever reached the kept probe socket since its last probe, so that no answer owed to
  // an earlier probe counts for the next one; false when the socket must be made anew instead.
  bool DrainProbeSocket();
  // Sends one datagram to the console's event port from `local`.
  bool SendDatagram(std::string_view text, const std::string& server, platform::Ipv4Address local);
  // Replays the queue; call with the journal lock held.
  void ReplayQueueLocked(const std::string& server, platform::Ipv4Address local);
  void WriteOfflineMsgLocked(const std::string& report, bool replayQueue);

  CReporterContext& context_;

  // Kept while they work and the computer's own address stays the same. The probe's socket is
  // also made anew when the console's address changes and after every probe that did not end
  // with its "IMA;": an answer that is late, or that follows a wrong one, then reaches a closed
  // port instead of passing for the answer to a later probe.
  platform::UdpSocket probeSocket_;
  platform::SocketAddress probeFrom_;  // probeSocket_'s local address (port 0) and console
  platform::SocketAddress probeTo_;
  platform::UdpSocket reportSocket_;
  platform::Ipv4Address reportFrom_;
};

}  // namespace uv::agent
