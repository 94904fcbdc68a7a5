#pragma once
// A program's version resource and the query that reads it, as the programs use it to make the
// version text of their reports.
//
// The resource is a tree of nodes. Every node starts on a 4-byte boundary of the blob:
//
//   u16 length        bytes of the node from its start to the end of its last child
//   u16 valueLength   bytes of the value (text values count their terminating zero)
//   u16 type          0 binary value, 1 text value
//   key               single-byte text and a zero byte, then zeros up to a 4-byte boundary
//   value             valueLength bytes, then zeros up to a 4-byte boundary
//   children          nodes, back to back
//
// All numbers are little-endian. The root is "VS_VERSION_INFO" with the fixed file information
// as its value; below it "StringFileInfo" holds one table per translation (key "%04x%04x" of
// language and code page) of text values, and "VarFileInfo" the binary "Translation" value, a
// list of (language, code page) pairs.
//
// The query never trusts the blob: every length is checked against the node that holds it, so a
// truncated or corrupt blob gives an error, never a read outside it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/common/Result.h"

namespace uv::protocol {

using platform::Result;
using platform::WinError;

// What the query answers for a path the resource does not have.
inline constexpr WinError kErrorResourceTypeNotFound = 1813;

inline constexpr std::string_view kVersionRootKey = "VS_VERSION_INFO";
inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
inline constexpr std::size_t kFixedFileInfoSize = 52;

enum class VersionValueType : std::uint16_t { kBinary = 0, kText = 1 };

struct VersionValue {
  std::span<const std::uint8_t> bytes;
  VersionValueType type = VersionValueType::kBinary;
};

// The value at `subBlock`: "\" is the root's fixed information, "\VarFileInfo\Translation" the
// translations, "\StringFileInfo\040904b0\ProductVersion" a text. Keys compare without regard to
// case. Fails with kErrorResourceTypeNotFound for a path that is not there and kErrorInvalidData
// for a malformed blob.
[[nodiscard]] Result<VersionValue> QueryVersionValue(std::span<const std::uint8_t> blob,
                                                     std::string_view subBlock);

// A text value without its terminating zero; kErrorInvalidData when the value is not a text.
[[nodiscard]] Result<std::string_view> QueryVersionString(std::span<const std::uint8_t> blob,
                                                          std::string_view subBlock);

struct Translation {
  std::uint16_t language = 0;
  std::uint16_t codePage = 0;
};

// The first pair of "\VarFileInfo\Translation".
[[nodiscard]] Result<Translation> QueryFirstTranslation(std::span<const std::uint8_t> blob);

// "%04x%04x": the name of the string table of a translation, e.g. "040904b0".
[[nodiscard]] std::string TranslationKey(Translation translation);

// "\StringFileInfo\<first translation>\<name>"
[[nodiscard]] Result<std::string_view> QueryTranslatedString(std::span<const std::uint8_t> blob,
                                                             std::string_view name);

}  // namespace uv::protocol
