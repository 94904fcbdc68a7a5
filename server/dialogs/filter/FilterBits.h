#pragma once
// Which outlets an event may pass, per category: one bit per category and outlet in the two
// filter words "MsgFilterFlags" and "MsgFilterFlagsExtra". A set bit lets the event through.
//
// Two rules apply the bits:
// - the History list uses the exact rule: the event's category (first word of the message, or
//   "Offline" for a replayed report) is looked up; a word not in the table always passes;
// - log, balloon and e-mail use the contains rule: every category word that occurs anywhere in
//   the outlet's text needs its bit for that outlet.

#include <array>
#include <cstdint>
#include <string_view>

namespace uv::server {

inline constexpr std::string_view kMsgFilterFlags = "MsgFilterFlags";
inline constexpr std::string_view kMsgFilterFlagsExtra = "MsgFilterFlagsExtra";

enum class Outlet : int { kLog = 0, kBalloon = 1, kEmail = 2, kHistory = 3 };
inline constexpr int kOutletCount = 4;

enum class FilterWord : int { kFlags = 0, kExtra = 1 };

// The two words, as the main window holds them; missing registry values mean all bits set.
struct FilterWords {
  std::uint32_t flags = 0xFFFFFFFFu;
  std::uint32_t extra = 0xFFFFFFFFu;
  bool operator==(const FilterWords&) const = default;
};

// One check box of the filter dialog: the bit it stands for and its control identifier.
struct FilterBit {
  FilterWord word;
  std::uint32_t mask;
  int controlId;
};

struct CategoryFilter {
  std::string_view category;                 // the category word of the reports
  std::string_view caption;                  // the row caption of the filter dialog
  std::array<FilterBit, kOutletCount> bits;  // indexed by Outlet
};

// The fifteen categories in the order of the filter dialog's rows.
inline constexpr std::array<CategoryFilter, 15> kCategoryFilters{{
    {"Started",
     "USBVantrel started:",
     {{{FilterWord::kFlags, 0x1, 1057},
       {FilterWord::kFlags, 0x2, 1055},
       {FilterWord::kFlags, 0x4, 1056},
       {FilterWord::kExtra, 0x200, 1091}}}},
    {"Shutdown",
     "USBVantrel shutdown:",
     {{{FilterWord::kFlags, 0x8, 1058},
       {FilterWord::kFlags, 0x10, 1059},
       {FilterWord::kFlags, 0x20, 1060},
       {FilterWord::kExtra, 0x400, 1092}}}},
    {"Inserted",
     "USB device inserted:",
     {{{FilterWord::kFlags, 0x40, 1061},
       {FilterWord::kFlags, 0x80, 1062},
       {FilterWord::kFlags, 0x100, 1063},
       {FilterWord::kExtra, 0x800, 1093}}}},
    {"Mounted",
     "USB volume mounted:",
     {{{FilterWord::kFlags, 0x1000, 1064},
       {FilterWord::kFlags, 0x2000, 1065},
       {FilterWord::kFlags, 0x4000, 1066},
       {FilterWord::kExtra, 0x1000, 1094}}}},
    {"Unmounted",
     "USB volume unmounted:",
     {{{FilterWord::kFlags, 0x8000, 1067},
       {FilterWord::kFlags, 0x10000, 1068},
       {FilterWord::kFlags, 0x20000, 1069},
       {FilterWord::kExtra, 0x2000, 1095}}}},
    // The removal bits sit between "inserted" and "mounted" in the first word, while the dialog
    // shows this row after "unmounted"; its Email box has the low identifier 190.
    {"Removed",
     "USB device removed:",
     {{{FilterWord::kFlags, 0x200, 1070},
       {FilterWord::kFlags, 0x400, 1071},
       {FilterWord::kFlags, 0x800, 190},
       {FilterWord::kExtra, 0x4000, 1096}}}},
    {"Added",
     "File added on USB:",
     {{{FilterWord::kFlags, 0x40000, 1073},
       {FilterWord::kFlags, 0x80000, 1074},
       {FilterWord::kFlags, 0x100000, 191},
       {FilterWord::kExtra, 0x8000, 1097}}}},
    {"Deleted",
     "File deleted on USB:",
     {{{FilterWord::kFlags, 0x200000, 1075},
       {FilterWord::kFlags, 0x400000, 1076},
       {FilterWord::kFlags, 0x800000, 192},
       {FilterWord::kExtra, 0x10000, 1098}}}},
    {"Renamed",
     "File renamed on USB:",
     {{{FilterWord::kFlags, 0x1000000, 1077},
       {FilterWord::kFlags, 0x2000000, 1078},
       {FilterWord::kFlags, 0x4000000, 193},
       {FilterWord::kExtra, 0x20000, 1099}}}},
    {"Modified",
     "File modified on USB:",
     {{{FilterWord::kFlags, 0x8000000, 1079},
       {FilterWord::kFlags, 0x10000000, 1080},
       {FilterWord::kFlags, 0x20000000, 194},
       {FilterWord::kExtra, 0x40000, 1100}}}},
    {"Save-Energy",
     "Save energy:",
     {{{FilterWord::kExtra, 0x1, 1072},
       {FilterWord::kExtra, 0x2, 1081},
       {FilterWord::kExtra, 0x4, 1082},
       {FilterWord::kExtra, 0x80000, 1101}}}},
    {"System-Shutdown",
     "System shutdown:",
     {{{FilterWord::kExtra, 0x8, 1083},
       {FilterWord::kExtra, 0x10, 1084},
       {FilterWord::kExtra, 0x20, 1085},
       {FilterWord::kExtra, 0x100000, 1102}}}},
    {"Blocked-USB",
     "USB volume blocked:",
     {{{FilterWord::kExtra, 0x40, 1086},
       {FilterWord::kExtra, 0x80, 1087},
       {FilterWord::kExtra, 0x100, 1088},
       {FilterWord::kExtra, 0x200000, 1103}}}},
    {"Changed",
     "Client Configuration Changed:",
     {{{FilterWord::kExtra, 0x400000, 1149},
       {FilterWord::kExtra, 0x800000, 1150},
       {FilterWord::kExtra, 0x1000000, 1151},
       {FilterWord::kExtra, 0x2000000, 1152}}}},
    {"Offline",
     "Offline message:",
     {{{FilterWord::kExtra, 0x4000000, 1161},
       {FilterWord::kExtra, 0x8000000, 1162},
       {FilterWord::kExtra, 0x10000000, 1163},
       {FilterWord::kExtra, 0x20000000, 1164}}}},
}};

// Whether a bit is set in the words.
bool IsBitSet(const FilterWords& words, const FilterBit& bit);

// The filter entry of a category word (exact, case-sensitive), or nullptr.
const CategoryFilter* FindCategoryFilter(std::string_view category);

// Exact rule (History): passes unless the category is one of the fifteen and its bit is clear.
bool PassesExactRule(std::string_view category, Outlet outlet, const FilterWords& words);

// Contains rule (log, balloon, e-mail): every category word found in the text needs its bit.
bool PassesContainsRule(std::string_view text, Outlet outlet, const FilterWords& words);

// Whether an event may reach an outlet: the exact rule on the category for the History list,
// the contains rule on the outlet's text for the others.
bool IsOutletAllowed(Outlet outlet, std::string_view category, std::string_view outletText,
                     const FilterWords& words);

}  // namespace uv::server
