#include "server/dialogs/filter/FilterBits.h"

namespace uv::server {

bool IsBitSet(const FilterWords& words, const FilterBit& bit) {
  const std::uint32_t word = bit.word == FilterWord::kFlags ? words.flags : words.extra;
  return (word & bit.mask) != 0;
}

const CategoryFilter* FindCategoryFilter(std::string_view category) {
  for (const CategoryFilter& entry : kCategoryFilters) {
    if (entry.category == category) return &entry;
  }
  return nullptr;
}

bool PassesExactRule(std::string_view category, Outlet outlet, const FilterWords& words) {
  const CategoryFilter* entry = FindCategoryFilter(category);
  return entry == nullptr || IsBitSet(words, entry->bits[static_cast<std::size_t>(outlet)]);
}

bool PassesContainsRule(std::string_view text, Outlet outlet, const FilterWords& words) {
  // Every word found counts, so "System-Shutdown" needs the "Shutdown" bit too, and a file
  // path that happens to contain a category word adds that word's condition.
  for (const CategoryFilter& entry : kCategoryFilters) {
    if (text.find(entry.category) != std::string_view::npos &&
        !IsBitSet(words, entry.bits[static_cast<std::size_t>(outlet)])) {
      return false;
    }
  }
  return true;
}

bool IsOutletAllowed(Outlet outlet, std::string_view category, std::string_view outletText,
                     const FilterWords& words) {
  return outlet == Outlet::kHistory ? PassesExactRule(category, outlet, words)
                                    : PassesContainsRule(outletText, outlet, words);
}

}  // namespace uv::server
