// The registry tool against the system tool's behaviour, one table per verb: command line,
// exit code, and the stored type and bytes or the output.

#include <gtest/gtest.h>

#include "platform/registry/Registry.h"
#include "tests/regtool/RegToolHarness.h"

namespace uv::tools {
namespace {

using platform::Registry;
using platform::RegKey;
using platform::RegValue;
using test::ToolRoot;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kSettings = "Software\\Quorrel\\USB Vantrel Client\\Settings";

// The value as stored, or type 0xFFFF when it is missing.
RegValue Stored(const ToolRoot& root, const std::string& path, const std::string& name) {
  auto registry = Registry::Open(root.db());
  if (!registry) return {static_cast<platform::RegType>(0xFFFF), {}};
  auto key = RegKey::Open(**registry, path);
  if (!key) return {static_cast<platform::RegType>(0xFFFF), {}};
  auto value = key->QueryValue(name);
  if (!value) return {static_cast<platform::RegType>(0xFFFF), {}};
  return *value;
}

TEST(RegToolConformanceTest, HelpOnEveryVerbWithEverySpelling) {
  ToolRoot root;
  for (const char* verb : {"", "add", "QUERY", "delete", "Export", "import"}) {
    for (const char* help : {"/?", "-?", "/h", "/H", "-h", "-H"}) {
      std::vector<std::string> args;
      if (*verb) args.push_back(verb);
      args.push_back(help);
      const test::ToolRun run = root.Run(args);
      EXPECT_EQ(run.code, 0) << verb << " " << help;
      EXPECT_NE(run.out.find("usbvantrel-reg"), std::string::npos) << verb << " " << help;
    }
  }
  EXPECT_NE(root.Run({"/?"}).out.find("LF"), std::string::npos) << "the deliberate difference";
}

TEST(RegToolConformanceTest, AddStoresWhatTheSystemToolStores) {
  const struct {
    std::vector<std::string> args;  // after "add KEY"
    int code;
    std::string name;
    std::uint32_t type;
    Bytes data;
  } cases[] = {
      {{}, 0, "", 1, {0}},  // the key alone gets an empty default value
      {{"/v", "b", "/t", "REG_BINARY", "/d", "abc"}, 0, "b", 3, {0x0a, 0xbc}},
      {{"/v", "b", "/t", "REG_BINARY", "/d", "f"}, 0, "b", 3, {0x0f}},
      {{"/v", "d", "/t", "REG_DWORD"}, 1, "d", 0xFFFF, {}},
      {{"/v", "d", "/t", "REG_DWORD_LITTLE_ENDIAN", "/d", "0x01020304"}, 0, "d", 4, {4, 3, 2, 1}},
      {{"/v", "e", "/t", "REG_DWORD_BIG_ENDIAN", "/d", "0x01020304"}, 0, "e", 5, {1, 2, 3, 4}},
      {{"/v", "q", "/t", "REG_QWORD", "/d", "0x1122334455667788"},
       0,
       "q",
       11,
       {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
      {{"/v", "q", "/t", "REG_QWORD", "/d", "18446744073709551616"}, 1, "q", 0xFFFF, {}},
      {{"/v", "q", "/t", "REG_QWORD"}, 1, "q", 0xFFFF, {}},
      {{"/v", "n", "/t", "REG_NONE", "/d", "ab"}, 0, "n", 0, {'a', 'b', 0}},
      {{"/v", "n", "/t", "REG_NONE"}, 0, "n", 0, {}},
      {{"/v", "m", "/t", "REG_MULTI_SZ", "/d", "\\0"}, 0, "m", 7, {0, 0}},
      {{"/v", "m", "/t", "REG_MULTI_SZ", "/s", "#", "/d", "#"}, 0, "m", 7, {0, 0}},
      {{"/v", "m", "/t", "REG_MULTI_SZ", "/d", "a\\0b\\0"}, 0, "m", 7, {'a', 0, 'b', 0, 0}},
      {{"/v", "s", "/d", "x", "/reg:64"}, 0, "s", 1, {'x', 0}},
      {{"/v", "s", "/d", "x", "/reg:32", "/reg:64"}, 1, "s", 0xFFFF, {}},
  };
  for (const auto& c : cases) {
    ToolRoot root;
    std::vector<std::string> args = {"add", std::string("HKLM\\") + kSettings};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string joined;
    for (const auto& arg : c.args) joined += arg + " ";
    EXPECT_EQ(root.Run(args).code, c.code) << joined;
    const RegValue value = Stored(root, kSettings, c.name);
    EXPECT_EQ(static_cast<std::uint32_t>(value.type), c.type) << joined;
    EXPECT_EQ(value.data, c.data) << joined;
  }
  // The hive itself, with its trailing backslash.
  ToolRoot root;
  EXPECT_EQ(root.Run({"add", "HKLM\\", "/v", "AtRoot", "/d", "x", "/f"}).code, 0);
  EXPECT_EQ(Stored(root, "", "AtRoot").data, (Bytes{'x', 0}));
  // An existing default value stays when the key is added again.
  EXPECT_EQ(root.Run({"add", "HKLM\\K", "/ve", "/d", "keep"}).code, 0);
  EXPECT_EQ(root.Run({"add", "HKLM\\K"}).code, 0);
  EXPECT_EQ(Stored(root, "K", "").data, (Bytes{'k', 'e', 'e', 'p', 0}));
}

TEST(RegToolConformanceTest, QueryRecursiveHeadersAndSystemOrder) {
  ToolRoot root;
  for (const char* key : {"HKLM\\Q\\b", "HKLM\\Q\\A\\x", "HKLM\\Q\\_u", "HKLM\\Q\\C"}) {
    ASSERT_EQ(root.Run({"add", key}).code, 0);
  }
  // Q and Q\A were made as parents: they hold no values.
  ASSERT_EQ(root.Run({"add", "HKLM\\Q\\C", "/v", "big", "/t", "REG_QWORD", "/d", "0x10"}).code, 0);
  EXPECT_EQ(root.Run({"query", "HKLM\\Q", "/s"}).out,
            "\n"
            "HKEY_LOCAL_MACHINE\\Q\n"
            "HKEY_LOCAL_MACHINE\\Q\\A\n"
            "HKEY_LOCAL_MACHINE\\Q\\A\\x\n"
            "    (Default)    REG_SZ    \n"
            "\n"
            "HKEY_LOCAL_MACHINE\\Q\\b\n"
            "    (Default)    REG_SZ    \n"
            "\n"
            "HKEY_LOCAL_MACHINE\\Q\\C\n"
            "    (Default)    REG_SZ    \n"
            "    big    REG_QWORD    0x10\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\Q\\_u\n"
            "    (Default)    REG_SZ    \n"
            "\n");
  EXPECT_EQ(root.Run({"query", "HKLM\\Q"}).out,
            "\nHKEY_LOCAL_MACHINE\\Q\\A\nHKEY_LOCAL_MACHINE\\Q\\b\nHKEY_LOCAL_MACHINE\\Q\\C\n"
            "HKEY_LOCAL_MACHINE\\Q\\_u\n");
}

TEST(RegToolConformanceTest, ExportIsTheEditorsFile) {
  ToolRoot root;
  {
    auto registry = Registry::Open(root.db());
    ASSERT_TRUE(registry);
    auto key = RegKey::Create(**registry, "S");
    ASSERT_TRUE(key);
    ASSERT_EQ(key->SetString("Empty", ""), 0u);
    ASSERT_EQ(key->SetString("Path", "%PATH%", platform::RegType::kExpandSz), 0u);
    ASSERT_TRUE(RegKey::Create(**registry, "S\\zeta"));
    ASSERT_TRUE(RegKey::Create(**registry, "S\\Alpha"));
  }
  const auto file = root.scratch("s.reg");
  ASSERT_EQ(root.Run({"export", "HKLM\\S", file.string()}).code, 0);
  EXPECT_EQ(test::ReadRegFile(file),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\S]\r\n"
            "\"Empty\"=\"\"\r\n"
            "\"Path\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\S\\Alpha]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\S\\zeta]\r\n\r\n");
  // /y belongs to export only.
  EXPECT_EQ(root.Run({"import", file.string(), "/y"}).code, 1);
  EXPECT_EQ(root.Run({"add", "HKLM\\S", "/y"}).code, 1);
}

TEST(RegToolConformanceTest, ImportFixturesLineByLine) {
  const std::filesystem::path fixtures = REGTOOL_FIXTURES;
  ToolRoot root;
  ASSERT_EQ(root.Run({"add", "HKLM\\Software\\Quorrel\\Old", "/v", "v", "/d", "x"}).code, 0);
  test::ToolRun run = root.Run({"import", (fixtures / "circulating.reg").string()});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "The operation completed successfully.\n");
  std::string lines;
  for (std::size_t at = run.err.find(", line "); at != std::string::npos;
       at = run.err.find(", line ", at + 1)) {
    lines += run.err.substr(at + 7, run.err.find(' ', at + 7) - at - 7) + " ";
  }
  EXPECT_EQ(lines, "6 8 14 15 16 17 18 20 23 ") << run.err;
  const struct {
    const char* name;
    std::uint32_t type;
    Bytes data;
  } expected[] = {
      {"ServerIP", 1, {'1', '9', '2', '.', '1', '6', '8', '.', '1', '.', '1', '0', 0}},
      {"BlockUSB", 4, {1, 0, 0, 0}},
      {"Broken", 0xFFFF, {}},
      {"Path", 2, {'%', 'P', 'A', 'T', 'H', '%', 0}},
      {"Long", 3, {1, 2, 3, 4}},
      {"Cut", 3, {5, 6}},
  };
  for (const auto& e : expected) {
    const RegValue value = Stored(root, kSettings, e.name);
    EXPECT_EQ(static_cast<std::uint32_t>(value.type), e.type) << e.name;
    EXPECT_EQ(value.data, e.data) << e.name;
  }
  EXPECT_EQ(Stored(root, "Software\\Quorrel\\Later", "Kept").data, (Bytes{'y', 0}));
  EXPECT_EQ(root.Run({"query", "HKLM\\Software\\Quorrel\\Old"}).code, 1);

  // The editor's own UTF-16 file: text payloads decode to the machine's UTF-8.
  run = root.Run({"import", (fixtures / "regedit.utf16.reg").string()});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Stored(root, kSettings, "RunExe").data, (Bytes{'%', 'P', 'A', 'T', 'H', '%', 0}));
  EXPECT_EQ(Stored(root, kSettings, "Z\xC3\xBCrich").data, (Bytes{0xC3, 0xA9, 't', 0xC3, 0xA9, 0}));
  EXPECT_EQ(Stored(root, kSettings, "List").data, (Bytes{'a', 0, 'b', 0, 0}));
  EXPECT_EQ(Stored(root, kSettings, "Text").data, (Bytes{'x', 0}));
  EXPECT_EQ(Stored(root, kSettings, "Big").data, (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
}

// What the agent and the console store comes back byte for byte through export and import.
TEST(RegToolConformanceTest, ProgramValuesSurviveExportAndImport) {
  ToolRoot root;
  const std::string white = std::string(kSettings) + "\\WhiteList";
  const struct {
    std::string path;
    std::string name;
    platform::RegType type;
    Bytes data;
  } values[] = {
      {kSettings, "ServerIP", platform::RegType::kSz, {'1', '0', '.', '0', '.', '0', '.', '1', 0}},
      {kSettings, "BlockUSB", platform::RegType::kDword, {1, 0, 0, 0}},
      {kSettings, "RunExe", platform::RegType::kSz, {'N', 'o', 'n', 'e', 0}},
      {white, "UserDetails", platform::RegType::kMultiSz, {'a', 'l', 'i', 'c', 'e', ',', 'b'}},
      {white, "DeviceDetails", platform::RegType::kMultiSz, {'v', 0xC3, 0xA9, 0, 'w', 0, 0}},
      {white, "MakeDetails", platform::RegType::kMultiSz, {}},
      {"Software\\Quorrel\\USB Vantrel Server\\Settings",
       "LogFile",
       platform::RegType::kSz,
       {'/', 'v', 'a', 'r', '/', 0xFF, 0}},
  };
  {
    auto registry = Registry::Open(root.db());
    ASSERT_TRUE(registry);
    for (const auto& v : values) {
      auto key = RegKey::Create(**registry, v.path);
      ASSERT_TRUE(key);
      ASSERT_EQ(key->SetValue(v.name, v.type, v.data), 0u);
    }
  }
  const auto file = root.scratch("all.reg");
  ASSERT_EQ(root.Run({"export", "HKLM\\Software", file.string()}).code, 0);
  ASSERT_EQ(root.Run({"delete", "HKLM\\Software", "/f"}).code, 0);
  const test::ToolRun run = root.Run({"import", file.string()});
  ASSERT_EQ(run.code, 0);
  EXPECT_EQ(run.err, "");
  for (const auto& v : values) {
    const RegValue value = Stored(root, v.path, v.name);
    EXPECT_EQ(value.type, v.type) << v.name;
    EXPECT_EQ(value.data, v.data) << v.name;
  }
}

}  // namespace
}  // namespace uv::tools
