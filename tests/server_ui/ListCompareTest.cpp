// The sort comparisons of the event list.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "gui/list/CUVTListCtrl.h"

namespace uv::server {
namespace {

int Sign(int v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

struct Ordered {
  const char* lower;
  const char* higher;
};

class CompareTextOrder : public ::testing::TestWithParam<Ordered> {};

TEST_P(CompareTextOrder, SortsFirstBeforeSecond) {
  const Ordered& p = GetParam();
  EXPECT_LT(CompareText(p.lower, p.higher), 0) << p.lower << " vs " << p.higher;
  EXPECT_GT(CompareText(p.higher, p.lower), 0) << p.higher << " vs " << p.lower;
}

INSTANTIATE_TEST_SUITE_P(
    WordSort, CompareTextOrder,
    ::testing::Values(
        // Addresses sort as text, not as numbers.
        Ordered{"10.0.0.10", "10.0.0.9"}, Ordered{"127.0.0.10", "127.0.0.2"},
        // Letters compare without case first; case decides only a tie, lower case first.
        Ordered{"apple", "Banana"}, Ordered{"Apple", "banana"}, Ordered{"abc", "ABC"},
        Ordered{"abc", "abD"}, Ordered{"Inserted x", "inserted y"},
        // Punctuation before digits before letters.
        Ordered{"!x", "0x"}, Ordered{"9", "a"}, Ordered{"_a", "1a"}, Ordered{" b", "a"},
        // A text sorts before its own continuation.
        Ordered{"Mounted", "Mounted drive"}, Ordered{"", "a"},
        // Hyphen and apostrophe are passed over at first.
        Ordered{"coop", "co-op"}, Ordered{"co-op", "cop"}, Ordered{"Saved", "Save-Energy"},
        Ordered{"Shutdown", "System-Shutdown"},
        // Bytes of the upper half of the code page after the letters.
        Ordered{"z", "\xe9"}));

TEST(CompareText, EqualTextsAndIdenticalPrefixes) {
  EXPECT_EQ(CompareText("", ""), 0);
  EXPECT_EQ(CompareText("Inserted USB on PC", "Inserted USB on PC"), 0);
  // The difference after a long common part still decides by word-sort rules.
  const std::string common = "Inserted USB Mass Storage Device on PC-01\\admin [ 127.0.0.2 ] at ";
  EXPECT_LT(CompareText(common + "a", common + "B"), 0);
  EXPECT_LT(CompareText(common + "10", common + "9"), 0);
}

TEST(CompareText, IsAConsistentOrderOverMixedTexts) {
  // A sort is only correct when the comparison is antisymmetric and transitive; check it on
  // texts built from the characters that take the special paths.
  std::mt19937 rng(7);
  const std::string alphabet = "aAbB-'. 0919_zZ\xe9";
  std::vector<std::string> texts;
  for (int i = 0; i < 120; ++i) {
    std::string t;
    const int len = static_cast<int>(rng() % 6);
    for (int k = 0; k < len; ++k) t += alphabet[rng() % alphabet.size()];
    texts.push_back(t);
  }
  for (const auto& a : texts) {
    for (const auto& b : texts) {
      ASSERT_EQ(Sign(CompareText(a, b)), -Sign(CompareText(b, a))) << a << "|" << b;
      if (a != b) {
        ASSERT_NE(CompareText(a, b), 0) << a << "|" << b;
      }
    }
  }
  std::vector<std::string> sorted = texts;
  std::sort(sorted.begin(), sorted.end(),
            [](const std::string& x, const std::string& y) { return CompareText(x, y) < 0; });
  for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
    for (std::size_t j = i + 1; j < sorted.size(); ++j) {
      ASSERT_LE(CompareText(sorted[i], sorted[j]), 0) << sorted[i] << "|" << sorted[j];
    }
  }
}

TEST(SortByText, OrdersLikeAStableSortWithCompareText) {
  // Texts that share long prefixes, repeat, differ only in case or in ignored characters, end
  // inside a key or right at its end: every path of the keyed sort.
  std::mt19937 rng(11);
  const std::vector<std::string> stems = {"Inserted E:\\Projects\\Report ",
                                          "inserted E:\\projects",
                                          "Save-Energy 5 min",
                                          "SaveEnergy 5 min",
                                          "Removed",
                                          "12345678",
                                          "1234567",
                                          "abcdefghABCDEFGH"};
  const std::string tail = "aA-'9. z";
  std::vector<std::string> storage;
  for (int i = 0; i < 3000; ++i) {
    std::string t = stems[rng() % stems.size()];
    const int extra = static_cast<int>(rng() % 12);
    for (int k = 0; k < extra; ++k) t += tail[rng() % tail.size()];
    storage.push_back(t);
  }
  std::vector<std::string_view> texts(storage.begin(), storage.end());
  for (bool descending : {false, true}) {
    std::vector<std::uint32_t> expected(texts.size());
    for (std::uint32_t i = 0; i < expected.size(); ++i) expected[i] = i;
    std::shuffle(expected.begin(), expected.end(), rng);
    std::vector<std::uint32_t> actual = expected;
    std::stable_sort(expected.begin(), expected.end(), [&](std::uint32_t a, std::uint32_t b) {
      const int c = CompareText(texts[a], texts[b]);
      return descending ? c > 0 : c < 0;
    });
    SortByText(actual, texts, descending);
    ASSERT_EQ(actual, expected) << (descending ? "descending" : "ascending");
  }
}

// SortByText against a stable sort with CompareText, both ways, over `order`.
void ExpectSortsLikeCompareText(const std::vector<std::string>& storage,
                                std::vector<std::uint32_t> order, const char* name) {
  const std::vector<std::string_view> texts(storage.begin(), storage.end());
  for (bool descending : {false, true}) {
    std::vector<std::uint32_t> expected = order;
    std::stable_sort(expected.begin(), expected.end(), [&](std::uint32_t a, std::uint32_t b) {
      const int c = CompareText(texts[a], texts[b]);
      return descending ? c > 0 : c < 0;
    });
    std::vector<std::uint32_t> actual = order;
    SortByText(actual, texts, descending);
    ASSERT_EQ(actual, expected) << name << (descending ? " descending" : " ascending");
  }
}

// Corpora of texts, each drawn from pieces: a stem and a random tail.
struct SortCorpus {
  const char* name;
  std::vector<std::string> stems;
  std::string tail;  // characters the tails are drawn from
  int maxTail;
  int count;
};

void PrintTo(const SortCorpus& corpus, std::ostream* os) {
  *os << corpus.name;
}

class SortByTextCorpus : public ::testing::TestWithParam<SortCorpus> {};

TEST_P(SortByTextCorpus, OrdersLikeAStableSortWithCompareText) {
  const SortCorpus& c = GetParam();
  std::mt19937 rng(23);
  std::vector<std::string> storage;
  for (int i = 0; i < c.count; ++i) {
    std::string t = c.stems[rng() % c.stems.size()];
    const int extra = c.maxTail > 0 ? static_cast<int>(rng() % (c.maxTail + 1)) : 0;
    for (int k = 0; k < extra; ++k) t += c.tail[rng() % c.tail.size()];
    storage.push_back(t);
  }
  std::vector<std::uint32_t> order(storage.size());
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), rng);
  ExpectSortsLikeCompareText(storage, order, c.name);
  // Only some of the texts in the list: the others must neither move in nor be read.
  order.resize(order.size() / 3);
  ExpectSortsLikeCompareText(storage, order, c.name);
}

const std::string kLongStem(200, 'x');

INSTANTIATE_TEST_SUITE_P(
    Keys, SortByTextCorpus,
    ::testing::Values(
        // Texts that agree on far more weights than one round takes, and differ late, at every
        // byte of a key, in case only or in ignored characters only.
        SortCorpus{
            "long common prefix", {kLongStem, kLongStem + "X", "x" + kLongStem}, "aAbB-'", 6, 2000},
        // Texts ending at, just before and just after the end of a key or of a round.
        SortCorpus{"ends near key edges",
                   {"1234567", "12345678", "123456789", std::string(31, 'a'), std::string(32, 'a'),
                    std::string(33, 'a'), std::string(63, 'b'), std::string(64, 'b')},
                   "a-",
                   2,
                   3000},
        // Empty texts and texts of ignored characters alone: no weight at all.
        SortCorpus{"no weights", {"", "-", "'", "--'", "\x01"}, "-'\x01", 3, 1500},
        // Bytes of the upper half of the code page, which weigh after the letters, and control
        // characters, which are ignored.
        SortCorpus{"upper half",
                   {"\xe9t\xe9", "\xc4nderung", "Anderung", "\xff", "\x80\x81", "z"},
                   "\xe9\xc9"
                   "e\x7f\x1f",
                   8,
                   3000},
        // Many texts that tie on their first key and split on one byte of the second: large
        // buckets at every level of the radix.
        SortCorpus{"wide buckets",
                   {"Inserted E:\\Projects\\Report ", "Removed E:\\Projects\\Report "},
                   "0123456789\\",
                   10,
                   20000},
        // Few distinct texts, many times each: stability of equal texts.
        SortCorpus{
            "duplicates", {"PC-001\\alice", "PC-001\\Alice", "PC-001\\al-ice"}, "", 0, 5000}),
    [](const ::testing::TestParamInfo<SortCorpus>& param) {
      std::string name = param.param.name;
      std::replace(name.begin(), name.end(), ' ', '_');
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

TEST(SortByText, ShortListsAndDegenerateOrders) {
  const std::vector<std::string> storage = {"b", "a", "", "B", "a"};
  const std::vector<std::vector<std::uint32_t>> orders = {
      {}, {3}, {1, 0}, {0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}, {1, 4}, {4, 1}};
  for (const auto& order : orders) ExpectSortsLikeCompareText(storage, order, "short");
}

TEST(CompareDateText, ChronologicalAcrossYearsAndMonths) {
  EXPECT_EQ(CompareDateText("31/12/2007", "01/01/2008"), -1);
  EXPECT_EQ(CompareDateText("01/01/2008", "31/12/2007"), 1);
  EXPECT_EQ(CompareDateText("02/03/2008", "01/04/2008"), -1);  // month before day
  EXPECT_EQ(CompareDateText("02/03/2008", "01/03/2008"), 1);
  EXPECT_EQ(CompareDateText("09/12/2026", "09/12/2026"), 0);
  // Numbers, not texts: a year of 999 is before 2000.
  EXPECT_EQ(CompareDateText("01/01/999", "01/01/2000"), -1);
}

TEST(CompareDateText, ShortOrMalformedTextsCompareWithoutReadingPastTheirEnd) {
  // Missing parts read as 0; the comparison stays a consistent order.
  EXPECT_EQ(CompareDateText("", ""), 0);
  EXPECT_EQ(CompareDateText("", "01/01/2000"), -1);
  EXPECT_EQ(CompareDateText("31/12", "01/01/0001"), -1);
  EXPECT_EQ(CompareDateText("xx/yy/zzzz", ""), 0);
  EXPECT_EQ(CompareDateText(" 5/ 6/2001", "05/06/2001"), 0);
}

TEST(CompareDateText, SortKeyAgreesWithTheComparison) {
  const std::vector<std::string> dates = {"31/12/2007",  "01/01/2008", "",           "1/1/2008",
                                          "-1/-2/-300",  "99/99/9999", "00/00/0000", "15/06/2010",
                                          "15/06/2010x", "ab/cd/efgh", "07/08/1999", "07/08",
                                          "+3/+4/+2000"};
  for (const auto& a : dates) {
    for (const auto& b : dates) {
      const auto ka = DateSortKey(a);
      const auto kb = DateSortKey(b);
      EXPECT_EQ(CompareDateText(a, b), ka < kb ? -1 : (ka > kb ? 1 : 0)) << a << "|" << b;
    }
  }
}

TEST(CompareRows, EachColumnReadsItsOwnField) {
  const EventRow a{"01/01/2008", "10:00:00", "PC1\\ann", "10.0.0.10", "zeta", "Added"};
  const EventRow b{"31/12/2007", "09:00:00", "PC2\\bob", "10.0.0.9", "alpha", "Removed"};
  EXPECT_GT(CompareRows(a, b, 0), 0);  // date
  EXPECT_GT(CompareRows(a, b, 1), 0);  // time
  EXPECT_LT(CompareRows(a, b, 2), 0);  // computer and user
  EXPECT_LT(CompareRows(a, b, 3), 0);  // address as text
  EXPECT_LT(CompareRows(a, b, 4), 0);  // column 4 is the category
  EXPECT_GT(CompareRows(a, b, 5), 0);  // column 5 is the message
  // Columns outside the table compare as greater, both ways.
  EXPECT_EQ(CompareRows(a, b, 6), 1);
  EXPECT_EQ(CompareRows(b, a, -1), 1);
  EXPECT_EQ(ColumnText(a, 4), "Added");
  EXPECT_EQ(ColumnText(a, 5), "zeta");
  EXPECT_EQ(ColumnText(a, 9), "");
}

}  // namespace
}  // namespace uv::server
