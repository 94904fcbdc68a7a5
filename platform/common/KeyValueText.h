#pragma once
// The small text files and datagrams the platform modules exchange between processes: lines of
// fields, a field often "key=value". One splitter for all of them; each format keeps its own
// rules for what a bad line means (skip it, or reject the whole text).

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace uv::platform {

// The pieces between separators; an empty text is one empty piece.
std::vector<std::string_view> SplitFields(std::string_view text, char separator);

// The lines of a text ('\n'-terminated; the last may lack it). A line keeps a '\r' it ends with;
// an empty last piece after a final '\n' is not a line.
std::vector<std::string_view> SplitLines(std::string_view text);

struct KeyValue {
  std::string_view key;  // may be empty ("=x")
  std::string_view value;
};

// "key=value" at the first '='; nullopt without one.
std::optional<KeyValue> SplitKeyValue(std::string_view field);

// A text of "key=value" lines, empty lines ignored.
struct KeyValueLines {
  std::vector<KeyValue> entries;  // in order, repeats included
  std::size_t badLines = 0;       // lines without '=' or with an empty key
  bool repeatedKey = false;       // some key appears more than once

  // The first entry with this key.
  const std::string_view* Find(std::string_view key) const;
};
KeyValueLines ParseKeyValueLines(std::string_view text);

}  // namespace uv::platform
