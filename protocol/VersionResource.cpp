#include "protocol/VersionResource.h"

#include <cstdio>
#include <optional>

namespace uv::protocol {

namespace {

constexpr std::size_t kNodeHeader = 6;

constexpr std::size_t AlignUp(std::size_t offset) {
  return (offset + 3) & ~std::size_t{3};
}

std::uint16_t ReadU16(std::span<const std::uint8_t> blob, std::size_t at) {
  return static_cast<std::uint16_t>(blob[at] | (blob[at + 1] << 8));
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool KeyEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

struct Node {
  std::size_t begin = 0;
  std::size_t end = 0;  // begin + length
  std::string_view key;
  VersionValue value;
  std::size_t childrenBegin = 0;
};

// Reads the node at `begin`, which must lie wholly before `limit` (the end of its parent).
std::optional<Node> ReadNode(std::span<const std::uint8_t> blob, std::size_t begin,
                             std::size_t limit) {
  if (begin > limit || limit - begin < kNodeHeader) return std::nullopt;
  const std::size_t length = ReadU16(blob, begin);
  const std::size_t valueLength = ReadU16(blob, begin + 2);
  const std::uint16_t type = ReadU16(blob, begin + 4);
  if (length < kNodeHeader || length > limit - begin) return std::nullopt;
  if (type > 1) return std::nullopt;
  Node node;
  node.begin = begin;
  node.end = begin + length;

  const std::size_t keyBegin = begin + kNodeHeader;
  std::size_t keyEnd = keyBegin;
  while (keyEnd < node.end && blob[keyEnd] != 0) ++keyEnd;
  if (keyEnd == node.end) return std::nullopt;  // key without its terminator
  node.key =
      std::string_view(reinterpret_cast<const char*>(blob.data() + keyBegin), keyEnd - keyBegin);

  const std::size_t valueBegin = AlignUp(keyEnd + 1);
  if (valueLength > 0) {
    if (valueBegin > node.end || valueLength > node.end - valueBegin) return std::nullopt;
    node.value.bytes = blob.subspan(valueBegin, valueLength);
  }
  node.value.type = static_cast<VersionValueType>(type);
  node.childrenBegin = AlignUp(valueBegin + valueLength);
  return node;
}

struct Lookup {
  std::optional<Node> node;
  WinError error = kErrorResourceTypeNotFound;
};

Lookup FindChild(std::span<const std::uint8_t> blob, const Node& parent, std::string_view key) {
  // Each child is at least a header long, so the walk always moves forward and ends.
  for (std::size_t at = parent.childrenBegin; at < parent.end;) {
    const std::optional<Node> child = ReadNode(blob, at, parent.end);
    if (!child) return {std::nullopt, platform::kErrorInvalidData};
    if (KeyEquals(child->key, key)) return {child, platform::kErrorSuccess};
    at = AlignUp(child->end);
  }
  return {std::nullopt, kErrorResourceTypeNotFound};
}

}  // namespace

Result<VersionValue> QueryVersionValue(std::span<const std::uint8_t> blob,
                                       std::string_view subBlock) {
  std::optional<Node> node = ReadNode(blob, 0, blob.size());
  if (!node || !KeyEquals(node->key, kVersionRootKey)) {
    return Result<VersionValue>::Failure(platform::kErrorInvalidData);
  }
  std::size_t pos = 0;
  while (pos < subBlock.size()) {
    if (subBlock[pos] == '\\') {
      ++pos;
      continue;
    }
    std::size_t next = subBlock.find('\\', pos);
    if (next == std::string_view::npos) next = subBlock.size();
    const Lookup child = FindChild(blob, *node, subBlock.substr(pos, next - pos));
    if (!child.node) return Result<VersionValue>::Failure(child.error);
    node = child.node;
    pos = next;
  }
  return node->value;
}

Result<std::string_view> QueryVersionString(std::span<const std::uint8_t> blob,
                                            std::string_view subBlock) {
  const Result<VersionValue> value = QueryVersionValue(blob, subBlock);
  if (!value) return Result<std::string_view>::Failure(value.error());
  const std::span<const std::uint8_t> bytes = value->bytes;
  if (value->type != VersionValueType::kText || bytes.empty() || bytes.back() != 0) {
    return Result<std::string_view>::Failure(platform::kErrorInvalidData);
  }
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size() - 1);
  return text.substr(0, text.find('\0'));
}

Result<Translation> QueryFirstTranslation(std::span<const std::uint8_t> blob) {
  const Result<VersionValue> value = QueryVersionValue(blob, "\\VarFileInfo\\Translation");
  if (!value) return Result<Translation>::Failure(value.error());
  if (value->bytes.size() < 4) return Result<Translation>::Failure(kErrorResourceTypeNotFound);
  return Translation{ReadU16(value->bytes, 0), ReadU16(value->bytes, 2)};
}

std::string TranslationKey(Translation translation) {
  char key[16];
  std::snprintf(key, sizeof key, "%04x%04x", static_cast<unsigned>(translation.language),
                static_cast<unsigned>(translation.codePage));
  return key;
}

Result<std::string_view> QueryTranslatedString(std::span<const std::uint8_t> blob,
                                               std::string_view name) {
  const Result<Translation> translation = QueryFirstTranslation(blob);
  if (!translation) return Result<std::string_view>::Failure(translation.error());
  std::string path = "\\StringFileInfo\\";
  path += TranslationKey(*translation);
  path += '\\';
  path += name;
  return QueryVersionString(blob, path);
}

}  // namespace uv::protocol
