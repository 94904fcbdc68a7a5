#include "tools/usbvantrel-reg/RegFile.h"

#include <gtest/gtest.h>

#include <cstdio>
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
  // The machine's texts are UTF-8.
  EXPECT_EQ(parsed.keys[0].values[0].value.data, (Bytes{0xC3, 0xA9, 0}));
}

// What a parse keeps, one line per key and value, and the numbers of the lines it skipped.
std::string Describe(const RegFileParse& parsed) {
  std::string out;
  for (const RegFileKey& key : parsed.keys) {
    out += (key.remove ? "[-" : "[") + key.path + "]";
    for (const RegFileValue& value : key.values) {
      out += " " + (value.name.empty() ? std::string("@") : value.name) + "=";
      if (value.remove) {
        out += "-";
        continue;
      }
      out += std::to_string(static_cast<unsigned>(value.value.type)) + ":";
      char digits[4];
      for (std::uint8_t byte : value.value.data) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        out += digits;
      }
    }
    out += ";";
  }
  out += " skipped";
  for (const RegFileSkip& skip : parsed.skipped) {
    EXPECT_FALSE(skip.why.empty());
    out += " " + std::to_string(skip.line);
  }
  return out;
}

TEST(RegFileTest, HeaderVariants) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"Windows Registry Editor Version 5.00\r\n", true},
      {"REGEDIT4\n", true},
      {"REGEDIT4", true},
      {"  REGEDIT4 \t\n", true},
      {"\xEF\xBB\xBFREGEDIT4\n", true},
      {"REGEDIT\n", true},  // the oldest format: read, but it holds nothing for HKLM
      {"", false},
      {"\nREGEDIT4\n", false},  // the header must be the first line
      {"\n\nWindows Registry Editor Version 5.00\n", false},
      {"REGEDIT5\n", false},
      {"REGEDIT 4\n", false},
      {"REGEDIT4 x\n", false},
      {"regedit4\n", false},
      {"Windows Registry Editor Version 4.00\n", false},
      {"Windows Registry Editor Version 5\n", false},
      {"Windows Registry Editor version 5.00\n", false},
  };
  for (const auto& c : cases) {
    const RegFileParse parsed = ParseRegFile(c.text);
    EXPECT_EQ(parsed.ok, c.ok) << c.text;
    if (!parsed.ok) {
      EXPECT_EQ(parsed.errorLine, 1u) << c.text;
      EXPECT_FALSE(parsed.error.empty());
      EXPECT_TRUE(parsed.keys.empty());
    }
  }
  EXPECT_EQ(Describe(ParseRegFile("REGEDIT\nHKEY_CLASSES_ROOT\\x = y\n")), " skipped 2");
}

// Each file is read line by line; what cannot be read is skipped by its number, the rest kept.
TEST(RegFileTest, SkipsWhatItCannotReadAndKeepsTheRest) {
  const struct {
    const char* body;  // after a REGEDIT4 header line
    const char* expected;
  } cases[] = {
      {"\"v\"=\"x\"\n[HKEY_LOCAL_MACHINE\\A]\n\"w\"=\"y\"\n", "[A] w=1:7900; skipped 2"},
      {"[HKEY_CURRENT_USER\\A]\n\"v\"=\"x\"\n[HKEY_LOCAL_MACHINE\\B]\n", "[B]; skipped 2 3"},
      {"[HKEY_LOCAL_MACHIN\\A]\n\"v\"=\"x\"\n", " skipped 2 3"},
      {"[HKLM\\A]\n", " skipped 2"},
      {"[HKEY_LOCAL_MACHINE\\A\n\"v\"=\"x\"\n", " skipped 2 3"},
      {"[HKEY_LOCAL_MACHINE\\A\\\\B]\n", " skipped 2"},
      {"[HKEY_LOCAL_MACHINE\\A] junk\n", " skipped 2"},
      {"[HKEY_LOCAL_MACHINE\\A\\] ; the key\n", "[A]; skipped"},
      {"[-HKEY_LOCAL_MACHINE]\n", " skipped 2"},
      {"[-HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"x\"\n[HKEY_LOCAL_MACHINE\\A]\n\"w\"=-\n",
       "[-A];[A] w=-; skipped 3"},
      {"[HKEY_LOCAL_MACHINE\\A]\n# not a comment\n; a comment\n\"v\"=dword:1 ; one\n",
       "[A] v=4:01000000; skipped 3"},
      {"[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"unterminated\n\"b\"=\"bad \\n escape\"\n"
       "\"c\"=\"x\" trailing\n\"d\"=\"x\" ; fine\n",
       "[A] d=1:7800; skipped 3 4 5"},
      {"[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:\n\"b\"=dword:123456789\n\"c\"=dword:12g\n"
       "\"d\"=dword:ffffffff\n",
       "[A] d=4:ffffffff; skipped 3 4 5"},
      {"[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:1,,2\n\"b\"=hex:123\n\"c\"=hex(q):12\n\"d\"=hex(2\n"
       "\"e\"=hex(100000000):00\n\"f\"=hex(ffffffff):00,\n",
       "[A] f=4294967295:00; skipped 3 4 5 6 7"},
      {"[HKEY_LOCAL_MACHINE\\A]\n\"a\"=string\n\"b\"\nv=1\n@=\"d\"\n",
       "[A] @=1:6400; skipped 3 4 5"},
      // Continuations: comment lines between them are left out, also after the "\".
      {"[HKEY_LOCAL_MACHINE\\A]\n\"m\"=hex(7):4c,69,\\\n  ;comment\n  6e,\\;comment\n  65,00,00\n",
       "[A] m=7:4c696e650000; skipped"},
      // A line ending without "\" ends the value; its would-be continuation is dropped.
      {"[HKEY_LOCAL_MACHINE\\A]\n\"m\"=hex:01,02,;comment\n  03,04\n\"n\"=hex:05\n",
       "[A] m=3:0102 n=3:05; skipped 4"},
      // A continuation meeting a blank line, a "#" line, another value or the end drops the
      // value; the breaking line is read for itself.
      {"[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n\n  02\n", "[A]; skipped 3 5"},
      {"[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n#x\n  02\n", "[A]; skipped 3 4 5"},
      {"[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n\"b\"=\"x\"\n", "[A] b=1:7800; skipped 3"},
      {"[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n", "[A]; skipped 3"},
      // A file that is not UTF-16 carries its text payloads as the bytes they are.
      {"[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex(2):25,50,25,00\n", "[A] x=2:25502500; skipped"},
  };
  for (const auto& c : cases) {
    const RegFileParse parsed = ParseRegFile(std::string("REGEDIT4\n") + c.body);
    ASSERT_TRUE(parsed.ok) << c.body;
    EXPECT_EQ(Describe(parsed), c.expected) << c.body;
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
      {"utf8 \xC3\xA9", RegValue{RegType::kSz, Bytes{'Z', 0xC3, 0xBC, 'r', 0}}},
      {"not utf8", RegValue{RegType::kSz, Bytes{0xFF, 0xC3, '"', 0xED, 0xA0, 0x80, 0}}},
      {"expand", RegValue{RegType::kExpandSz, Bytes{'%', 'P', '%', 0xF0, 0x9F, 0x98, 0x80, 0}}},
      {"multi-bare", RegValue{RegType::kMultiSz, Bytes{'u', '1', ',', 0xE9}}},
      {"sz-odd", RegValue{RegType::kSz, Bytes{'a', 0, 'b'}}},
      {"qword", RegValue{RegType::kQword, Bytes{1, 2, 3, 4, 5, 6, 7, 8}}},
      {"none", RegValue{RegType::kNone, Bytes{'t', 0}}},
  };
  std::string text(kRegFileHeader);
  text += "\r\n\r\n";
  AppendRegFileKey(text, "Some\\Key", values);
  const RegFileParse parsed = ParseRegFile(EncodeRegFile(text));
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
    for (const RegFileSkip& skip : parsed.skipped) EXPECT_GE(skip.line, 2u);
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
    const RegFileParse again = ParseRegFile(EncodeRegFile(written));
    EXPECT_TRUE(again.skipped.empty()) << written;
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
