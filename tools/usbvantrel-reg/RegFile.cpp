#include "tools/usbvantrel-reg/RegFile.h"

#include <cstdio>
#include <optional>

namespace uv::tools {
namespace {

using platform::RegType;
using platform::RegValue;

constexpr std::string_view kRegedit4Header = "REGEDIT4";
constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
// Hex lines are wrapped like the registry editor's so that files stay readable in an editor.
constexpr std::size_t kHexLineWidth = 77;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Files saved by the registry editor are UTF-16LE. Characters of the single-byte range map to
// themselves, the rest to UTF-8 (our texts are bytes; this keeps them visible, not lost).
std::string DecodeContent(std::string_view content) {
  if (content.size() >= 2 && static_cast<unsigned char>(content[0]) == 0xFF &&
      static_cast<unsigned char>(content[1]) == 0xFE) {
    std::string out;
    for (std::size_t i = 2; i + 1 < content.size(); i += 2) {
      std::uint32_t unit =
          static_cast<unsigned char>(content[i]) |
          (static_cast<std::uint32_t>(static_cast<unsigned char>(content[i + 1])) << 8);
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < content.size()) {
        const std::uint32_t low =
            static_cast<unsigned char>(content[i + 2]) |
            (static_cast<std::uint32_t>(static_cast<unsigned char>(content[i + 3])) << 8);
        if (low >= 0xDC00 && low < 0xE000) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        }
      }
      if (unit < 0x100) {
        out += static_cast<char>(unit);
      } else {
        AppendUtf8(out, unit);
      }
    }
    return out;
  }
  if (content.size() >= 3 && content.substr(0, 3) == "\xEF\xBB\xBF") {
    return std::string(content.substr(3));
  }
  return std::string(content);
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == text.size()) break;
    start = end + 1;
  }
  return lines;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted text starting at text[pos] == '"'; pos ends after the closing quote.
std::optional<std::string> ReadQuoted(std::string_view text, std::size_t& pos, std::string& why) {
  std::string out;
  ++pos;
  while (pos < text.size()) {
    const char c = text[pos++];
    if (c == '"') return out;
    if (c == '\\') {
      if (pos >= text.size()) break;
      const char escaped = text[pos++];
      if (escaped != '\\' && escaped != '"') {
        why = std::string("unknown escape \\") + escaped + " in a quoted text";
        return std::nullopt;
      }
      out += escaped;
    } else {
      out += c;
    }
  }
  why = "quoted text without its closing quote";
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ReadHexBytes(std::string_view text, std::string& why) {
  std::vector<std::uint8_t> bytes;
  text = Trim(text);
  if (text.empty()) return bytes;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item = Trim(text.substr(
        start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (item.empty() || item.size() > 2) {
      why = "bad byte \"" + std::string(item) + "\" in hex data";
      return std::nullopt;
    }
    int value = 0;
    for (char c : item) {
      const int digit = HexDigit(c);
      if (digit < 0) {
        why = "bad byte \"" + std::string(item) + "\" in hex data";
        return std::nullopt;
      }
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<std::uint8_t>(value));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return bytes;
}

// Parses the part after "=" of a value line.
bool ParseData(std::string_view data, RegFileValue& value, std::string& why) {
  data = Trim(data);
  if (data == "-") {
    value.remove = true;
    return true;
  }
  if (!data.empty() && data.front() == '"') {
    std::size_t pos = 0;
    auto text = ReadQuoted(data, pos, why);
    if (!text) return false;
    if (!Trim(data.substr(pos)).empty()) {
      why = "text after the closing quote";
      return false;
    }
    value.value.type = RegType::kSz;
    value.value.data.assign(text->begin(), text->end());
    value.value.data.push_back(0);
    return true;
  }
  if (data.size() >= 6 && EqualsNoCase(data.substr(0, 6), "dword:")) {
    const std::string_view digits = Trim(data.substr(6));
    if (digits.empty() || digits.size() > 8) {
      why = "a dword needs 1 to 8 hex digits";
      return false;
    }
    std::uint32_t number = 0;
    for (char c : digits) {
      const int digit = HexDigit(c);
      if (digit < 0) {
        why = "bad hex digit in a dword";
        return false;
      }
      number = number * 16 + static_cast<std::uint32_t>(digit);
    }
    value.value.type = RegType::kDword;
    value.value.data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                        static_cast<std::uint8_t>(number >> 16),
                        static_cast<std::uint8_t>(number >> 24)};
    return true;
  }
  if (data.size() >= 3 && EqualsNoCase(data.substr(0, 3), "hex")) {
    std::string_view rest = data.substr(3);
    std::uint32_t type = static_cast<std::uint32_t>(RegType::kBinary);
    if (!rest.empty() && rest.front() == '(') {
      const std::size_t close = rest.find(')');
      const std::string_view number =
          close == std::string_view::npos ? "" : rest.substr(1, close - 1);
      if (number.empty() || number.size() > 8) {
        why = "bad type number in hex(...)";
        return false;
      }
      type = 0;
      for (char c : number) {
        const int digit = HexDigit(c);
        if (digit < 0) {
          why = "bad type number in hex(...)";
          return false;
        }
        type = type * 16 + static_cast<std::uint32_t>(digit);
      }
      rest = rest.substr(close + 1);
    }
    if (rest.empty() || rest.front() != ':') {
      why = "hex data needs a \":\"";
      return false;
    }
    auto bytes = ReadHexBytes(rest.substr(1), why);
    if (!bytes) return false;
    value.value.type = static_cast<RegType>(type);
    value.value.data = std::move(*bytes);
    return true;
  }
  why = "unknown kind of value data";
  return false;
}

bool ValidKeyPath(std::string_view path) {
  if (path.empty()) return true;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = path.find('\\', start);
    const std::size_t length = (end == std::string_view::npos ? path.size() : end) - start;
    if (length == 0 || length > 255) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

bool StartsWithHexData(std::string_view line) {
  const std::size_t equals = line.find("=hex");
  return equals != std::string_view::npos;
}

void AppendEscaped(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

void AppendHex(std::string& out, std::string_view prefix, const std::vector<std::uint8_t>& data,
               std::size_t lineStart) {
  out += prefix;
  std::size_t column = out.size() - lineStart;
  char digits[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02x", data[i]);
    out += digits;
    column += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++column;
      if (column + 3 > kHexLineWidth) {
        out += "\\\r\n  ";
        column = 2;
      }
    }
  }
  out += "\r\n";
}

// A REG_SZ is written as a quoted text only when that reads back to exactly the same bytes.
bool IsPlainText(const RegValue& value) {
  const auto& d = value.data;
  if (d.empty() || d.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < d.size(); ++i) {
    if (d[i] == 0 || d[i] == '\r' || d[i] == '\n') return false;
  }
  return true;
}

}  // namespace

RegFileParse ParseRegFile(std::string_view content) {
  RegFileParse result;
  const std::string text = DecodeContent(content);
  const std::vector<std::string_view> lines = SplitLines(text);
  const auto fail = [&](std::size_t line, std::string why) {
    result.ok = false;
    result.keys.clear();
    result.errorLine = line;
    result.error = std::move(why);
    return result;
  };

  std::size_t i = 0;
  while (i < lines.size() && Trim(lines[i]).empty()) ++i;
  if (i == lines.size() ||
      (Trim(lines[i]) != kRegFileHeader && Trim(lines[i]) != kRegedit4Header)) {
    return fail(i < lines.size() ? i + 1 : 1, "not a registry file: the first line must be \"" +
                                                  std::string(kRegFileHeader) + "\"");
  }
  for (++i; i < lines.size(); ++i) {
    const std::size_t lineNumber = i + 1;
    std::string logical(Trim(lines[i]));
    if (logical.empty() || logical.front() == ';') continue;

    if (logical.front() == '[') {
      if (logical.back() != ']') return fail(lineNumber, "key line without its closing \"]\"");
      std::string_view inner = std::string_view(logical).substr(1, logical.size() - 2);
      RegFileKey key;
      if (!inner.empty() && inner.front() == '-') {
        key.remove = true;
        inner.remove_prefix(1);
      }
      const std::size_t slash = inner.find('\\');
      const std::string_view hive = inner.substr(0, slash);
      if (!EqualsNoCase(hive, kLocalMachine)) {
        return fail(lineNumber, "only keys below HKEY_LOCAL_MACHINE can be imported");
      }
      key.path =
          slash == std::string_view::npos ? std::string() : std::string(inner.substr(slash + 1));
      if (!ValidKeyPath(key.path)) return fail(lineNumber, "bad key name");
      result.keys.push_back(std::move(key));
      continue;
    }

    if (result.keys.empty()) return fail(lineNumber, "a value before the first key");
    // Hex data may continue over several lines, each but the last ending in "\".
    if (StartsWithHexData(logical)) {
      while (!logical.empty() && logical.back() == '\\') {
        logical.pop_back();
        if (++i >= lines.size()) return fail(lineNumber, "hex data continues past the end");
        logical += Trim(lines[i]);
      }
    }

    RegFileValue value;
    std::size_t pos = 0;
    std::string why;
    if (logical.front() == '@') {
      pos = 1;
    } else if (logical.front() == '"') {
      auto name = ReadQuoted(logical, pos, why);
      if (!name) return fail(lineNumber, why);
      value.name = std::move(*name);
    } else {
      return fail(lineNumber, "neither a key, a value nor a comment");
    }
    while (pos < logical.size() && (logical[pos] == ' ' || logical[pos] == '\t')) ++pos;
    if (pos >= logical.size() || logical[pos] != '=') return fail(lineNumber, "\"=\" expected");
    if (!ParseData(std::string_view(logical).substr(pos + 1), value, why)) {
      return fail(lineNumber, why);
    }
    RegFileKey& key = result.keys.back();
    if (key.remove) return fail(lineNumber, "a value under a key that is being removed");
    key.values.push_back(std::move(value));
  }
  result.ok = true;
  return result;
}

void AppendRegFileKey(std::string& out, std::string_view path,
                      const std::vector<platform::RegKey::NamedValue>& values) {
  out += '[';
  out += kLocalMachine;
  if (!path.empty()) {
    out += '\\';
    out += path;
  }
  out += "]\r\n";
  for (const auto& named : values) {
    const std::size_t lineStart = out.size();
    if (named.name.empty()) {
      out += '@';
    } else {
      AppendEscaped(out, named.name);
    }
    out += '=';
    const RegValue& value = named.value;
    if (value.type == RegType::kSz && IsPlainText(value)) {
      AppendEscaped(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                          value.data.size() - 1));
      out += "\r\n";
    } else if (value.type == RegType::kDword && value.data.size() == 4) {
      char digits[32];
      const std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                   (static_cast<std::uint32_t>(value.data[3]) << 24);
      std::snprintf(digits, sizeof digits, "dword:%08x\r\n", number);
      out += digits;
    } else if (value.type == RegType::kBinary) {
      AppendHex(out, "hex:", value.data, lineStart);
    } else {
      char prefix[24];
      std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
      AppendHex(out, prefix, value.data, lineStart);
    }
  }
  out += "\r\n";
}

std::string RegTypeName(RegType type) {
  switch (type) {
    case RegType::kNone:
      return "REG_NONE";
    case RegType::kSz:
      return "REG_SZ";
    case RegType::kExpandSz:
      return "REG_EXPAND_SZ";
    case RegType::kBinary:
      return "REG_BINARY";
    case RegType::kDword:
      return "REG_DWORD";
    case RegType::kMultiSz:
      return "REG_MULTI_SZ";
  }
  return "REG_UNKNOWN";
}

std::string FormatRegData(const RegValue& value) {
  const auto& d = value.data;
  switch (value.type) {
    case RegType::kSz:
    case RegType::kExpandSz: {
      std::string text(d.begin(), d.end());
      const std::size_t zero = text.find('\0');
      if (zero != std::string::npos) text.resize(zero);
      return text;
    }
    case RegType::kDword:
      if (d.size() == 4) {
        char digits[16];
        const std::uint32_t number =
            d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<std::uint32_t>(d[3]) << 24);
        std::snprintf(digits, sizeof digits, "0x%x", number);
        return digits;
      }
      break;
    case RegType::kMultiSz: {
      std::string joined;
      std::size_t start = 0;
      bool first = true;
      while (start < d.size()) {
        std::size_t end = start;
        while (end < d.size() && d[end] != 0) ++end;
        if (end == start) break;
        if (!first) joined += "\\0";
        joined.append(d.begin() + static_cast<std::ptrdiff_t>(start),
                      d.begin() + static_cast<std::ptrdiff_t>(end));
        first = false;
        start = end + 1;
      }
      return joined;
    }
    default:
      break;
  }
  std::string hex;
  char digits[4];
  for (std::uint8_t byte : d) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    hex += digits;
  }
  return hex;
}

}  // namespace uv::tools
