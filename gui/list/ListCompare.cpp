// The comparisons behind the list's column sort.

#include <algorithm>
#include <array>
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

struct KeyedItem {
  std::uint64_t key;  // the next eight primary weights, one byte each, 0 after the text's end
  std::uint32_t seq;  // position before the sort: equal texts keep it (stability)
  std::uint32_t pos;  // where in the text the next key starts
};

// An item of SortByText: the sixteen weights taken last (two keys), its place before the sort,
// and its text.
struct SortItem {
  std::uint64_t key;
  std::uint64_t key2;
  std::uint32_t seq;
  std::uint32_t text;  // index into the texts, with kMore set while weights follow the keys
  bool operator<(const SortItem&) const = delete;
};
constexpr std::uint32_t kMore = 0x80000000u;

// Eight primary weights from `pos` on (ignorable characters skipped). Returns whether the text
// has weights left after them.
bool NextKey(std::string_view text, KeyedItem& item) {
  std::uint64_t key = 0;
  int taken = 0;
  std::size_t pos = item.pos;
  while (taken < 8 && pos < text.size()) {
    const std::uint16_t w = kPrimary[static_cast<unsigned char>(text[pos++])];
    if (w == 0) continue;
    key = (key << 8) | w;  // weights are below 256 (see MakePrimaryWeights)
    ++taken;
  }
  if (taken > 0) key <<= 8 * (8 - taken);  // a shift by 64 would be undefined
  while (pos < text.size() && IsIgnorable(static_cast<unsigned char>(text[pos]))) ++pos;
  item.key = key;
  item.pos = static_cast<std::uint32_t>(pos);
  return pos < text.size();
}

static_assert(MakePrimaryWeights()[0xFF] < 256, "weights must fit a byte of the key");

}  // namespace

void SortByText(std::vector<std::uint32_t>& order, const std::vector<std::string_view>& texts,
                bool descending) {
  const std::size_t n = order.size();
  if (n < 2) return;
  // The sort refines groups of texts that agree on every weight so far, sixteen primary weights
  // at a time. Each round first takes the next weights of every text still in a group, walking
  // the texts in the order they lie in memory (the order rows arrived in): reading them in list
  // order instead would jump around the heap at every round for every row, which costs more
  // than the sorting itself. The weights then go to the items, which are sorted within their
  // groups. Text indexes leave the top bit for kMore; no list comes near two billion rows.
  std::vector<SortItem> items;
  items.reserve(n);
  std::vector<std::uint32_t> itemOf(texts.size());    // text -> its item, for this round
  std::vector<std::uint32_t> position(texts.size());  // text -> where its next weights start
  std::vector<bool> active(texts.size());             // the text is in a group this round
  {
    // The first round takes every text, so the items start in memory order: the order they
    // are in before the first sort does not matter, the sort settles ties by sequence.
    std::vector<std::uint32_t> seqOf(texts.size());
    for (std::size_t i = 0; i < n; ++i) {
      seqOf[order[i]] = static_cast<std::uint32_t>(i);
      active[order[i]] = true;
    }
    for (std::size_t t = 0; t < texts.size(); ++t) {
      if (!active[t]) continue;
      itemOf[t] = static_cast<std::uint32_t>(items.size());
      items.push_back(SortItem{0, 0, seqOf[t], static_cast<std::uint32_t>(t)});
    }
  }
  const auto text = [&](const SortItem& it) -> std::string_view { return texts[it.text & ~kMore]; };
  const auto byKey = [descending](const SortItem& a, const SortItem& b) {
    if (a.key != b.key) return descending ? a.key > b.key : a.key < b.key;
    if (a.key2 != b.key2) return descending ? a.key2 > b.key2 : a.key2 < b.key2;
    return a.seq < b.seq;
  };
  const auto sameKeys = [](const SortItem& a, const SortItem& b) {
    return a.key == b.key && a.key2 == b.key2;
  };

  struct Group {
    std::size_t begin;
    std::size_t end;
  };
  std::vector<Group> groups{{0, n}};
  std::vector<Group> next;
  while (!groups.empty()) {
    for (std::size_t t = 0; t < texts.size(); ++t) {
      if (!active[t]) continue;
      active[t] = false;
      KeyedItem k{0, 0, position[t]};
      bool more = NextKey(texts[t], k);
      const std::uint64_t first = k.key;
      std::uint64_t second = 0;
      if (more) {
        more = NextKey(texts[t], k);
        second = k.key;
      }
      position[t] = k.pos;
      SortItem& it = items[itemOf[t]];
      it.key = first;
      it.key2 = second;
      it.text = static_cast<std::uint32_t>(t) | (more ? kMore : 0);
    }
    next.clear();
    for (const auto [begin, end] : groups) {
      // Texts that share a long beginning ("Inserted USB Mass Storage ...") give the whole
      // group the same weights; the group is in sequence order already and needs no sort.
      bool allSame = true;
      for (std::size_t i = begin + 1; i < end && allSame; ++i) {
        allSame = sameKeys(items[i], items[begin]);
      }
      if (!allSame) {
        std::sort(items.begin() + static_cast<std::ptrdiff_t>(begin),
                  items.begin() + static_cast<std::ptrdiff_t>(end), byKey);
      }
      for (std::size_t run = begin; run < end;) {
        std::size_t runEnd = run + 1;
        while (runEnd < end && sameKeys(items[runEnd], items[run])) ++runEnd;
        if (runEnd - run > 1) {
          bool runHasMore = false;
          for (std::size_t i = run; i < runEnd && !runHasMore; ++i) {
            runHasMore = (items[i].text & kMore) != 0;
          }
          if (runHasMore) {
            next.push_back(Group{run, runEnd});
          } else {
            // Equal at the first level: case, ignored characters and bytes decide. Mostly the
            // texts are simply the same, which needs no sorting at all. The run is in sequence
            // order already (equal keys), so a stable sort keeps ties as they were.
            const std::string_view first = text(items[run]);
            bool same = true;
            for (std::size_t i = run + 1; i < runEnd && same; ++i) same = text(items[i]) == first;
            if (!same) {
              std::stable_sort(items.begin() + static_cast<std::ptrdiff_t>(run),
                               items.begin() + static_cast<std::ptrdiff_t>(runEnd),
                               [&](const SortItem& a, const SortItem& b) {
                                 const int c = CompareText(text(a), text(b));
                                 return descending ? c > 0 : c < 0;
                               });
            }
          }
        }
        run = runEnd;
      }
    }
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
