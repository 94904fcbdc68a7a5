#pragma once
// Small text helpers every module needs, written once.
//
// Case: names compare case-insensitively as the programs' single-byte texts do: the ASCII letters
// fold, every other byte (so every byte of a UTF-8 sequence) is itself.
//
// The machine's 8-bit text is UTF-8. A length limit on such a text counts bytes and never cuts a
// character in half: Utf8Prefix gives the longest prefix of whole characters within the limit.

#include <cstddef>
#include <string>
#include <string_view>

namespace uv::platform {

constexpr char ToUpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr char ToLowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string ToUpperAscii(std::string_view text);
std::string ToLowerAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

// The text without the leading and trailing bytes found in `blanks`.
std::string_view Trim(std::string_view text, std::string_view blanks = " ");

// Appends the UTF-8 form of one code point.
void AppendUtf8(std::string& out, char32_t code);
// UTF-16 to UTF-8, up to the first NUL. A unit that is half of a surrogate pair without its
// other half cannot be carried and becomes "?", as the system's conversion does.
std::string Utf16ToUtf8(std::u16string_view text);

// The longest prefix of `text` of at most `maxBytes` bytes that does not end inside a UTF-8
// sequence. Bytes that are not valid UTF-8 count as one character each.
std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes);

}  // namespace uv::platform
