// The comparisons behind the list's column sort.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "gui/list/CUVTListCtrl.h"

namespace uv::gui {
namespace {

// Primary weights of single-byte characters in the word sort: 0 = ignored at this level
// ("-", "'" and control characters), then blank and punctuation, then "+<=>", then digits, then
// letters without regard to case, then the upper half of the code page in byte order.
constexpr std::array<std::uint16_t, 256> MakePrimaryWeights() {
  std::array<std::uint16_t, 256> w{};
  std::uint16_t next = 1;
  constexpr std::string_view kPunctuation = " !\"#$%&()*,./:;?@[\\]^_`{|}~+<=>";
  for (char c : kPunctuation) w[static_cast<unsigned char>(c)] = next++;
  for (char c = '0'; c <= '9'; ++c) w[static_cast<unsigned char>(c)] = next++;
  for (char c = 'a'; c <= 'z'; ++c) {
    w[static_cast<unsigned char>(c)] = next;
    w[static_cast<unsigned char>(c - 'a' + 'A')] = next;
    ++next;
  }
  for (int c = 0x80; c < 0x100; ++c) w[static_cast<std::size_t>(c)] = next++;
  return w;
}
constexpr std::array<std::uint16_t, 256> kPrimary = MakePrimaryWeights();

constexpr bool IsIgnorable(unsigned char c) {
  return kPrimary[c] == 0;
}
constexpr bool IsUpper(unsigned char c) {
  return c >= 'A' && c <= 'Z';
}

int Sign(long v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

// The leading number of a text as text-to-integer reads it: blanks, a sign, then digits.
int LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int value = 0;
  // At most four characters reach here, so the value cannot overflow.
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10 + (text[i] - '0');
  return negative ? -value : value;
}

std::string_view Field(std::string_view text, std::size_t pos, std::size_t count) {
  if (pos >= text.size()) return {};
  return text.substr(pos, count);
}

}  // namespace

int CompareText(std::string_view a, std::string_view b) {
  // Identical leading bytes weigh the same at every level, so the comparison starts where the
  // texts first differ; long common prefixes (most event messages share one) then cost a
  // plain byte scan.
  const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  const auto offset = static_cast<std::size_t>(ia - a.begin());
  (void)ib;
  if (offset == a.size() && offset == b.size()) return 0;
  a.remove_prefix(offset);
  b.remove_prefix(offset);

  // Level 1: primary weights, skipping ignorable characters.
  std::size_t i = 0, j = 0;
  int caseDiff = 0;  // level 2: the first difference of case among characters of equal weight
  while (true) {
    while (i < a.size() && IsIgnorable(static_cast<unsigned char>(a[i]))) ++i;
    while (j < b.size() && IsIgnorable(static_cast<unsigned char>(b[j]))) ++j;
    if (i == a.size() || j == b.size()) break;
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[j]);
    if (kPrimary[ca] != kPrimary[cb]) return kPrimary[ca] < kPrimary[cb] ? -1 : 1;
    if (caseDiff == 0 && ca != cb && IsUpper(ca) != IsUpper(cb)) caseDiff = IsUpper(ca) ? 1 : -1;
    ++i;
    ++j;
  }
  const bool aLeft = i < a.size();
  const bool bLeft = j < b.size();
  if (aLeft != bLeft) return aLeft ? 1 : -1;  // the shorter text sorts first
  if (caseDiff != 0) return caseDiff;
  // Level 3: texts equal but for ignored characters: fewer of them first, then byte order, so
  // that the order is total and a sort is repeatable.
  const auto ignored = [](std::string_view t) {
    return std::count_if(t.begin(), t.end(),
                         [](char c) { return IsIgnorable(static_cast<unsigned char>(c)); });
  };
  const long diff = static_cast<long>(ignored(a)) - static_cast<long>(ignored(b));
  if (diff != 0) return Sign(diff);
  return Sign(a.compare(b));
}

int CompareDateText(std::string_view a, std::string_view b) {
  // DD/MM/YYYY: year in characters 7-10, month in 4-5, day in 1-2.
  const int pairs[3][2] = {
      {LeadingNumber(Field(a, 6, 4)), LeadingNumber(Field(b, 6, 4))},
      {LeadingNumber(Field(a, 3, 2)), LeadingNumber(Field(b, 3, 2))},
      {LeadingNumber(Field(a, 0, 2)), LeadingNumber(Field(b, 0, 2))},
  };
  for (const auto& p : pairs) {
    if (p[0] != p[1]) return p[0] < p[1] ? -1 : 1;
  }
  return 0;
}

std::int64_t DateSortKey(std::string_view date) {
  // Month and day lie in -9..99, so 10 bits each keep them apart.
  const std::int64_t year = LeadingNumber(Field(date, 6, 4));
  const std::int64_t month = LeadingNumber(Field(date, 3, 2)) + 512;
  const std::int64_t day = LeadingNumber(Field(date, 0, 2)) + 512;
  return year * (1 << 20) + month * (1 << 10) + day;
}

int CompareRows(const EventRow& a, const EventRow& b, int column) {
  if (column < 0 || column >= kListColumnCount) return 1;
  if (column == static_cast<int>(ListColumn::kDate)) return CompareDateText(a.date, b.date);
  return CompareText(ColumnText(a, column), ColumnText(b, column));
}

const std::string& ColumnText(const EventRow& row, int column) {
  static const std::string kEmpty;
  switch (static_cast<ListColumn>(column)) {
    case ListColumn::kDate:
      return row.date;
    case ListColumn::kTime:
      return row.time;
    case ListColumn::kComputerUser:
      return row.computerUser;
    case ListColumn::kAddress:
      return row.address;
    case ListColumn::kCategory:
      return row.category;
    case ListColumn::kMessage:
      return row.message;
  }
  return kEmpty;
}

}  // namespace uv::gui

namespace uv::gui {
namespace {

// An item of SortByText: the next primary weights of its text, one byte each, 0 after the
// text's end (kKeys keys of eight), and the text. For a descending sort the keys are inverted,
// so that one ascending order serves both directions. Items start in list order and every step
// of the sort is stable, so items whose texts tie keep the order they had before without
// carrying it.
constexpr int kKeys = 4;
struct SortItem {
  std::array<std::uint64_t, kKeys> keys;
  std::uint32_t text;  // index into the texts, with kMore set while weights follow the keys
};
constexpr std::uint32_t kMore = 0x80000000u;

static_assert(MakePrimaryWeights()[0xFF] < 256, "weights must fit a byte of the key");

// Eight primary weights from `pos` on (ignorable characters skipped); `pos` moves past them
// and past the ignorable characters after them, so it reaches the end exactly when no weight
// is left.
std::uint64_t NextKey(std::string_view text, std::size_t& pos) {
  std::uint64_t key = 0;
  int taken = 0;
  while (taken < 8 && pos < text.size()) {
    const std::uint16_t w = kPrimary[static_cast<unsigned char>(text[pos++])];
    if (w == 0) continue;
    key = (key << 8) | w;
    ++taken;
  }
  if (taken > 0) key <<= 8 * (8 - taken);  // a shift by 64 would be undefined
  while (pos < text.size() && IsIgnorable(static_cast<unsigned char>(text[pos]))) ++pos;
  return key;
}

bool KeyLess(const SortItem& a, const SortItem& b) {
  return a.keys < b.keys;
}
bool SameKeys(const SortItem& a, const SortItem& b) {
  return a.keys == b.keys;
}

// A stable sort of items by their keys: a radix sort on the keys' bytes, most significant
// first, that starts each bucket at the first byte on which its items differ (texts share long
// beginnings, so most bytes need no pass at all). Each run of two or more items with equal keys
// is handed to a callback once it has its final place.
class KeySorter {
 public:
  explicit KeySorter(std::size_t capacity) : scratch_(capacity) {}

  template <class OnRun>
  void Sort(SortItem* items, std::size_t count, OnRun& onRun) {
    if (count < 2) return;
    if (count <= kInsertionSortUpTo) {
      InsertionSort(items, count, onRun);
      return;
    }
    std::array<std::uint64_t, kKeys> diff{};
    for (std::size_t i = 1; i < count; ++i) {
      for (int k = 0; k < kKeys; ++k) diff[k] |= items[i].keys[k] ^ items[0].keys[k];
    }
    int key = 0;
    while (key < kKeys && diff[key] == 0) ++key;
    if (key == kKeys) {
      onRun(items, items + count);
      return;
    }
    // The first byte that differs: its key and its shift within the key.
    const int shift = 56 - (std::countl_zero(diff[key]) / 8) * 8;
    const auto byteOf = [key, shift](const SortItem& it) {
      return static_cast<std::size_t>((it.keys[key] >> shift) & 0xFF);
    };
    std::array<std::size_t, 257> start{};
    for (std::size_t i = 0; i < count; ++i) ++start[byteOf(items[i]) + 1];
    for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    // The buckets are written to the scratch area and copied back before any bucket is sorted,
    // so one area serves every level.
    std::array<std::size_t, 256> fill{};
    std::copy(start.begin(), start.end() - 1, fill.begin());
    SortItem* scratch = scratch_.data();
    for (std::size_t i = 0; i < count; ++i) scratch[fill[byteOf(items[i])]++] = items[i];
    std::copy(scratch, scratch + count, items);
    for (std::size_t b = 0; b < 256; ++b) {
      Sort(items + start[b], start[b + 1] - start[b], onRun);
    }
  }

 private:
  // Below this a bucket's counting costs more than comparing its items.
  static constexpr std::size_t kInsertionSortUpTo = 48;

  template <class OnRun>
  static void InsertionSort(SortItem* items, std::size_t count, OnRun& onRun) {
    for (std::size_t i = 1; i < count; ++i) {
      const SortItem x = items[i];
      std::size_t j = i;
      for (; j > 0 && KeyLess(x, items[j - 1]); --j) items[j] = items[j - 1];
      items[j] = x;
    }
    for (std::size_t run = 0; run < count;) {
      std::size_t runEnd = run + 1;
      while (runEnd < count && SameKeys(items[runEnd], items[run])) ++runEnd;
      if (runEnd - run > 1) onRun(items + run, items + runEnd);
      run = runEnd;
    }
  }

  std::vector<SortItem> scratch_;
};

}  // namespace

void SortByText(std::vector<std::uint32_t>& order, const std::vector<std::string_view>& texts,
                bool descending) {
  const std::size_t n = order.size();
  if (n < 2) return;
  // The sort refines groups of texts that agree on every weight so far, kKeys * 8 primary weights
  // at a time. Each round first takes the next weights of every text still in a group, walking
  // the texts in the order they lie in memory (the order rows arrived in): reading them in list
  // order instead would jump around the heap at every round for every row, which costs more
  // than the sorting itself. The weights then go to the items, which are sorted within their
  // groups. Text indexes leave the top bit for kMore; no list comes near two billion rows.
  std::vector<SortItem> items(n);
  std::vector<std::uint32_t> itemOf(texts.size());    // text -> its item, for this round
  std::vector<std::uint32_t> position(texts.size());  // text -> where its next weights start
  std::vector<bool> active(texts.size());             // the text is in a group this round
  for (std::size_t i = 0; i < n; ++i) {
    items[i].text = order[i];
    itemOf[order[i]] = static_cast<std::uint32_t>(i);
    active[order[i]] = true;
  }
  const std::uint64_t flip = descending ? ~std::uint64_t{0} : 0;
  const auto text = [&](const SortItem& it) -> std::string_view { return texts[it.text & ~kMore]; };

  struct Group {
    std::size_t begin;
    std::size_t end;
  };
  std::vector<Group> groups{{0, n}};
  std::vector<Group> next;
  const auto onRun = [&](SortItem* begin, SortItem* end) {
    if (std::any_of(begin, end, [](const SortItem& it) { return (it.text & kMore) != 0; })) {
      next.push_back(Group{static_cast<std::size_t>(begin - items.data()),
                           static_cast<std::size_t>(end - items.data())});
      return;
    }
    // Equal at the first level: case, ignored characters and bytes decide. Mostly the texts are
    // simply the same, which needs no sorting at all. The run is in list order (every step so
    // far was stable), so a stable sort keeps ties as they were.
    const std::string_view first = text(*begin);
    if (std::all_of(begin + 1, end, [&](const SortItem& it) { return text(it) == first; })) {
      return;
    }
    std::stable_sort(begin, end, [&](const SortItem& a, const SortItem& b) {
      const int c = CompareText(text(a), text(b));
      return descending ? c > 0 : c < 0;
    });
  };

  KeySorter sorter(n);
  while (!groups.empty()) {
    for (std::size_t t = 0; t < texts.size(); ++t) {
      if (!active[t]) continue;
      active[t] = false;
      const std::string_view current = texts[t];
      std::size_t pos = position[t];
      SortItem& it = items[itemOf[t]];
      for (std::uint64_t& key : it.keys)
        key = (pos < current.size() ? NextKey(current, pos) : 0) ^ flip;
      position[t] = static_cast<std::uint32_t>(pos);
      it.text = static_cast<std::uint32_t>(t) | (pos < current.size() ? kMore : 0);
    }
    next.clear();
    for (const auto [begin, end] : groups) sorter.Sort(items.data() + begin, end - begin, onRun);
    // The texts of the groups left take part in the next round, at their items' new places.
    for (const auto [begin, end] : next) {
      for (std::size_t i = begin; i < end; ++i) {
        const std::uint32_t t = items[i].text & ~kMore;
        itemOf[t] = static_cast<std::uint32_t>(i);
        active[t] = true;
      }
    }
    groups.swap(next);
  }
  for (std::size_t i = 0; i < n; ++i) order[i] = items[i].text & ~kMore;
}

}  // namespace uv::gui
