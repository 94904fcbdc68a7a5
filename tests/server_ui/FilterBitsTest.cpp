// The category filter table and its two rules.

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <string_view>

#include "server/dialogs/filter/FilterBits.h"

namespace uv::server {
namespace {

TEST(FilterTable, EveryBoxHasItsOwnIdentifierAndBit) {
  std::set<int> ids;
  std::uint32_t flags = 0;
  std::uint32_t extra = 0;
  for (const CategoryFilter& entry : kCategoryFilters) {
    for (const FilterBit& bit : entry.bits) {
      EXPECT_TRUE(ids.insert(bit.controlId).second) << "identifier " << bit.controlId;
      EXPECT_EQ(bit.mask & (bit.mask - 1), 0u) << "one bit per box in " << entry.category;
      std::uint32_t& word = bit.word == FilterWord::kFlags ? flags : extra;
      EXPECT_EQ(word & bit.mask, 0u) << "bit used twice: " << entry.category;
      word |= bit.mask;
    }
  }
  EXPECT_EQ(ids.size(), 60u);
  // Thirty bits in each word; bits 30 and 31 carry nothing.
  EXPECT_EQ(flags, 0x3FFFFFFFu);
  EXPECT_EQ(extra, 0x3FFFFFFFu);
}

// The sixty boxes as the console's documentation lists them, written out here rather than read
// from the code's table, so that a swapped identifier, word or bit fails.
TEST(FilterTable, SixtyBoxesHaveTheirDocumentedIdentifierWordAndBit) {
  struct Row {
    std::string_view category, caption;
    Outlet outlet;
    int controlId;
    FilterWord word;
    std::uint32_t mask;
  };
  // clang-format off
  static constexpr Row kRows[] = {
      {"Started", "USBVantrel started:", Outlet::kLog, 1057, FilterWord::kFlags, 0x1u},
      {"Started", "USBVantrel started:", Outlet::kBalloon, 1055, FilterWord::kFlags, 0x2u},
      {"Started", "USBVantrel started:", Outlet::kEmail, 1056, FilterWord::kFlags, 0x4u},
      {"Started", "USBVantrel started:", Outlet::kHistory, 1091, FilterWord::kExtra, 0x200u},
      {"Shutdown", "USBVantrel shutdown:", Outlet::kLog, 1058, FilterWord::kFlags, 0x8u},
      {"Shutdown", "USBVantrel shutdown:", Outlet::kBalloon, 1059, FilterWord::kFlags, 0x10u},
      {"Shutdown", "USBVantrel shutdown:", Outlet::kEmail, 1060, FilterWord::kFlags, 0x20u},
      {"Shutdown", "USBVantrel shutdown:", Outlet::kHistory, 1092, FilterWord::kExtra, 0x400u},
      {"Inserted", "USB device inserted:", Outlet::kLog, 1061, FilterWord::kFlags, 0x40u},
      {"Inserted", "USB device inserted:", Outlet::kBalloon, 1062, FilterWord::kFlags, 0x80u},
      {"Inserted", "USB device inserted:", Outlet::kEmail, 1063, FilterWord::kFlags, 0x100u},
      {"Inserted", "USB device inserted:", Outlet::kHistory, 1093, FilterWord::kExtra, 0x800u},
      {"Mounted", "USB volume mounted:", Outlet::kLog, 1064, FilterWord::kFlags, 0x1000u},
      {"Mounted", "USB volume mounted:", Outlet::kBalloon, 1065, FilterWord::kFlags, 0x2000u},
      {"Mounted", "USB volume mounted:", Outlet::kEmail, 1066, FilterWord::kFlags, 0x4000u},
      {"Mounted", "USB volume mounted:", Outlet::kHistory, 1094, FilterWord::kExtra, 0x1000u},
      {"Unmounted", "USB volume unmounted:", Outlet::kLog, 1067, FilterWord::kFlags, 0x8000u},
      {"Unmounted", "USB volume unmounted:", Outlet::kBalloon, 1068, FilterWord::kFlags, 0x10000u},
      {"Unmounted", "USB volume unmounted:", Outlet::kEmail, 1069, FilterWord::kFlags, 0x20000u},
      {"Unmounted", "USB volume unmounted:", Outlet::kHistory, 1095, FilterWord::kExtra, 0x2000u},
      {"Removed", "USB device removed:", Outlet::kLog, 1070, FilterWord::kFlags, 0x200u},
      {"Removed", "USB device removed:", Outlet::kBalloon, 1071, FilterWord::kFlags, 0x400u},
      {"Removed", "USB device removed:", Outlet::kEmail, 190, FilterWord::kFlags, 0x800u},
      {"Removed", "USB device removed:", Outlet::kHistory, 1096, FilterWord::kExtra, 0x4000u},
      {"Added", "File added on USB:", Outlet::kLog, 1073, FilterWord::kFlags, 0x40000u},
      {"Added", "File added on USB:", Outlet::kBalloon, 1074, FilterWord::kFlags, 0x80000u},
      {"Added", "File added on USB:", Outlet::kEmail, 191, FilterWord::kFlags, 0x100000u},
      {"Added", "File added on USB:", Outlet::kHistory, 1097, FilterWord::kExtra, 0x8000u},
      {"Deleted", "File deleted on USB:", Outlet::kLog, 1075, FilterWord::kFlags, 0x200000u},
      {"Deleted", "File deleted on USB:", Outlet::kBalloon, 1076, FilterWord::kFlags, 0x400000u},
      {"Deleted", "File deleted on USB:", Outlet::kEmail, 192, FilterWord::kFlags, 0x800000u},
      {"Deleted", "File deleted on USB:", Outlet::kHistory, 1098, FilterWord::kExtra, 0x10000u},
      {"Renamed", "File renamed on USB:", Outlet::kLog, 1077, FilterWord::kFlags, 0x1000000u},
      {"Renamed", "File renamed on USB:", Outlet::kBalloon, 1078, FilterWord::kFlags, 0x2000000u},
      {"Renamed", "File renamed on USB:", Outlet::kEmail, 193, FilterWord::kFlags, 0x4000000u},
      {"Renamed", "File renamed on USB:", Outlet::kHistory, 1099, FilterWord::kExtra, 0x20000u},
      {"Modified", "File modified on USB:", Outlet::kLog, 1079, FilterWord::kFlags, 0x8000000u},
      {"Modified", "File modified on USB:", Outlet::kBalloon, 1080, FilterWord::kFlags, 0x10000000u},
      {"Modified", "File modified on USB:", Outlet::kEmail, 194, FilterWord::kFlags, 0x20000000u},
      {"Modified", "File modified on USB:", Outlet::kHistory, 1100, FilterWord::kExtra, 0x40000u},
      {"Save-Energy", "Save energy:", Outlet::kLog, 1072, FilterWord::kExtra, 0x1u},
      {"Save-Energy", "Save energy:", Outlet::kBalloon, 1081, FilterWord::kExtra, 0x2u},
      {"Save-Energy", "Save energy:", Outlet::kEmail, 1082, FilterWord::kExtra, 0x4u},
      {"Save-Energy", "Save energy:", Outlet::kHistory, 1101, FilterWord::kExtra, 0x80000u},
      {"System-Shutdown", "System shutdown:", Outlet::kLog, 1083, FilterWord::kExtra, 0x8u},
      {"System-Shutdown", "System shutdown:", Outlet::kBalloon, 1084, FilterWord::kExtra, 0x10u},
      {"System-Shutdown", "System shutdown:", Outlet::kEmail, 1085, FilterWord::kExtra, 0x20u},
      {"System-Shutdown", "System shutdown:", Outlet::kHistory, 1102, FilterWord::kExtra, 0x100000u},
      {"Blocked-USB", "USB volume blocked:", Outlet::kLog, 1086, FilterWord::kExtra, 0x40u},
      {"Blocked-USB", "USB volume blocked:", Outlet::kBalloon, 1087, FilterWord::kExtra, 0x80u},
      {"Blocked-USB", "USB volume blocked:", Outlet::kEmail, 1088, FilterWord::kExtra, 0x100u},
      {"Blocked-USB", "USB volume blocked:", Outlet::kHistory, 1103, FilterWord::kExtra, 0x200000u},
      {"Changed", "Client Configuration Changed:", Outlet::kLog, 1149, FilterWord::kExtra, 0x400000u},
      {"Changed", "Client Configuration Changed:", Outlet::kBalloon, 1150, FilterWord::kExtra, 0x800000u},
      {"Changed", "Client Configuration Changed:", Outlet::kEmail, 1151, FilterWord::kExtra, 0x1000000u},
      {"Changed", "Client Configuration Changed:", Outlet::kHistory, 1152, FilterWord::kExtra, 0x2000000u},
      {"Offline", "Offline message:", Outlet::kLog, 1161, FilterWord::kExtra, 0x4000000u},
      {"Offline", "Offline message:", Outlet::kBalloon, 1162, FilterWord::kExtra, 0x8000000u},
      {"Offline", "Offline message:", Outlet::kEmail, 1163, FilterWord::kExtra, 0x10000000u},
      {"Offline", "Offline message:", Outlet::kHistory, 1164, FilterWord::kExtra, 0x20000000u},
  };
  // clang-format on
  static_assert(std::size(kRows) == 60);
  std::size_t row = 0;
  for (const Row& expected : kRows) {
    // The dialog's rows come in this order, four outlets each.
    ASSERT_LT(row / 4, kCategoryFilters.size());
    const CategoryFilter& entry = kCategoryFilters[row / 4];
    EXPECT_EQ(entry.category, expected.category) << "row " << row / 4;
    EXPECT_EQ(entry.caption, expected.caption) << expected.category;
    const CategoryFilter* found = FindCategoryFilter(expected.category);
    ASSERT_NE(found, nullptr) << expected.category;
    const FilterBit& bit = found->bits[static_cast<std::size_t>(expected.outlet)];
    EXPECT_EQ(bit.controlId, expected.controlId) << expected.category;
    EXPECT_EQ(bit.word, expected.word) << expected.category;
    EXPECT_EQ(bit.mask, expected.mask) << expected.category;
    ++row;
  }
  EXPECT_EQ(kCategoryFilters.size(), 15u);
}

TEST(FilterTable, RemovalRowOwnsTheBitsBetweenInsertedAndMounted) {
  const CategoryFilter* removed = FindCategoryFilter("Removed");
  ASSERT_NE(removed, nullptr);
  EXPECT_EQ(removed->caption, "USB device removed:");
  EXPECT_EQ(removed->bits[0].mask, 0x200u);
  EXPECT_EQ(removed->bits[1].mask, 0x400u);
  EXPECT_EQ(removed->bits[2].mask, 0x800u);
  EXPECT_EQ(removed->bits[2].controlId, 190);
  EXPECT_EQ(removed->bits[3].word, FilterWord::kExtra);
  EXPECT_EQ(removed->bits[3].mask, 0x4000u);
  // Lookup is exact and case-sensitive.
  EXPECT_EQ(FindCategoryFilter("removed"), nullptr);
  EXPECT_EQ(FindCategoryFilter("Remove"), nullptr);
}

TEST(ExactRule, OnlyTheCategoryItselfCounts) {
  FilterWords words;
  words.extra &= ~0x800u;  // History of "Inserted" off
  EXPECT_FALSE(PassesExactRule("Inserted", Outlet::kHistory, words));
  EXPECT_TRUE(PassesExactRule("Inserted", Outlet::kLog, words));
  EXPECT_TRUE(PassesExactRule("Removed", Outlet::kHistory, words));
  // Words that are not categories always get their row.
  EXPECT_TRUE(PassesExactRule("Executed", Outlet::kHistory, FilterWords{0, 0}));
  EXPECT_TRUE(PassesExactRule("Unable-to-block", Outlet::kHistory, FilterWords{0, 0}));
  EXPECT_TRUE(PassesExactRule("", Outlet::kHistory, FilterWords{0, 0}));
  // "System-Shutdown" needs only its own History bit.
  FilterWords noShutdown;
  noShutdown.extra &= ~0x400u;
  EXPECT_TRUE(PassesExactRule("System-Shutdown", Outlet::kHistory, noShutdown));
  EXPECT_FALSE(PassesExactRule("Shutdown", Outlet::kHistory, noShutdown));
}

TEST(ContainsRule, EveryWordFoundNeedsItsBit) {
  const std::string systemShutdown = "09/12/2026,10:00:00,PC\\u,10.0.0.1,System-Shutdown PC";
  FilterWords words;
  EXPECT_TRUE(PassesContainsRule(systemShutdown, Outlet::kEmail, words));
  words.flags &= ~0x20u;  // Email of "Shutdown"
  EXPECT_FALSE(PassesContainsRule(systemShutdown, Outlet::kEmail, words));
  EXPECT_TRUE(PassesContainsRule(systemShutdown, Outlet::kLog, words));
  words = FilterWords{};
  words.extra &= ~0x20u;  // Email of "System-Shutdown"
  EXPECT_FALSE(PassesContainsRule(systemShutdown, Outlet::kEmail, words));

  // A path that holds a category word adds that word's condition.
  const std::string added = "Added E:\\Removed\\a.txt on PC";
  FilterWords noRemovedLog;
  noRemovedLog.flags &= ~0x200u;
  EXPECT_FALSE(PassesContainsRule(added, Outlet::kLog, noRemovedLog));
  EXPECT_TRUE(PassesContainsRule(added, Outlet::kBalloon, noRemovedLog));
  // Case-sensitive: "removed" is not the word.
  EXPECT_TRUE(PassesContainsRule("Added E:\\removed\\a.txt", Outlet::kLog, noRemovedLog));
  // No category word at all passes whatever the bits.
  EXPECT_TRUE(PassesContainsRule("Executed notepad", Outlet::kLog, FilterWords{0, 0}));
}

TEST(ContainsRule, WordsAreMatchedWithTheirCase) {
  // "Unmounted" holds "mounted", not "Mounted": the "Mounted" bit does not apply to it.
  FilterWords noMountedBalloon;
  noMountedBalloon.flags &= ~0x2000u;
  EXPECT_TRUE(PassesContainsRule("Unmounted drive E:\\ on PC", Outlet::kBalloon, noMountedBalloon));
  EXPECT_FALSE(PassesContainsRule("Mounted drive E:\\ on PC", Outlet::kBalloon, noMountedBalloon));
}

TEST(IsOutletAllowed, PicksTheRuleByOutlet) {
  FilterWords words;
  words.extra &= ~0x800u;  // History of "Inserted"
  words.flags &= ~0x80u;   // Balloon of "Inserted"
  EXPECT_FALSE(IsOutletAllowed(Outlet::kHistory, "Inserted", "anything", words));
  EXPECT_TRUE(IsOutletAllowed(Outlet::kHistory, "Offline", "Inserted", words));
  EXPECT_FALSE(IsOutletAllowed(Outlet::kBalloon, "Offline", "Offline,Inserted x", words));
  EXPECT_TRUE(IsOutletAllowed(Outlet::kLog, "Inserted", "Inserted x", words));
}

TEST(FilterWords, MissingValuesLetEverythingThrough) {
  const FilterWords words;
  for (const CategoryFilter& entry : kCategoryFilters) {
    for (int o = 0; o < kOutletCount; ++o) {
      EXPECT_TRUE(IsOutletAllowed(static_cast<Outlet>(o), entry.category,
                                  std::string(entry.category) + " x", words));
    }
  }
}

}  // namespace
}  // namespace uv::server
