#include "platform/common/KeyValueText.h"

namespace uv::platform {

std::vector<std::string_view> SplitFields(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t pos = text.find(separator, start);
    if (pos == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return lines;
}

std::optional<KeyValue> SplitKeyValue(std::string_view field) {
  const std::size_t eq = field.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyValue{field.substr(0, eq), field.substr(eq + 1)};
}

const std::string_view* KeyValueLines::Find(std::string_view key) const {
  for (const auto& entry : entries)
    if (entry.key == key) return &entry.value;
  return nullptr;
}

KeyValueLines ParseKeyValueLines(std::string_view text) {
  KeyValueLines out;
  for (std::string_view line : SplitLines(text)) {
    if (line.empty()) continue;
    const auto entry = SplitKeyValue(line);
    if (!entry || entry->key.empty()) {
      ++out.badLines;
      continue;
    }
    if (!out.repeatedKey && out.Find(entry->key)) out.repeatedKey = true;
    out.entries.push_back(*entry);
  }
  return out;
}

}  // namespace uv::platform
