#pragma once
// The event log of one machine's services (ReportEvent / the Event Viewer's Application log).
// Each event is one text line appended to Machine::EventLogFile():
//
//   <local date and time> TAB <type word> TAB 0x<id, 8 hex digits> TAB <source> [TAB <string>]...
//
// with tab, line feed, carriage return and backslash inside a field written as \t, \n, \r, \\ so
// that one event always stays one line whatever its strings hold. Appends are whole lines under
// an exclusive file lock, so events of several threads and processes never interleave.
//
// Thread affinity: none; every call opens, locks, writes and closes the file itself.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"

namespace uv::platform {

class Machine;

// The event types of ReportEvent, with their Windows values.
enum class EventType : std::uint16_t {
  kError = 0x0001,
  kWarning = 0x0002,
  kInformation = 0x0004,
  kAuditSuccess = 0x0008,
  kAuditFailure = 0x0010,
};

// "Error", "Warning", "Information", "Audit Success", "Audit Failure".
std::string_view EventTypeName(EventType type);

struct EventRecord {
  std::string time;  // "YYYY-MM-DD HH:MM:SS", local time of the writer
  EventType type = EventType::kInformation;
  std::uint32_t id = 0;
  std::string source;
  std::vector<std::string> strings;
};

// Appends one event. Fails with kErrorAccessDenied when this process may not write the log (or
// the machine root), with another WinError when the file cannot be opened, locked or written; a
// line is never left half written by this process on a full disk: the file is cut back to its
// former end.
[[nodiscard]] WinError ReportEvent(const Machine& machine, EventType type, std::uint32_t id,
                                   std::string_view source,
                                   const std::vector<std::string>& strings);

// The events of the log in file order. Lines that are not events (foreign text, a cut-off tail,
// an unknown type word) are skipped and counted in *skipped. A missing log gives no events; a
// log that is not a readable file fails.
Result<std::vector<EventRecord>> ReadEventLog(const Machine& machine,
                                              std::size_t* skipped = nullptr);

// Event sources (RegisterEventSource's registry side), as Windows keeps them under
// SYSTEM\CurrentControlSet\Services\EventLog\<log>: a subkey per source with "EventMessageFile"
// (REG_SZ) and "TypesSupported" (REG_DWORD), and the log key's "Sources" (REG_MULTI_SZ) listing
// every source once. Registering again updates the values and leaves "Sources" as it is;
// removing deletes the subkey and takes the name out of "Sources" (a source that is not there is
// not an error). Names: 1 to 255 characters without "\" (kErrorInvalidName). Writing needs the
// machine's administrator (kErrorAccessDenied).
inline constexpr std::string_view kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog";

[[nodiscard]] WinError RegisterEventSource(Machine& machine, std::string_view logName,
                                           std::string_view sourceName,
                                           std::string_view messageFile,
                                           std::uint32_t typesSupported);
[[nodiscard]] WinError RemoveEventSource(Machine& machine, std::string_view logName,
                                         std::string_view sourceName);
// The log key's "Sources"; empty when the log has none.
std::vector<std::string> EventSources(Machine& machine, std::string_view logName);

// One event as its log line (with the final "\n"), and back; the parser rejects anything that is
// not exactly such a line. Exposed for tests and tools.
std::string FormatEventLine(const EventRecord& record);
bool ParseEventLine(std::string_view line, EventRecord* record);

}  // namespace uv::platform
