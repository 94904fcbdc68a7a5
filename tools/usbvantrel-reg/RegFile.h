#pragma once
// The registry editor's text format ("Windows Registry Editor Version 5.00", also REGEDIT4):
// [key] sections with "name"="text", dword:, hex:, hex(n): values, [-key] and "name"=- removals.
// Our registry holds single-byte texts, so hex(2) and hex(7) carry the stored bytes as they
// are; an export imports back to the same bytes.

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

struct RegFileParse {
  bool ok = false;
  std::vector<RegFileKey> keys;
  std::size_t errorLine = 0;  // 1-based line of the first problem
  std::string error;          // what is wrong there
};

// Parses a whole file (UTF-16LE with byte-order mark, UTF-8 with or without one, or plain
// single-byte text; CRLF or LF). Nothing is applied here: a caller can refuse a bad file whole.
RegFileParse ParseRegFile(std::string_view content);

// Writes one key section: "[HKEY_LOCAL_MACHINE\path]", its values, a blank line (CRLF).
void AppendRegFileKey(std::string& out, std::string_view path,
                      const std::vector<platform::RegKey::NamedValue>& values);

// The forms reg query shows: type name, and data as text (0x.. for a DWORD, hex digits for
// bytes, texts of a multi-string joined with "\0").
std::string RegTypeName(platform::RegType type);
std::string FormatRegData(const platform::RegValue& value);

}  // namespace uv::tools
