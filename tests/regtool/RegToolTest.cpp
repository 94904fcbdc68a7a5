#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/registry/Registry.h"
#include "tests/regtool/RegToolHarness.h"

namespace uv::tools {
namespace {

using platform::RegAccess;
using platform::Registry;
using platform::RegKey;
using platform::RegType;
using test::ToolRoot;
using test::ToolRun;

constexpr const char* kSettings = "HKLM\\Software\\Quorrel\\USB Vantrel Client\\Settings";
constexpr const char* kSuccess = "The operation completed successfully.\n";
constexpr const char* kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.\n";

// Every key, value, type and byte below HKLM, in enumeration order: two equal snapshots mean
// an unchanged registry.
void Dump(const RegKey& key, std::string& out) {
  out += "[" + key.Path() + "]\n";
  for (std::uint32_t i = 0;; ++i) {
    auto value = key.EnumValue(i);
    if (!value) break;
    out += value->name + "=" + std::to_string(static_cast<unsigned>(value->value.type)) + ":";
    for (std::uint8_t byte : value->value.data) out += std::to_string(byte) + ",";
    out += "\n";
  }
  for (std::uint32_t i = 0;; ++i) {
    auto name = key.EnumKey(i);
    if (!name) break;
    auto sub = key.OpenSubKey(*name);
    if (sub) Dump(*sub, out);
  }
}

std::string Snapshot(const ToolRoot& root) {
  auto registry = Registry::Open(root.db());
  if (!registry) return "<unreadable>";
  auto hklm = RegKey::Open(**registry, "");
  std::string out;
  if (hklm) Dump(*hklm, out);
  return out;
}

class RegToolTest : public ::testing::Test {
 protected:
  ToolRun Ok(const std::vector<std::string>& args, const std::string& input = "") {
    ToolRun run = root_.Run(args, input);
    EXPECT_EQ(run.code, 0) << args[0] << ": " << run.err;
    return run;
  }
  ToolRoot root_;
};

TEST_F(RegToolTest, AddThenQueryShowsTheListingLayout) {
  EXPECT_EQ(Ok({"add", kSettings, "/v", "ServerIP", "/d", "127.0.0.2"}).out, kSuccess);
  Ok({"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "1"});
  Ok({"add", kSettings, "/v", "SystemIdleTime", "/t", "reg_dword", "/d", "0x1F"});
  Ok({"add", kSettings, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%SystemRoot%\\x"});
  Ok({"add", kSettings, "/v", "Bytes", "/t", "REG_BINARY", "/d", "00ff1A"});
  Ok({"add", kSettings, "/ve", "/d", "default text"});
  Ok({"add", std::string(kSettings) + "\\WhiteList", "/v", "UserDetails", "/t", "REG_MULTI_SZ",
      "/d", "alice\\0bob"});
  Ok({"add", std::string(kSettings) + "\\Other"});

  const ToolRun run = Ok({"query", kSettings});
  EXPECT_EQ(run.out,
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Quorrel\\USB Vantrel Client\\Settings\n"
            "    ServerIP    REG_SZ    127.0.0.2\n"
            "    BlockUSB    REG_DWORD    0x1\n"
            "    SystemIdleTime    REG_DWORD    0x1f\n"
            "    Path    REG_EXPAND_SZ    %SystemRoot%\\x\n"
            "    Bytes    REG_BINARY    00FF1A\n"
            "    (Default)    REG_SZ    default text\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Quorrel\\USB Vantrel Client\\Settings\\Other\n"
            "HKEY_LOCAL_MACHINE\\Software\\Quorrel\\USB Vantrel Client\\Settings\\WhiteList\n");
  EXPECT_EQ(run.err, "");

  // The stored bytes are the ones the agent reads.
  auto registry = Registry::Open(root_.db());
  ASSERT_TRUE(registry);
  auto white =
      RegKey::Open(**registry, "Software\\Quorrel\\USB Vantrel Client\\Settings\\WhiteList");
  ASSERT_TRUE(white);
  EXPECT_EQ(white->QueryValue("UserDetails")->data,
            (std::vector<std::uint8_t>{'a', 'l', 'i', 'c', 'e', 0, 'b', 'o', 'b', 0, 0}));
  auto settings = RegKey::Open(**registry, "Software\\Quorrel\\USB Vantrel Client\\Settings");
  EXPECT_EQ(settings->QueryDword("SystemIdleTime").value_or(0), 31u);
}

TEST_F(RegToolTest, QueryVariants) {
  Ok({"add", "HKEY_LOCAL_MACHINE\\Software\\Q", "/v", "Multi", "/t", "REG_MULTI_SZ", "/s", ",",
      "/d", "a,b,c"});
  Ok({"add", "HKLM\\Software\\Q\\Empty"});
  Ok({"add", "HKLM\\Software\\Q\\Deep\\Er", "/v", "Multi", "/d", "x"});

  EXPECT_EQ(Ok({"query", "hklm\\software\\q", "/v", "multi"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Q\n    multi    REG_MULTI_SZ    a\\0b\\0c\n\n");
  EXPECT_EQ(Ok({"query", "HKLM\\Software\\Q", "/ve"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Q\n    (Default)    REG_SZ    (value not set)\n\n");
  EXPECT_EQ(Ok({"query", "HKLM\\Software\\Q", "/s"}).out,
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Q\n"
            "    Multi    REG_MULTI_SZ    a\\0b\\0c\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Q\\Deep\n"
            "HKEY_LOCAL_MACHINE\\Software\\Q\\Deep\\Er\n"
            "    Multi    REG_SZ    x\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Q\\Empty\n"
            "    (Default)    REG_SZ    \n"
            "\n");
  EXPECT_EQ(Ok({"query", "HKLM\\Software\\Q", "/v", "Multi", "/s"}).out,
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Q\n"
            "    Multi    REG_MULTI_SZ    a\\0b\\0c\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\Software\\Q\\Deep\\Er\n"
            "    Multi    REG_SZ    x\n"
            "\n"
            "End of search: 2 match(es) found.\n");
  // A key without values lists only its subkeys.
  EXPECT_EQ(Ok({"query", "HKLM\\Software\\Q\\Deep"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Q\\Deep\\Er\n");

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"query", "HKLM\\Software\\Nope"},
        std::vector<std::string>{"query", "HKLM\\Software\\Q", "/v", "Nope"}}) {
    const ToolRun run = root_.Run(args);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, kNotFound);
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(RegToolTest, OverwriteAsksAndOnlyYesChangesTheValue) {
  Ok({"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "1"});
  const std::string before = Snapshot(root_);
  for (const char* answer : {"n\n", "", "maybe\n", "nope\n"}) {
    const ToolRun run =
        root_.Run({"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "0"}, answer);
    EXPECT_EQ(run.code, 1) << answer;
    EXPECT_EQ(run.out.rfind("Value BlockUSB exists, overwrite(Yes/No)? ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("The operation was canceled by the user."), std::string::npos);
    EXPECT_EQ(Snapshot(root_), before) << answer;
  }
  const ToolRun yes =
      root_.Run({"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "0"}, "Yes\n");
  EXPECT_EQ(yes.code, 0);
  EXPECT_NE(yes.out.find(kSuccess), std::string::npos);
  EXPECT_NE(Snapshot(root_), before);
  // /f does not ask; a new value is not asked about either.
  EXPECT_EQ(Ok({"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "1", "/f"}).out,
            kSuccess);
  EXPECT_EQ(Ok({"add", kSettings, "/v", "Fresh", "/d", "x"}).out, kSuccess);
  // Adding a key that exists is no question and no error.
  EXPECT_EQ(Ok({"add", kSettings}).out, kSuccess);
}

TEST_F(RegToolTest, DeleteValuesAndKeys) {
  Ok({"add", "HKLM\\Software\\D", "/v", "a", "/d", "1"});
  Ok({"add", "HKLM\\Software\\D", "/v", "b", "/d", "2"});
  Ok({"add", "HKLM\\Software\\D", "/ve", "/d", "3"});
  Ok({"add", "HKLM\\Software\\D\\Sub\\Deeper", "/v", "c", "/d", "4"});
  Ok({"add", "HKLM\\Software\\Dx", "/v", "keep", "/d", "5"});

  ToolRun run = root_.Run({"delete", "HKLM\\Software\\D", "/v", "a"}, "n\n");
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out.rfind("Delete the registry value a (Yes/No)? ", 0), 0u) << run.out;
  run = root_.Run({"delete", "HKLM\\Software\\D", "/v", "a"}, "y\n");
  EXPECT_EQ(run.code, 0);
  run = root_.Run({"delete", "HKLM\\Software\\D", "/v", "a", "/f"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, kNotFound);

  Ok({"delete", "HKLM\\Software\\D", "/ve", "/f"});
  EXPECT_EQ(Ok({"query", "HKLM\\Software\\D"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\D\n    b    REG_SZ    2\n\n"
            "HKEY_LOCAL_MACHINE\\Software\\D\\Sub\n");
  Ok({"add", "HKLM\\Software\\D", "/v", "z", "/d", "9"});
  run = root_.Run({"delete", "HKLM\\Software\\D", "/va"}, "y\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(
      run.out.rfind("Delete all values under the registry key HKEY_LOCAL_MACHINE\\Software\\D "
                    "(Yes/No)? ",
                    0),
      0u)
      << run.out;
  EXPECT_EQ(Ok({"query", "HKLM\\Software\\D"}).out, "\nHKEY_LOCAL_MACHINE\\Software\\D\\Sub\n");

  run = root_.Run({"delete", "HKLM\\Software\\D"}, "");
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out.rfind("Permanently delete the registry key HKEY_LOCAL_MACHINE\\Software\\D "
                          "(Yes/No)? ",
                          0),
            0u);
  Ok({"delete", "HKLM\\Software\\D", "/f"});
  EXPECT_EQ(root_.Run({"query", "HKLM\\Software\\D\\Sub\\Deeper"}).code, 1);
  EXPECT_EQ(Ok({"query", "HKLM\\Software\\Dx"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Dx\n    keep    REG_SZ    5\n\n");
  run = root_.Run({"delete", "HKLM\\Software\\D", "/f"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, kNotFound);
}

TEST_F(RegToolTest, BadArgumentsFailWithUsageAndChangeNothing) {
  Ok({"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "1"});
  const std::string before = Snapshot(root_);
  const std::string addSyntax = "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n"},
      {{"frobnicate", kSettings}, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n"},
      {{"add"}, addSyntax},
      {{"add", kSettings, "/v"}, addSyntax},
      {{"add", kSettings, "/v", "x", "/ve"}, addSyntax},
      {{"add", kSettings, "/v", "x", "/v", "y"}, addSyntax},
      {{"add", kSettings, "/v", "x", "/t", "REG_QWORD"}, addSyntax},
      {{"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "12abc", "/f"}, addSyntax},
      {{"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "4294967296", "/f"},
       addSyntax},
      {{"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "-1", "/f"}, addSyntax},
      {{"add", kSettings, "/v", "b", "/t", "REG_BINARY", "/d", "zz"}, addSyntax},
      {{"add", kSettings, "/v", "m", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, addSyntax},
      {{"add", kSettings, "/v", "m", "/t", "REG_SZ", "/s", ",", "/d", "a"}, addSyntax},
      {{"add", kSettings, "/v", "m", "/t", "REG_MULTI_SZ", "/s", ",,", "/d", "a"}, addSyntax},
      {{"add", kSettings, "/x"}, addSyntax},
      {{"add", kSettings, "extra"}, addSyntax},
      {{"add", "HKCU\\Software\\x"}, "ERROR: Invalid key name.\nType \"REG ADD /?\" for usage.\n"},
      {{"add", "HKLM\\Software\\\\x"},
       "ERROR: Invalid key name.\nType \"REG ADD /?\" for usage.\n"},
      {{"add", "\\\\other\\HKLM\\x"}, "ERROR: Invalid key name.\nType \"REG ADD /?\" for usage.\n"},
      {{"query", kSettings, "/v", "a", "/ve"},
       "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
      {{"query", kSettings, "/k"}, "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
      {{"delete", kSettings, "/v", "a", "/va"},
       "ERROR: Invalid syntax.\nType \"REG DELETE /?\" for usage.\n"},
      {{"delete", "HKLM", "/f"}, "ERROR: Invalid key name.\nType \"REG DELETE /?\" for usage.\n"},
      {{"export", kSettings}, "ERROR: Invalid syntax.\nType \"REG EXPORT /?\" for usage.\n"},
      {{"import"}, "ERROR: Invalid syntax.\nType \"REG IMPORT /?\" for usage.\n"},
      {{"import", "a.reg", "b.reg"}, "ERROR: Invalid syntax.\nType \"REG IMPORT /?\" for usage.\n"},
  };
  for (const auto& c : cases) {
    const ToolRun run = root_.Run(c.args);
    std::string joined;
    for (const auto& arg : c.args) joined += arg + " ";
    EXPECT_EQ(run.code, 1) << joined;
    EXPECT_EQ(run.err, c.err) << joined;
    EXPECT_EQ(run.out, "") << joined;
  }
  EXPECT_EQ(Snapshot(root_), before);
}

TEST_F(RegToolTest, BadArgumentsDoNotEvenCreateARegistry) {
  ToolRoot fresh;
  EXPECT_EQ(fresh.Run({"add", "HKLM\\x", "/t", "REG_DWORD", "/d", "x"}).code, 1);
  EXPECT_FALSE(std::filesystem::exists(fresh.db()));
}

TEST_F(RegToolTest, HelpExplainsEveryVerb) {
  const ToolRun general = Ok({"/?"});
  for (const char* verb : {"add", "query", "delete", "export", "import", "USBVANTREL_ROOT"}) {
    EXPECT_NE(general.out.find(verb), std::string::npos) << verb;
  }
  EXPECT_EQ(Ok({"--help"}).out, general.out);
  EXPECT_NE(Ok({"add", "/?"}).out.find("/t TYPE"), std::string::npos);
  EXPECT_NE(Ok({"DELETE", "-?"}).out.find("/va"), std::string::npos);
}

TEST_F(RegToolTest, ExportImportRoundTripKeepsExactBytes) {
  {
    auto registry = Registry::Open(root_.db());
    ASSERT_TRUE(registry);
    auto key = RegKey::Create(**registry, "Software\\Round \"Trip\"\\Inner");
    ASSERT_TRUE(key);
    std::vector<std::uint8_t> long_bytes(200);
    for (std::size_t i = 0; i < long_bytes.size(); ++i)
      long_bytes[i] = static_cast<std::uint8_t>(i);
    const std::string quoted = "say \"hi\" to C:\\dir\\";
    ASSERT_EQ(key->SetString("Text", quoted), 0u);
    ASSERT_EQ(key->SetString("", "default"), 0u);
    ASSERT_EQ(key->SetString("na\"me\\", "x"), 0u);
    ASSERT_EQ(key->SetString("Expand", "%PATH%;x", RegType::kExpandSz), 0u);
    ASSERT_EQ(key->SetMultiString("Multi", {"a", "b c"}), 0u);
    const std::string bare = "u1,u2";
    ASSERT_EQ(key->SetValue("Bare", RegType::kMultiSz,
                            std::vector<std::uint8_t>(bare.begin(), bare.end())),
              0u);
    ASSERT_EQ(key->SetValue("Unterminated", RegType::kSz,
                            std::vector<std::uint8_t>(bare.begin(), bare.end())),
              0u);
    ASSERT_EQ(key->SetValue("Lines", RegType::kSz, std::vector<std::uint8_t>{'a', '\n', 'b', 0}),
              0u);
    ASSERT_EQ(key->SetDword("Dword", 0xDEADBEEF), 0u);
    ASSERT_EQ(key->SetValue("Long", RegType::kBinary, long_bytes), 0u);
    ASSERT_EQ(key->SetValue("Empty", RegType::kBinary, std::vector<std::uint8_t>{}), 0u);
    ASSERT_EQ(key->SetValue("None", RegType::kNone, std::vector<std::uint8_t>{1, 2}), 0u);
    ASSERT_TRUE(RegKey::Create(**registry, "Software\\Round \"Trip\"\\Inner\\Leaf"));
    ASSERT_TRUE(RegKey::Create(**registry, "Software\\Round \"Trip\"\\Second"));
  }
  const std::string before = Snapshot(root_);
  const auto file = root_.scratch("out.reg");
  EXPECT_EQ(Ok({"export", "HKLM\\Software\\Round \"Trip\"", file.string()}).out, kSuccess);
  const std::string text = test::ReadRegFile(file);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
  EXPECT_NE(text.find("\"Text\"=\"say \\\"hi\\\" to C:\\\\dir\\\\\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Dword\"=dword:deadbeef\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Multi\"=hex(7):61,00,00,00,62,00,20,00,63,00,00,00,00,00\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("@=\"default\"\r\n"), std::string::npos);
  EXPECT_NE(text.find(",\\\r\n  "), std::string::npos) << "long hex data is wrapped";
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find("\r\n", start), text.size());
    EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    start = end + 2;
  }

  Ok({"delete", "HKLM\\Software\\Round \"Trip\"", "/f"});
  EXPECT_NE(Snapshot(root_), before);
  EXPECT_EQ(Ok({"import", file.string()}).out, kSuccess);
  EXPECT_EQ(Snapshot(root_), before);

  // Exporting over an existing file asks first; /y does not.
  const ToolRun asked = root_.Run({"export", "HKLM\\Software", file.string()}, "n\n");
  EXPECT_EQ(asked.code, 1);
  EXPECT_EQ(test::ReadRegFile(file), text);
  Ok({"export", "HKLM\\Software", file.string(), "/y"});
  EXPECT_NE(test::ReadRegFile(file), text);
  const ToolRun missing = root_.Run({"export", "HKLM\\Nope", root_.scratch("x.reg").string()});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, kNotFound);
  EXPECT_FALSE(std::filesystem::exists(root_.scratch("x.reg")));
}

TEST_F(RegToolTest, ImportAppliesHandWrittenFilesLineByLine) {
  Ok({"add", "HKLM\\Software\\Old", "/v", "gone", "/d", "x"});
  Ok({"add", "HKLM\\Software\\Keep", "/v", "drop", "/d", "x"});
  Ok({"add", "HKLM\\Software\\Keep", "/v", "stay", "/d", "y"});
  const auto good = root_.scratch("good.reg");
  test::WriteFile(good,
                  "Windows Registry Editor Version 5.00\r\n"
                  "\r\n"
                  "; settings of the test client\r\n"
                  "[HKEY_LOCAL_MACHINE\\Software\\Quorrel\\USB Vantrel Client\\Settings]\r\n"
                  "\"ServerIP\"=\"127.0.0.3\"\r\n"
                  "\"BlockUSB\"=dword:00000001\r\n"
                  "\"RunExe\"=hex(2):4e,6f,6e,65,00\r\n"
                  "\"Long\"=hex:01,02,\\\r\n"
                  "  03,04\r\n"
                  "@=\"d\"\r\n"
                  "\r\n"
                  "[-HKEY_LOCAL_MACHINE\\Software\\Old]\r\n"
                  "[hkey_local_machine\\Software\\Keep]\r\n"
                  "\"drop\"=-\r\n"
                  "\"never-there\"=-\r\n");
  EXPECT_EQ(Ok({"import", good.string()}).out, kSuccess);
  EXPECT_EQ(Ok({"query", kSettings}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Quorrel\\USB Vantrel Client\\Settings\n"
            "    ServerIP    REG_SZ    127.0.0.3\n"
            "    BlockUSB    REG_DWORD    0x1\n"
            "    RunExe    REG_EXPAND_SZ    None\n"
            "    Long    REG_BINARY    01020304\n"
            "    (Default)    REG_SZ    d\n\n");
  EXPECT_EQ(root_.Run({"query", "HKLM\\Software\\Old"}).code, 1);
  EXPECT_EQ(Ok({"query", "HKLM\\Software\\Keep"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Keep\n    stay    REG_SZ    y\n\n");

  // A bad line is skipped and named; the lines around it are applied.
  const auto bad = root_.scratch("bad.reg");
  test::WriteFile(bad,
                  "Windows Registry Editor Version 5.00\n\n"
                  "[HKEY_LOCAL_MACHINE\\Software\\New]\n"
                  "\"a\"=\"b\"\n"
                  "\"c\"=dword:123456789\n"
                  "\"d\"=dword:2\n");
  ToolRun run = root_.Run({"import", bad.string()});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out, kSuccess);
  EXPECT_EQ(run.err,
            "WARNING: " + bad.string() + ", line 5 skipped: a dword needs 1 to 8 hex digits.\n");
  EXPECT_EQ(Ok({"query", "HKLM\\Software\\New"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\\New\n    a    REG_SZ    b\n"
            "    d    REG_DWORD    0x2\n\n");

  // A file that is no registry file changes nothing.
  const std::string before = Snapshot(root_);
  test::WriteFile(bad, "\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Newer]\n");
  run = root_.Run({"import", bad.string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("line 1"), std::string::npos) << run.err;
  EXPECT_EQ(Snapshot(root_), before);

  run = root_.Run({"import", root_.scratch("absent.reg").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "ERROR: Error opening the file. There may be a disk or file system error.\n");
}

// ---------------------------------------------------------------------------------------------
// The real program.

TEST(RegToolProgramTest, RunsEndToEndOnItsMachineRoot) {
  ToolRoot root;
  ToolRun run = root.RunProgram({"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "1"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, kSuccess);
  EXPECT_TRUE(std::filesystem::exists(root.db()));

  run = root.RunProgram({"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "0"}, "n\n");
  EXPECT_EQ(run.code, 1);
  run = root.RunProgram({"query", kSettings, "/v", "BlockUSB"});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Quorrel\\USB Vantrel Client\\Settings\n"
            "    BlockUSB    REG_DWORD    0x1\n\n");

  const auto file = root.scratch("e.reg");
  EXPECT_EQ(root.RunProgram({"export", "HKLM\\Software", file.string()}).code, 0);
  EXPECT_EQ(root.RunProgram({"delete", "HKLM\\Software", "/f"}).code, 0);
  EXPECT_EQ(root.RunProgram({"query", kSettings}).err, kNotFound);
  EXPECT_EQ(root.RunProgram({"import", file.string()}).code, 0);
  EXPECT_EQ(root.RunProgram({"query", kSettings, "/v", "BlockUSB"}).out, run.out);

  run = root.RunProgram({"add"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n");
  EXPECT_EQ(root.RunProgram({"--help"}).code, 0);
}

TEST(RegToolProgramTest, AnUnprivilegedUserReadsButGetsAccessDenied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as nobody";
  ToolRoot root;
  ASSERT_EQ(root.Run({"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "1"}).code, 0);
  // The scratch files and the root must be reachable for nobody; the registry stays root's.
  std::filesystem::permissions(root.scratch(""), std::filesystem::perms::all);
  std::filesystem::permissions(
      root.root(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                       std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                       std::filesystem::perms::others_exec);
  const std::string before = Snapshot(root);

  ToolRun run = root.RunProgram({"query", kSettings, "/v", "BlockUSB"}, "", true);
  if (run.code == 126) GTEST_SKIP() << "the program cannot be started as nobody here";
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("BlockUSB    REG_DWORD    0x1"), std::string::npos);

  const auto file = root.scratch("nobody.reg");
  test::WriteFile(file,
                  "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\Software\\X]\n");
  const std::vector<std::vector<std::string>> writes = {
      {"add", kSettings, "/v", "BlockUSB", "/t", "REG_DWORD", "/d", "0", "/f"},
      {"add", "HKLM\\Software\\Intruder"},
      {"delete", kSettings, "/f"},
      {"delete", kSettings, "/v", "BlockUSB", "/f"},
      {"import", file.string()},
  };
  for (const auto& args : writes) {
    run = root.RunProgram(args, "", true);
    EXPECT_EQ(run.code, 1) << args[0];
    EXPECT_EQ(run.err, "ERROR: Access is denied.\n") << args[0];
  }
  EXPECT_EQ(Snapshot(root), before);
}

TEST(RegToolProgramTest, CorruptRegistryIsReportedByNameAndKept) {
  ToolRoot root;
  const std::string garbage(4096, '\x5a');
  test::WriteFile(root.db(), garbage);
  const ToolRun run = root.RunProgram({"add", "HKLM\\Software\\x", "/v", "a", "/d", "b"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err.rfind("ERROR: ", 0), 0u);
  EXPECT_NE(run.err.find(root.db().string()), std::string::npos) << run.err;
  EXPECT_EQ(test::ReadFile(root.db()), garbage);
}

}  // namespace
}  // namespace uv::tools
