#include "protocol/EventCategory.h"

#include "protocol/FieldTokenizer.h"

namespace uv::protocol {

EventCategoryMask CategoriesContainedIn(std::string_view text) {
  EventCategoryMask mask = 0;
  for (const auto& info : kEventCategories) {
    if (text.find(info.word) != std::string_view::npos) mask |= MaskOf(info.category);
  }
  return mask;
}

RunExeSetting ParseRunExeSetting(std::string_view value) {
  FieldTokenizer words(value, ' ');
  RunExeSetting setting;
  setting.word = words.Next();
  setting.command = words.Rest();
  return setting;
}

}  // namespace uv::protocol
