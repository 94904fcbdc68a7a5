#pragma once
// The registry editor's text format: a header line ("Windows Registry Editor Version 5.00",
// "REGEDIT4", or the old "REGEDIT"), then [key] sections with "name"="text", dword:, hex:,
// hex(n): values, [-key] and "name"=- removals.
//
// Reading goes line by line as the system's registry tool does: a line that cannot be read (or
// that names something the machine root cannot hold) is skipped and reported, the rest is kept.
// Only a file whose first line is no header is refused whole.
//
// Texts. The registry holds UTF-8; the editor's files are UTF-16LE. Writing converts every text
// to UTF-16, and the text payloads of hex(1), hex(2) and hex(7) are the UTF-16 form of the stored
// bytes, as the editor writes them. Bytes that are not UTF-8 travel as the unpaired surrogates
// U+DC80..U+DCFF and come back as the same bytes, so any stored value reads back exactly.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/Registry.h"

namespace uv::tools {

inline constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";

struct RegFileValue {
  std::string name;  // empty: the default value ("@")
  bool remove = false;
  platform::RegValue value;
};

struct RegFileKey {
  std::string path;  // below HKEY_LOCAL_MACHINE, as written in the file
  bool remove = false;
  std::vector<RegFileValue> values;
};

struct RegFileSkip {
  std::size_t line = 0;  // 1-based
  std::string why;
};

struct RegFileParse {
  bool ok = false;  // false: not a registry file; nothing to apply
  std::vector<RegFileKey> keys;
  std::vector<RegFileSkip> skipped;  // the lines left out, in file order
  std::size_t errorLine = 0;         // when !ok: 1-based line of the problem
  std::string error;                 // when !ok: what is wrong there
};

// Parses a whole file: UTF-16LE with byte-order mark, UTF-8 with or without one; CRLF or LF.
// The text payloads of hex(1), hex(2) and hex(7) are decoded from UTF-16 in a UTF-16 file and
// taken as the bytes they are in any other. Nothing is applied here.
RegFileParse ParseRegFile(std::string_view content);

// One key section in text form: "[HKEY_LOCAL_MACHINE\path]", its values, a blank line (CRLF).
void AppendRegFileKey(std::string& out, std::string_view path,
                      const std::vector<platform::RegKey::NamedValue>& values);

// The file as the editor saves it: byte-order mark and UTF-16LE of `text` (header included).
std::string EncodeRegFile(std::string_view text);

// The UTF-16LE form of stored text bytes, and back (an odd count of bytes is kept as it is).
std::vector<std::uint8_t> TextToUtf16(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> Utf16ToText(const std::vector<std::uint8_t>& bytes);

// The forms reg query shows: type name, and data as text (0x.. for numbers, hex digits for
// bytes, texts of a multi-string joined with "\0").
std::string RegTypeName(platform::RegType type);
std::string FormatRegData(const platform::RegValue& value);

}  // namespace uv::tools
