#pragma once
// The vocabulary of event reports: the fifteen category words the console files events under,
// and the event words that the client's RunExe setting can name.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace uv::protocol {

// In the order of the console's filter rows.
enum class EventCategory : std::uint8_t {
  kStarted,
  kShutdown,
  kInserted,
  kRemoved,
  kMounted,
  kUnmounted,
  kAdded,
  kDeleted,
  kRenamed,
  kModified,
  kSaveEnergy,
  kSystemShutdown,
  kBlockedUsb,
  kChanged,
  kOffline,
};

inline constexpr std::size_t kEventCategoryCount = 15;

struct EventCategoryInfo {
  EventCategory category;
  std::string_view word;     // the first word of the message text, compared case-sensitively
  std::string_view caption;  // the row caption in the console's message filter
};

inline constexpr std::array<EventCategoryInfo, kEventCategoryCount> kEventCategories{{
    {EventCategory::kStarted, "Started", "USBVantrel started:"},
    {EventCategory::kShutdown, "Shutdown", "USBVantrel shutdown:"},
    {EventCategory::kInserted, "Inserted", "USB device inserted:"},
    {EventCategory::kRemoved, "Removed", "USB device removed:"},
    {EventCategory::kMounted, "Mounted", "USB volume mounted:"},
    {EventCategory::kUnmounted, "Unmounted", "USB volume unmounted:"},
    {EventCategory::kAdded, "Added", "File added on USB:"},
    {EventCategory::kDeleted, "Deleted", "File deleted on USB:"},
    {EventCategory::kRenamed, "Renamed", "File renamed on USB:"},
    {EventCategory::kModified, "Modified", "File modified on USB:"},
    {EventCategory::kSaveEnergy, "Save-Energy", "Save energy:"},
    {EventCategory::kSystemShutdown, "System-Shutdown", "System shutdown:"},
    {EventCategory::kBlockedUsb, "Blocked-USB", "USB volume blocked:"},
    {EventCategory::kChanged, "Changed", "Client Configuration Changed:"},
    {EventCategory::kOffline, "Offline", "Offline message:"},
}};

// The table is indexed by the enum; this keeps the two from drifting apart.
static_assert([] {
  for (std::size_t i = 0; i < kEventCategories.size(); ++i) {
    if (static_cast<std::size_t>(kEventCategories[i].category) != i) return false;
  }
  return true;
}());

[[nodiscard]] constexpr const EventCategoryInfo& InfoOf(EventCategory category) {
  return kEventCategories[static_cast<std::size_t>(category)];
}
[[nodiscard]] constexpr std::string_view WordOf(EventCategory category) {
  return InfoOf(category).word;
}

// The category whose word is exactly `word`; none for words outside the vocabulary (such as
// "Executed" or "Unable-to-block", which the console lists without filtering).
[[nodiscard]] constexpr std::optional<EventCategory> FindEventCategory(std::string_view word) {
  for (const auto& info : kEventCategories) {
    if (info.word == word) return info.category;
  }
  return std::nullopt;
}

// Bit (1 << category) is set for every category word that occurs anywhere in `text`. The
// console's log, balloon and mail filters require the switch of each word contained, so
// "System-Shutdown" also brings in "Shutdown".
using EventCategoryMask = std::uint16_t;
[[nodiscard]] EventCategoryMask CategoriesContainedIn(std::string_view text);
[[nodiscard]] constexpr EventCategoryMask MaskOf(EventCategory category) {
  return static_cast<EventCategoryMask>(1u << static_cast<unsigned>(category));
}

// RunExe: an event word of this table, one blank, then a command line; "None" turns it off.
struct RunExeEvent {
  std::string_view word;
  std::uint32_t code;
};

inline constexpr std::string_view kRunExeOff = "None";

inline constexpr std::array<RunExeEvent, 13> kRunExeEvents{{
    {"Added", 0x1},
    {"Deleted", 0x2},
    {"Modified", 0x4},
    {"Renamed", 0x8},
    {"Save-Energy", 0x10},
    {"Started", 0x20},
    {"Shutdown", 0x40},
    {"System-Shutdown", 0x80},
    {"Inserted", 0x100},
    {"Mounted", 0x200},
    {"Unmounted", 0x400},
    {"Removed", 0x800},
    {"Blocked-USB", 0x1000},
}};

// The code of an event word (exact match); none for any other word.
[[nodiscard]] constexpr std::optional<std::uint32_t> RunExeCodeOf(std::string_view word) {
  for (const auto& event : kRunExeEvents) {
    if (event.word == word) return event.code;
  }
  return std::nullopt;
}

// The word of a code; none for 0 and for anything that is not exactly one table code.
[[nodiscard]] constexpr std::optional<std::string_view> RunExeWordOf(std::uint32_t code) {
  for (const auto& event : kRunExeEvents) {
    if (event.code == code) return event.word;
  }
  return std::nullopt;
}

// A "RunExe" value split into its event word (blanks in front skipped, up to the first blank)
// and the command line after that blank. A value without a blank has an empty command.
struct RunExeSetting {
  std::string_view word;
  std::string_view command;
};
[[nodiscard]] RunExeSetting ParseRunExeSetting(std::string_view value);

}  // namespace uv::protocol
