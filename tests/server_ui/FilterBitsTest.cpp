// The category filter table and its two rules.

#include <gtest/gtest.h>

#include <set>
#include <string>

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
