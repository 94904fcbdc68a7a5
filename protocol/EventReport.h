#pragma once
// The event report: one comma-separated line per event, from the client's reporter to the
// console, the client's journals and the journal viewer.
//
//   VERSION=1 6 0 0,07/03/2009,14:05:09,PC17\user1,192.168.1.23,Inserted USB Flash Disk on ...
//
// Building is done on the reporting threads for every event and parsing on the console's UI
// thread for every datagram, so both work on caller-owned buffers and views and do not allocate
// once the buffers have grown.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/EventCategory.h"

namespace uv::protocol {

// A broken-down local time, as the reporter reads the clock once per report.
struct ReportTime {
  int day = 0;
  int month = 0;
  int year = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

struct ReportFields {
  std::string_view version;   // "VERSION=" + product version, see VersionText.h
  ReportTime time;            // client local time
  std::string_view computer;  // NetBIOS name or "UNKNOWN"
  std::string_view user;      // active session user or "LocalSystem"
  std::string_view address;   // dotted IPv4 of the computer
  std::string_view message;   // category word, blank, free text
};

// Appends "%02d/%02d/%04d,%02d:%02d:%02d," (day, month, year, hour, minute, second), with
// exactly printf's widths for out-of-range values as well.
void AppendReportDateTime(std::string& out, const ReportTime& time);

// Appends "%0*d" of `value` with the given minimum width, as printf writes it.
void AppendZeroPadded(std::string& out, int value, int width);

// Reusable builder: Build() replaces the previous report and keeps the buffer's capacity.
class EventReport {
 public:
  void Build(const ReportFields& fields);

  // version + "," + body
  [[nodiscard]] std::string_view text() const { return text_; }
  // the report without its version field and the "," after it: date, time, computer\user,
  // address, message
  [[nodiscard]] std::string_view body() const {
    return std::string_view(text_).substr(bodyOffset_);
  }

 private:
  std::string text_;
  std::size_t bodyOffset_ = 0;
};

// One-shot forms of the builder.
[[nodiscard]] std::string BuildEventReport(const ReportFields& fields);
[[nodiscard]] std::string BuildReportBody(const ReportFields& fields);

// --- Replay ---------------------------------------------------------------------------------

inline constexpr std::string_view kOfflineWord = "Offline";
inline constexpr std::string_view kOfflineMarker = "Offline,";

// Inserts "Offline," directly after the last "," of a stored report (in front when it has none),
// so that the console files it under "Offline" while date and time stay those of the event.
void InsertOfflineMarker(std::string& line);
[[nodiscard]] std::string WithOfflineMarker(std::string_view line);

// Removes every "\r" and "\n" of a journal line.
void StripLineBreaks(std::string& line);

// --- Category --------------------------------------------------------------------------------

// The first blank-delimited word of a message text (blanks in front skipped); empty when there is
// none.
[[nodiscard]] std::string_view FirstWordOf(std::string_view message);

// The category word of a message text: its first word.
[[nodiscard]] inline std::string_view CategoryWordOfMessage(std::string_view message) {
  return FirstWordOf(message);
}

// The category word of a report or report body: "Offline" when it carries the replay marker as
// its message field, otherwise the first word of its message.
[[nodiscard]] std::string_view CategoryWordOfReport(std::string_view body);

// --- The console's reading of a report --------------------------------------------------------

struct VersionSplit {
  bool mismatch = true;   // the console's version flag: false (0) when the versions match
  std::string_view text;  // what the console goes on with
};

// Compares the first field of a report (separators in front skipped, up to the next ",") with the
// console's own version text. On a match the text goes on without that field; on a mismatch it
// loses the field only if the field holds "VERSION=" somewhere, otherwise it stays whole.
[[nodiscard]] VersionSplit SplitVersion(std::string_view report, std::string_view ownVersion);

// The fields of a report body as the lists show them. Runs of "," count as one separator, so an
// empty field shifts the later ones; a missing field is empty.
struct EventFields {
  std::string_view date;
  std::string_view time;
  std::string_view computerUser;
  std::string_view address;
  std::string_view message;   // up to its first ","
  std::string_view category;  // "Offline" for a replayed report, else the message's first word
};

// The console's History list: a message field "Offline" marks a replayed report, whose message
// is then the field after it.
[[nodiscard]] EventFields ParseReportBody(std::string_view body);

// The journal viewer: a whole stored report (version field first, dropped), no replay marker.
[[nodiscard]] EventFields ParseJournalLine(std::string_view line);

// The balloon's text of an alert text (body + " [ address ]"): its fifth field, or the sixth when
// the fifth is "Offline". None when the report has too few fields.
[[nodiscard]] std::optional<std::string_view> BalloonTextOf(std::string_view alertText);

// The console's log file.
inline constexpr std::string_view kLogHeader =
    "Date,Time,Computer Name,IP Address,Category,Message\r\n";

// The category the log line gets: the first blank-delimited word after the last "," of the text
// (of the whole text when it has no ","); empty when there is none.
[[nodiscard]] std::string_view LogCategoryOf(std::string_view text);

// Builds the log line (without "\r\n") of a matching report's full text: unchanged when the text
// contains "Offline" anywhere (a replay already carries it as a field), otherwise with the
// category and a "," inserted after the last "," (in front when there is none).
void BuildLogLine(std::string& out, std::string_view fullText);

// ",,," + sender address + ",,Client Version does not match"
void BuildVersionMismatchLogLine(std::string& out, std::string_view senderAddress);

inline constexpr std::string_view kVersionMismatchMessage = "Client Version does not match";

}  // namespace uv::protocol
