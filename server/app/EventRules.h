#pragma once
// The text rules the console applies to one event report: the version split, the History row,
// the balloon text, the sound choice, the log line and the mail body, each with its outlet's
// filter rule (server/dialogs/filter/FilterBits.h).
//
// All texts are single-byte text held in std::string; nothing here touches a widget, a file or a
// socket, so every rule can be tested on its own. Thread affinity: none (pure functions).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gui/list/EventRow.h"
#include "server/dialogs/filter/FilterBits.h"

namespace uv::server {

// Splits like strtok: runs of separators count as one, separators in front are skipped, no
// empty fields.
std::vector<std::string_view> Tokenize(std::string_view text, char separator);

// The first blank-delimited word of text (leading blanks skipped).
std::string_view FirstWord(std::string_view text);

// Removes the version field from a report when it matches `ownVersion`: returns 0 then. Returns
// 1 otherwise; the first field is removed too when it holds "VERSION=" anywhere.
int SplitVersion(std::string& text, std::string_view ownVersion);

// "%s [ %s ]": the alert text of an event.
std::string AlertText(std::string_view eventText, std::string_view senderAddress);

// Appends " at HH:MM:SS".
std::string AppendArrivalTime(std::string_view alertText, int hour, int minute, int second);

inline constexpr std::string_view kVersionMismatch = "Client Version does not match";

// The History row of an event (full text), or nothing when its History bit is clear.
std::optional<EventRow> BuildHistoryRow(std::string_view fullText, int versionFlag,
                                        std::string_view senderAddress, const FilterWords& words);

// The balloon text for an alert text, or nothing when the balloon filter stops it. A report with
// fewer than five fields gets the whole alert text instead of its (missing) message field.
std::optional<std::string> BalloonText(std::string_view alertText, int versionFlag,
                                       std::string_view senderAddress, const FilterWords& words);

// The sound plays for "Inserted", "Removed" and "Mounted" anywhere in the alert text
// (case-sensitive: "Unmounted" alone does not qualify). No filter bit applies.
bool ShouldPlaySound(std::string_view alertText);

// The log line for an event (full text), "\r\n" included, or nothing when the log filter stops
// it.
std::optional<std::string> BuildLogLine(std::string_view fullText, int versionFlag,
                                        std::string_view senderAddress, const FilterWords& words);

// BuildLogLine appending to `out` instead of making a string of its own (a batch of lines shares
// one buffer); false, with nothing appended, when the log filter stops the line.
bool AppendLogEntry(std::string& out, std::string_view fullText, int versionFlag,
                    std::string_view senderAddress, const FilterWords& words);

// BalloonText as a view: into alertText, or into `scratch` (overwritten) for a version mismatch.
std::optional<std::string_view> BalloonTextView(std::string_view alertText, int versionFlag,
                                                std::string_view senderAddress,
                                                const FilterWords& words, std::string& scratch);

// The six texts of a History row, as views into the full text (or constants and the sender for a
// mismatch): what BuildHistoryRow copies into an EventRow.
struct HistoryRowTexts {
  std::string_view date;
  std::string_view time;
  std::string_view computerUser;
  std::string_view address;
  std::string_view message;
  std::string_view category;
  EventRow ToRow() const;
};
std::optional<HistoryRowTexts> HistoryRowTextsOf(std::string_view fullText, int versionFlag,
                                                 std::string_view senderAddress,
                                                 const FilterWords& words);

// True when the event is to be mailed (the caller has checked the mail switch).
bool ShouldMail(std::string_view fullText, int versionFlag, const FilterWords& words);

// The mail body of an event (full text) or of a version mismatch.
std::string BuildMailBody(std::string_view fullText, int versionFlag,
                          std::string_view senderAddress);

}  // namespace uv::server
