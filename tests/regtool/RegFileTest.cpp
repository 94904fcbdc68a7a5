#include "tools/usbvantrel-reg/RegFile.h"

#include <gtest/gtest.h>

#include <random>

namespace uv::tools {
namespace {

using platform::RegType;
using platform::RegValue;
using Bytes = std::vector<std::uint8_t>;

TEST(RegFileTest, ParsesEveryValueForm) {
  const RegFileParse parsed = ParseRegFile(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "@=\"def\"\n"
      "\"q\\\"uote\\\\\" = \"v\\\\\\\"\"\n"
      "\"d\"=DWORD:A\n"
      "\"h\"=hex:\n"
      "\"h7\"=hex(7):61,0,0\n"
      "\"hn\"=hex(ab):ff\n"
      "\"gone\"=-\n"
      "[-HKEY_LOCAL_MACHINE\\B\\C]\n"
      "[HKEY_LOCAL_MACHINE]\n");
  ASSERT_TRUE(parsed.ok) << parsed.errorLine << ": " << parsed.error;
  ASSERT_EQ(parsed.keys.size(), 3u);
  const auto& a = parsed.keys[0];
  EXPECT_EQ(a.path, "A");
  ASSERT_EQ(a.values.size(), 7u);
  EXPECT_EQ(a.values[0].name, "");
  EXPECT_EQ(a.values[0].value.data, (Bytes{'d', 'e', 'f', 0}));
  EXPECT_EQ(a.values[1].name, "q\"uote\\");
  EXPECT_EQ(a.values[1].value.data, (Bytes{'v', '\\', '"', 0}));
  EXPECT_EQ(a.values[2].value.type, RegType::kDword);
  EXPECT_EQ(a.values[2].value.data, (Bytes{10, 0, 0, 0}));
  EXPECT_EQ(a.values[3].value.type, RegType::kBinary);
  EXPECT_TRUE(a.values[3].value.data.empty());
  EXPECT_EQ(a.values[4].value.type, RegType::kMultiSz);
  EXPECT_EQ(a.values[4].value.data, (Bytes{0x61, 0, 0}));
  EXPECT_EQ(static_cast<std::uint32_t>(a.values[5].value.type), 0xabu);
  EXPECT_TRUE(a.values[6].remove);
  EXPECT_TRUE(parsed.keys[1].remove);
  EXPECT_EQ(parsed.keys[1].path, "B\\C");
  EXPECT_EQ(parsed.keys[2].path, "");
}

TEST(RegFileTest, ReadsUtf16FilesAsTheEditorSavesThem) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"n\"=\"\xE9\"\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) {
    utf16 += c;
    utf16 += '\0';
  }
  const RegFileParse parsed = ParseRegFile(utf16);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  ASSERT_EQ(parsed.keys.size(), 1u);
  ASSERT_EQ(parsed.keys[0].values.size(), 1u);
  EXPECT_EQ(parsed.keys[0].values[0].value.data, (Bytes{0xE9, 0}));
}

TEST(RegFileTest, RejectsMalformedLinesWithTheirNumber) {
  const struct {
    const char* text;
    std::size_t line;
  } cases[] = {
      {"", 1},
      {"REGEDIT5\n[HKEY_LOCAL_MACHINE\\A]\n", 1},
      {"\n\nWindows Registry Editor Version 4.00\n", 3},
      {"REGEDIT4\n\"v\"=\"x\"\n", 2},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n", 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"unterminated\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"bad \\n escape\"\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"x\" trailing\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:12g\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:1,,2\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:123\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(q):12\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(2\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,\\\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=string\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"\n", 3},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nv=1\n", 3},
      {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"x\"\n", 3},
  };
  for (const auto& c : cases) {
    const RegFileParse parsed = ParseRegFile(c.text);
    EXPECT_FALSE(parsed.ok) << c.text;
    EXPECT_EQ(parsed.errorLine, c.line) << c.text;
    EXPECT_FALSE(parsed.error.empty());
    EXPECT_TRUE(parsed.keys.empty()) << "a refused file yields nothing to apply";
  }
}

TEST(RegFileTest, WrittenSectionsParseBackToTheSameValues) {
  std::vector<platform::RegKey::NamedValue> values = {
      {"", RegValue{RegType::kSz, Bytes{'x', 0}}},
      {"tricky \"name\" \\", RegValue{RegType::kSz, Bytes{'a', '\\', '"', 0}}},
      {"no-terminator", RegValue{RegType::kSz, Bytes{'a', 'b'}}},
      {"crlf", RegValue{RegType::kSz, Bytes{'a', '\r', '\n', 0}}},
      {"dw", RegValue{RegType::kDword, Bytes{1, 2, 3, 4}}},
      {"dw-short", RegValue{RegType::kDword, Bytes{1, 2}}},
      {"multi", RegValue{RegType::kMultiSz, Bytes{'a', 0, 'b', 0, 0}}},
      {"big", RegValue{RegType::kBinary, Bytes(333, 0xAB)}},
      {"odd-type", RegValue{static_cast<RegType>(0x1234), Bytes{7}}},
  };
  std::string text(kRegFileHeader);
  text += "\r\n\r\n";
  AppendRegFileKey(text, "Some\\Key", values);
  const RegFileParse parsed = ParseRegFile(text);
  ASSERT_TRUE(parsed.ok) << parsed.errorLine << ": " << parsed.error << "\n" << text;
  ASSERT_EQ(parsed.keys.size(), 1u);
  EXPECT_EQ(parsed.keys[0].path, "Some\\Key");
  ASSERT_EQ(parsed.keys[0].values.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(parsed.keys[0].values[i].name, values[i].name);
    EXPECT_EQ(parsed.keys[0].values[i].value.type, values[i].value.type) << values[i].name;
    EXPECT_EQ(parsed.keys[0].values[i].value.data, values[i].value.data) << values[i].name;
  }
}

TEST(RegFileTest, QueryFormsOfEachType) {
  EXPECT_EQ(FormatRegData({RegType::kDword, {0, 0, 0, 0}}), "0x0");
  EXPECT_EQ(FormatRegData({RegType::kDword, {0xff, 0xff, 0xff, 0xff}}), "0xffffffff");
  EXPECT_EQ(FormatRegData({RegType::kDword, {1, 2}}), "0102");
  EXPECT_EQ(FormatRegData({RegType::kSz, {'a', 0, 'b', 0}}), "a");
  EXPECT_EQ(FormatRegData({RegType::kSz, {'a', 'b'}}), "ab");
  EXPECT_EQ(FormatRegData({RegType::kMultiSz, {'a', 'b'}}), "ab");
  EXPECT_EQ(FormatRegData({RegType::kMultiSz, {'a', 0, 'b', 0, 0}}), "a\\0b");
  EXPECT_EQ(FormatRegData({RegType::kBinary, {}}), "");
  EXPECT_EQ(FormatRegData({RegType::kNone, {0xde, 0xad}}), "DEAD");
  EXPECT_EQ(RegTypeName(RegType::kExpandSz), "REG_EXPAND_SZ");
  EXPECT_EQ(RegTypeName(static_cast<RegType>(99)), "REG_UNKNOWN");
}

// Damaged files of every kind: the parser must answer each without crashing or reading past
// the end, and whatever it accepts must survive being written and read back.
TEST(RegFileTest, MutatedFilesAreRefusedOrRoundTrip) {
  const std::string seed =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quorrel]\r\n"
      "@=\"x\"\r\n"
      "\"S\"=\"a \\\"q\\\" \\\\ b\"\r\n"
      "\"D\"=dword:0000000a\r\n"
      "\"B\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
      "  17,18,19\r\n"
      "\"M\"=hex(7):61,00,62,00,00\r\n"
      "\"Gone\"=-\r\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n";
  ASSERT_TRUE(ParseRegFile(seed).ok);
  const std::string alphabet = "[]\"\\=:,-@;() \r\n\t0aFhexdword(7)\xff\xfe";
  std::mt19937 random(20261209);
  std::size_t accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = random() % text.size();
      switch (random() % 4) {
        case 0:
          text[at] = alphabet[random() % alphabet.size()];
          break;
        case 1:
          text.erase(at, 1 + random() % 8);
          break;
        case 2:
          text.insert(at, 1, alphabet[random() % alphabet.size()]);
          break;
        default:
          text.resize(at);  // cut short, as a half-written file is
          break;
      }
    }
    const RegFileParse parsed = ParseRegFile(text);
    if (!parsed.ok) {
      EXPECT_GE(parsed.errorLine, 1u);
      EXPECT_FALSE(parsed.error.empty());
      continue;
    }
    ++accepted;
    std::string written(kRegFileHeader);
    written += "\r\n\r\n";
    for (const RegFileKey& key : parsed.keys) {
      if (key.remove) continue;
      std::vector<platform::RegKey::NamedValue> values;
      for (const RegFileValue& value : key.values) {
        if (!value.remove) values.push_back({value.name, value.value});
      }
      AppendRegFileKey(written, key.path, values);
    }
    const RegFileParse again = ParseRegFile(written);
    ASSERT_TRUE(again.ok) << again.errorLine << ": " << again.error << "\n" << written;
    std::size_t k = 0;
    for (const RegFileKey& key : parsed.keys) {
      if (key.remove) continue;
      ASSERT_LT(k, again.keys.size());
      std::size_t v = 0;
      for (const RegFileValue& value : key.values) {
        if (value.remove) continue;
        ASSERT_LT(v, again.keys[k].values.size());
        EXPECT_EQ(again.keys[k].values[v].name, value.name);
        EXPECT_EQ(again.keys[k].values[v].value.type, value.value.type);
        EXPECT_EQ(again.keys[k].values[v].value.data, value.value.data);
        ++v;
      }
      ++k;
    }
  }
  EXPECT_GT(accepted, 0u) << "the mutations never produced a valid file";
}

}  // namespace
}  // namespace uv::tools
