#include "tools/usbvantrel-reg/RegFile.h"

#include <cstdio>
#include <optional>

#include "platform/common/Text.h"

namespace uv::tools {
namespace {

using platform::RegType;
using platform::RegValue;

constexpr std::string_view kRegedit4Header = "REGEDIT4";
// The header of the oldest format, whose lines name HKEY_CLASSES_ROOT only.
constexpr std::string_view kRegeditHeader = "REGEDIT";
constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kOtherHives[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_USERS",
                                            "HKEY_CURRENT_CONFIG"};
constexpr std::string_view kBlanks = " \t";
// Hex lines are wrapped like the registry editor's so that files stay readable in an editor.
constexpr std::size_t kHexLineWidth = 77;
constexpr std::size_t kMaxValueName = 16383;

using platform::EqualsNoCase;

std::string_view Trim(std::string_view text) {
  return platform::Trim(text, kBlanks);
}

// The part before a ";" comment, trimmed.
std::string_view WithoutComment(std::string_view text) {
  return Trim(text.substr(0, text.find(';')));
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  platform::AppendUtf8(out, static_cast<char32_t>(code));
}

// UTF-8 to UTF-16. A byte that starts no valid sequence (overlong, surrogate, cut short, past
// U+10FFFF) becomes the unpaired surrogate 0xDC00 + byte, which Utf16ToUtf8 turns back.
std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string units;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = byte(i);
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t least = 0;
    if (lead < 0x80) {
      units += static_cast<char16_t>(lead);
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 1, code = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 2, code = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 3, code = lead & 0x07, least = 0x10000;
    }
    bool valid = length != 0 && i + length < text.size();
    for (std::size_t k = 1; valid && k <= length; ++k) {
      valid = (byte(i + k) & 0xC0) == 0x80;
      code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (valid) valid = code >= least && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (!valid) {
      units += static_cast<char16_t>(0xDC00 | lead);
      ++i;
      continue;
    }
    if (code < 0x10000) {
      units += static_cast<char16_t>(code);
    } else {
      units += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    }
    i += length + 1;
  }
  return units;
}

// UTF-16 to UTF-8 without loss (the common conversion turns a lone surrogate into "?"): pairs join,
// U+DC80..U+DCFF alone are the bytes Utf8ToUtf16 carried, any other unpaired surrogate cannot be
// carried and becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view units) {
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const std::uint32_t unit = units[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
      ++i;
    } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
      out += static_cast<char>(unit & 0xFF);
    } else if (unit >= 0xD800 && unit < 0xE000) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::u16string UnitsOf(const std::uint8_t* bytes, std::size_t count) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < count; i += 2) {
    units += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
  }
  return units;
}

void AppendUnits(std::string& out, std::u16string_view units) {
  for (char16_t unit : units) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  }
}

bool IsUtf16(std::string_view content) {
  return content.size() >= 2 && static_cast<unsigned char>(content[0]) == 0xFF &&
         static_cast<unsigned char>(content[1]) == 0xFE;
}

std::string DecodeContent(std::string_view content) {
  if (IsUtf16(content)) {
    return Utf16ToUtf8(
        UnitsOf(reinterpret_cast<const std::uint8_t*>(content.data()) + 2, content.size() - 2));
  }
  if (content.substr(0, 3) == "\xEF\xBB\xBF") return std::string(content.substr(3));
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

// A hex number of at most `maxValue`; nullopt for anything else (empty, other characters).
std::optional<std::uint32_t> ReadHexNumber(std::string_view digits, std::uint64_t maxValue) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t number = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    number = number * 16 + static_cast<std::uint64_t>(digit);
    if (number > maxValue) return std::nullopt;
  }
  return static_cast<std::uint32_t>(number);
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

// "01,2,ff" (a trailing comma is allowed: the editor leaves one where a line was cut).
std::optional<std::vector<std::uint8_t>> ReadHexBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  text = Trim(text);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string_view item = Trim(text.substr(
        start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (item.size() > 2) return std::nullopt;
    const auto value = ReadHexNumber(item, 0xFF);
    if (!value) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*value));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return bytes;
}

bool IsHexDataLine(std::string_view line) {
  return line.find_first_not_of("0123456789abcdefABCDEF, \t\\") == std::string_view::npos;
}

bool ValidKeyPath(std::string_view path) {
  if (path.empty()) return true;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = path.find('\\', start);
    const std::size_t length = (end == std::string_view::npos ? path.size() : end) - start;
    if (length == 0 || length > 255) return false;
    if (end == std::string_view::npos) return path.find('\0') == std::string_view::npos;
    start = end + 1;
  }
}

class Parser {
 public:
  Parser(std::string_view content) : utf16_(IsUtf16(content)), text_(DecodeContent(content)) {
    lines_ = SplitLines(text_);
  }

  RegFileParse Run() {
    const std::string_view header = Trim(lines_[0]);
    if (header != kRegFileHeader && header != kRegedit4Header && header != kRegeditHeader) {
      result_.errorLine = 1;
      result_.error = "not a registry file: the first line must be \"" +
                      std::string(kRegFileHeader) + "\" or \"" + std::string(kRegedit4Header) +
                      "\"";
      return std::move(result_);
    }
    result_.ok = true;
    const bool oldFormat = header == kRegeditHeader;
    for (line_ = 1; line_ < lines_.size(); ++line_) {
      const std::string_view line = Trim(lines_[line_]);
      if (line.empty() || line.front() == ';') continue;
      if (oldFormat) {
        Skip("a line of the REGEDIT format, which holds only HKEY_CLASSES_ROOT");
      } else if (line.front() == '#') {
        Skip("\"#\" does not start a comment (\";\" does)");
      } else if (line.front() == '[') {
        KeyLine(line);
      } else if (line.front() == '@' || line.front() == '"') {
        ValueLine(line);
      } else {
        Skip("neither a key, a value nor a comment");
      }
    }
    return std::move(result_);
  }

 private:
  enum class Section { kNone, kKey, kSkippedKey, kRemovedKey };

  void Skip(std::string why) { result_.skipped.push_back({line_ + 1, std::move(why)}); }

  void KeyLine(std::string_view line) {
    section_ = Section::kSkippedKey;
    const std::size_t close = line.rfind(']');
    if (close == std::string_view::npos) return Skip("key line without its closing \"]\"");
    const std::string_view after = Trim(line.substr(close + 1));
    if (!after.empty() && after.front() != ';') return Skip("text after the key's \"]\"");
    std::string_view inner = line.substr(1, close - 1);
    RegFileKey key;
    if (!inner.empty() && inner.front() == '-') {
      key.remove = true;
      inner.remove_prefix(1);
    }
    const std::size_t slash = inner.find('\\');
    const std::string_view hive = inner.substr(0, slash);
    if (!EqualsNoCase(hive, kLocalMachine)) {
      for (std::string_view other : kOtherHives) {
        if (EqualsNoCase(hive, other)) {
          return Skip("the machine root holds only HKEY_LOCAL_MACHINE, not " + std::string(hive));
        }
      }
      return Skip("unknown root key \"" + std::string(hive) + "\"");
    }
    std::string_view path = slash == std::string_view::npos ? "" : inner.substr(slash + 1);
    if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    if (!ValidKeyPath(path)) return Skip("bad key name");
    if (key.remove && path.empty()) return Skip("HKEY_LOCAL_MACHINE itself cannot be deleted");
    key.path = std::string(path);
    section_ = key.remove ? Section::kRemovedKey : Section::kKey;
    result_.keys.push_back(std::move(key));
  }

  void ValueLine(std::string_view line) {
    const std::size_t first = line_;
    RegFileValue value;
    std::string why;
    const bool read = ReadValue(line, value, why);
    // Continuation lines were consumed; what is said about the value is said of its first line.
    const std::size_t last = line_;
    line_ = first;
    if (!read) {
      Skip(why);
    } else if (section_ == Section::kNone) {
      Skip("a value before the first key");
    } else if (section_ == Section::kSkippedKey) {
      Skip("a value of a key line that was skipped");
    } else if (section_ == Section::kRemovedKey) {
      Skip("a value under a key that is being deleted");
    } else {
      result_.keys.back().values.push_back(std::move(value));
    }
    line_ = last;
  }

  bool ReadValue(std::string_view line, RegFileValue& value, std::string& why) {
    std::size_t pos = 0;
    if (line.front() == '@') {
      pos = 1;
    } else {
      auto name = ReadQuoted(line, pos, why);
      if (!name) return false;
      if (name->find('\0') != std::string::npos || name->size() > kMaxValueName) {
        why = "bad value name";
        return false;
      }
      value.name = std::move(*name);
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') {
      why = "\"=\" expected";
      return false;
    }
    return ReadData(Trim(line.substr(pos + 1)), value, why);
  }

  bool ReadData(std::string_view data, RegFileValue& value, std::string& why) {
    if (WithoutComment(data) == "-") {
      value.remove = true;
      return true;
    }
    if (!data.empty() && data.front() == '"') {
      std::size_t pos = 0;
      auto text = ReadQuoted(data, pos, why);
      if (!text) return false;
      const std::string_view after = Trim(data.substr(pos));
      if (!after.empty() && after.front() != ';') {
        why = "text after the closing quote";
        return false;
      }
      value.value.type = RegType::kSz;
      value.value.data.assign(text->begin(), text->end());
      value.value.data.push_back(0);
      return true;
    }
    if (EqualsNoCase(data.substr(0, 6), "dword:")) {
      const std::string_view digits = WithoutComment(data.substr(6));
      const auto number = digits.size() <= 8 ? ReadHexNumber(digits, 0xFFFFFFFFu) : std::nullopt;
      if (!number) {
        why = "a dword needs 1 to 8 hex digits";
        return false;
      }
      value.value.type = RegType::kDword;
      for (int i = 0; i < 4; ++i)
        value.value.data.push_back(static_cast<std::uint8_t>(*number >> (8 * i)));
      return true;
    }
    if (EqualsNoCase(data.substr(0, 3), "hex")) return ReadHex(data.substr(3), value, why);
    why = "unknown kind of value data";
    return false;
  }

  // After "hex": an optional "(type)", ":", and bytes that may continue over the following lines,
  // each but the last ending in "\". Comment lines between them are left out. A continuation that
  // meets a blank line, the end of the file or a line of another kind drops the value; that line
  // is then read for itself.
  bool ReadHex(std::string_view rest, RegFileValue& value, std::string& why) {
    std::uint32_t type = static_cast<std::uint32_t>(RegType::kBinary);
    if (!rest.empty() && rest.front() == '(') {
      const std::size_t close = rest.find(')');
      const auto number = close == std::string_view::npos
                              ? std::nullopt
                              : ReadHexNumber(rest.substr(1, close - 1), 0xFFFFFFFFu);
      if (!number) {
        why = "bad or out-of-range type number in hex(...)";
        return false;
      }
      type = *number;
      rest = rest.substr(close + 1);
    }
    if (rest.empty() || rest.front() != ':') {
      why = "hex data needs a \":\"";
      return false;
    }
    std::string payload(WithoutComment(rest.substr(1)));
    while (!payload.empty() && payload.back() == '\\') {
      payload.pop_back();
      std::string_view next;
      do {
        if (++line_ >= lines_.size()) {
          why = "hex data continues past the end of the file";
          return false;
        }
        next = Trim(lines_[line_]);
      } while (!next.empty() && next.front() == ';');
      next = WithoutComment(next);
      if (next.empty() || !IsHexDataLine(next)) {
        why = "hex data whose continuation breaks off";
        if (!next.empty()) --line_;  // the breaking line is read on its own
        return false;
      }
      payload += next;
    }
    auto bytes = ReadHexBytes(payload);
    if (!bytes) {
      why = "bad byte in hex data";
      return false;
    }
    value.value.type = static_cast<RegType>(type);
    const bool text = type == static_cast<std::uint32_t>(RegType::kSz) ||
                      type == static_cast<std::uint32_t>(RegType::kExpandSz) ||
                      type == static_cast<std::uint32_t>(RegType::kMultiSz);
    value.value.data = text && utf16_ ? Utf16ToText(*bytes) : std::move(*bytes);
    return true;
  }

  bool utf16_;
  std::string text_;
  std::vector<std::string_view> lines_;
  std::size_t line_ = 0;  // 0-based index of the line being read
  Section section_ = Section::kNone;
  RegFileParse result_;
};

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

std::uint64_t LittleEndian(const std::vector<std::uint8_t>& d) {
  std::uint64_t number = 0;
  for (std::size_t i = d.size(); i-- > 0;) number = (number << 8) | d[i];
  return number;
}

}  // namespace

RegFileParse ParseRegFile(std::string_view content) {
  return Parser(content).Run();
}

std::vector<std::uint8_t> TextToUtf16(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  AppendUnits(out, Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                                bytes.size())));
  return std::vector<std::uint8_t>(out.begin(), out.end());
}

std::vector<std::uint8_t> Utf16ToText(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() % 2 != 0) return bytes;
  const std::string text = Utf16ToUtf8(UnitsOf(bytes.data(), bytes.size()));
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string EncodeRegFile(std::string_view text) {
  std::string out = "\xFF\xFE";
  AppendUnits(out, Utf8ToUtf16(text));
  return out;
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
    switch (value.type) {
      case RegType::kSz:
        if (IsPlainText(value)) {
          AppendEscaped(out, std::string_view(reinterpret_cast<const char*>(value.data.data()),
                                              value.data.size() - 1));
          out += "\r\n";
        } else {
          AppendHex(out, "hex(1):", TextToUtf16(value.data), lineStart);
        }
        break;
      case RegType::kExpandSz:
        AppendHex(out, "hex(2):", TextToUtf16(value.data), lineStart);
        break;
      case RegType::kMultiSz:
        AppendHex(out, "hex(7):", TextToUtf16(value.data), lineStart);
        break;
      case RegType::kBinary:
        AppendHex(out, "hex:", value.data, lineStart);
        break;
      case RegType::kDword:
        if (value.data.size() == 4) {
          char digits[32];
          std::snprintf(digits, sizeof digits, "dword:%08x\r\n",
                        static_cast<unsigned>(LittleEndian(value.data)));
          out += digits;
          break;
        }
        [[fallthrough]];
      default: {
        char prefix[24];
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
        AppendHex(out, prefix, value.data, lineStart);
      }
    }
  }
  out += "\r\n";
}

std::string RegTypeName(RegType type) {
  switch (static_cast<std::uint32_t>(type)) {
    case 0:
      return "REG_NONE";
    case 1:
      return "REG_SZ";
    case 2:
      return "REG_EXPAND_SZ";
    case 3:
      return "REG_BINARY";
    case 4:
      return "REG_DWORD";
    case 5:
      return "REG_DWORD_BIG_ENDIAN";
    case 6:
      return "REG_LINK";
    case 7:
      return "REG_MULTI_SZ";
    case 8:
      return "REG_RESOURCE_LIST";
    case 9:
      return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10:
      return "REG_RESOURCE_REQUIREMENTS_LIST";
    case 11:
      return "REG_QWORD";
    default:
      return "REG_UNKNOWN";
  }
}

std::string FormatRegData(const RegValue& value) {
  const auto& d = value.data;
  char digits[32];
  switch (value.type) {
    case RegType::kSz:
    case RegType::kExpandSz: {
      std::string text(d.begin(), d.end());
      const std::size_t zero = text.find('\0');
      if (zero != std::string::npos) text.resize(zero);
      return text;
    }
    case RegType::kDword:
    case RegType::kQword:
      if (d.size() == (value.type == RegType::kDword ? 4u : 8u)) {
        std::snprintf(digits, sizeof digits, "0x%llx",
                      static_cast<unsigned long long>(LittleEndian(d)));
        return digits;
      }
      break;
    case RegType::kDwordBigEndian:
      if (d.size() == 4) {
        std::snprintf(digits, sizeof digits, "0x%x",
                      static_cast<unsigned>(d[0] << 24 | d[1] << 16 | d[2] << 8 | d[3]));
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
  for (std::uint8_t byte : d) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    hex += digits;
  }
  return hex;
}

}  // namespace uv::tools
