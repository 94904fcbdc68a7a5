// Loading, checking and storing the console settings on a machine root of its own.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "server/dialogs/settings/ServerSettings.h"
#include "tests/support/TempDir.h"

namespace uv::server {
namespace {

using platform::RegKey;
using platform::RegType;

class TempMachine : public ::testing::Test {
 protected:
  RegKey Key() {
    auto reg = machine_->OpenRegistry();
    EXPECT_TRUE(reg.ok());
    auto key = RegKey::Create(**reg, kServerSettingsKey);
    EXPECT_TRUE(key.ok());
    return std::move(*key);
  }
  bool HasKey() {
    auto reg = machine_->OpenRegistry();
    return reg.ok() && RegKey::Open(**reg, kServerSettingsKey).ok();
  }
  std::string Text(std::string_view name) {
    auto v = Key().QueryString(name);
    return v.ok() ? *v : std::string("<missing>");
  }
  std::uint32_t Dword(std::string_view name) {
    auto v = Key().QueryDword(name);
    return v.ok() ? *v : 0xDEADBEEFu;
  }

  test::TempDir dir_{"uv-settings"};
  const std::filesystem::path& root_ = dir_.path();
  std::unique_ptr<platform::Machine> machine_ = std::make_unique<platform::Machine>(root_);
};

// ---------------------------------------------------------------------------------------------

struct AddressCase {
  const char* address;
  bool valid;
};

class EmailAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(EmailAddress, Check) {
  EXPECT_EQ(IsValidEmailAddress(GetParam().address), GetParam().valid) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, EmailAddress,
    ::testing::Values(
        AddressCase{"admin@example.com", true}, AddressCase{"_admin@example.com", true},
        AddressCase{"ad_min@ex_ample.com", true}, AddressCase{"a@b.c", true},
        AddressCase{"9@x.y", true},
        // the at sign may stand anywhere after the first character
        AddressCase{"a.b@c", true}, AddressCase{"ab.c@", true}, AddressCase{"", false},
        AddressCase{"@example.com", false}, AddressCase{".a@example.com", false},
        AddressCase{"ad-min@example.com", false}, AddressCase{"admin@example..com", false},
        AddressCase{"admin@example.com.", false}, AddressCase{"admin@example", false},
        AddressCase{"ad@min@example.com", false}, AddressCase{"admin example@x.com", false},
        AddressCase{"admin+x@example.com", false}));

TEST(IpAddressText, DotAndNoLetter) {
  EXPECT_TRUE(IsIpAddressText("192.168.1.1"));
  EXPECT_TRUE(IsIpAddressText("1.2"));
  EXPECT_TRUE(IsIpAddressText("."));
  EXPECT_FALSE(IsIpAddressText("mail.example.com"));
  EXPECT_FALSE(IsIpAddressText("smtphost"));
  EXPECT_FALSE(IsIpAddressText("19216811"));
  EXPECT_FALSE(IsIpAddressText("10.0.0.1a"));
}

// ---------------------------------------------------------------------------------------------

TEST_F(TempMachine, MissingKeyGivesEveryDefault) {
  const ServerSettings s = LoadServerSettings(*machine_, "/x/USBVantrelServer.log");
  EXPECT_EQ(s, ServerSettings{});
  EXPECT_EQ(s.smtpPort, "25");
  EXPECT_EQ(s.msgFilterFlags, 0xFFFFFFFFu);
  EXPECT_EQ(s.msgFilterFlagsExtra, 0xFFFFFFFFu);
  EXPECT_EQ(s.serverMode, kServerModeNone);
  // The default log path applies only when the key exists and holds an empty path.
  EXPECT_EQ(s.logFilePath, "");
}

TEST_F(TempMachine, LoadsStoredValues) {
  RegKey key = Key();
  ASSERT_EQ(key.SetDword(kValSendMail, 1), 0u);
  ASSERT_EQ(key.SetString(kValMailTo, "to@example.com"), 0u);
  ASSERT_EQ(key.SetString(kValMailFrom, "from@example.com"), 0u);
  ASSERT_EQ(key.SetString(kValSmtpPort, "2525"), 0u);
  ASSERT_EQ(key.SetString(kValServerIp, "192.168.1.1"), 0u);
  ASSERT_EQ(key.SetDword(kValSmtpAuth, 7), 0u);  // any non-zero value switches on
  ASSERT_EQ(key.SetString(kValSmtpAuthUserName, "ann"), 0u);
  ASSERT_EQ(key.SetString(kValSmtpAuthPasswd, "p a s s"), 0u);
  ASSERT_EQ(key.SetDword(kValDisableBalloonMsg, 1), 0u);
  ASSERT_EQ(key.SetDword(kValEnableLog, 1), 0u);
  ASSERT_EQ(key.SetString(kValLogFilePath, "/var/log/console.log"), 0u);
  ASSERT_EQ(key.SetDword(kValPlaySound, 1), 0u);
  ASSERT_EQ(key.SetString(kValWavFile, "/snd/a.wav"), 0u);
  ASSERT_EQ(key.SetDword(kValDisallowClientConfig, 1), 0u);
  ASSERT_EQ(key.SetDword(kValMsgFilterFlags, 0x3FFFFFFF), 0u);
  ASSERT_EQ(key.SetDword(kValMsgFilterFlagsExtra, 0), 0u);

  const ServerSettings s = LoadServerSettings(*machine_, "/default.log");
  EXPECT_TRUE(s.sendMail);
  EXPECT_EQ(s.mailTo, "to@example.com");
  EXPECT_EQ(s.mailFrom, "from@example.com");
  EXPECT_EQ(s.smtpPort, "2525");
  EXPECT_EQ(s.serverMode, kServerModeIp);
  EXPECT_FALSE(s.ipBlank);
  EXPECT_EQ(s.ip, (std::array<int, 4>{192, 168, 1, 1}));
  EXPECT_EQ(s.SmtpServer(), "192.168.1.1");
  EXPECT_TRUE(s.smtpAuth);
  EXPECT_EQ(s.userName, "ann");
  EXPECT_EQ(s.password, "p a s s");
  EXPECT_TRUE(s.disableBalloon);
  EXPECT_TRUE(s.enableLog);
  EXPECT_EQ(s.logFilePath, "/var/log/console.log");
  EXPECT_TRUE(s.playSound);
  EXPECT_EQ(s.wavFile, "/snd/a.wav");
  EXPECT_TRUE(s.disallowClientConfig);
  EXPECT_EQ(s.msgFilterFlags, 0x3FFFFFFFu);
  EXPECT_EQ(s.msgFilterFlagsExtra, 0u);
}

struct ServerCase {
  const char* stored;
  int mode;
  std::array<int, 4> ip;
  const char* name;
};

class StoredServer : public TempMachine, public ::testing::WithParamInterface<ServerCase> {};

TEST_P(StoredServer, LoadsAsAddressOrName) {
  ASSERT_EQ(Key().SetString(kValServerIp, GetParam().stored), 0u);
  const ServerSettings s = LoadServerSettings(*machine_, "");
  EXPECT_EQ(s.serverMode, GetParam().mode);
  EXPECT_EQ(s.ip, GetParam().ip);
  EXPECT_EQ(s.machineName, GetParam().name);
  EXPECT_EQ(s.ipBlank, GetParam().mode != kServerModeIp);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, StoredServer,
    ::testing::Values(ServerCase{"192.168.1.1", kServerModeIp, {192, 168, 1, 1}, ""},
                      ServerCase{
                          "mail.example.com", kServerModeName, {0, 0, 0, 0}, "mail.example.com"},
                      ServerCase{"smtphost", kServerModeName, {0, 0, 0, 0}, "smtphost"},
                      ServerCase{"", kServerModeName, {0, 0, 0, 0}, ""},
                      // up to four numbers; what the control cannot hold is brought into range
                      ServerCase{"10.20", kServerModeIp, {10, 20, 0, 0}, ""},
                      ServerCase{"1.2.3.4.5", kServerModeIp, {1, 2, 3, 4}, ""},
                      ServerCase{"300.-1.x", kServerModeName, {0, 0, 0, 0}, "300.-1.x"},
                      ServerCase{"300.-1.2.3", kServerModeIp, {255, 0, 2, 3}, ""}));

TEST_F(TempMachine, UnreadableValuesKeepTheirDefaults) {
  RegKey key = Key();
  // Wrong types.
  ASSERT_EQ(key.SetString(kValSendMail, "1"), 0u);
  ASSERT_EQ(key.SetDword(kValMailTo, 5), 0u);
  const std::uint8_t bytes[] = {1, 2, 3};
  ASSERT_EQ(key.SetValue(kValMsgFilterFlags, RegType::kBinary, bytes), 0u);
  ASSERT_EQ(key.SetString(kValMsgFilterFlagsExtra, "0"), 0u);
  ASSERT_EQ(key.SetMultiString(kValSmtpPort, {"26"}), 0u);
  // A text longer than the read buffer.
  ASSERT_EQ(key.SetString(kValMailFrom, std::string(kSettingReadBuffer, 'a')), 0u);
  // Exactly fills the buffer with its terminator: readable.
  ASSERT_EQ(key.SetString(kValWavFile, std::string(kSettingReadBuffer - 1, 'w')), 0u);
  ASSERT_EQ(key.SetString(kValLogFilePath, ""), 0u);

  const ServerSettings s = LoadServerSettings(*machine_, "/cwd/USBVantrelServer.log");
  EXPECT_FALSE(s.sendMail);
  EXPECT_EQ(s.mailTo, "");
  EXPECT_EQ(s.msgFilterFlags, 0xFFFFFFFFu);
  EXPECT_EQ(s.msgFilterFlagsExtra, 0xFFFFFFFFu);
  EXPECT_EQ(s.smtpPort, "25");
  EXPECT_EQ(s.mailFrom, "");
  EXPECT_EQ(s.wavFile, std::string(kSettingReadBuffer - 1, 'w'));
  EXPECT_EQ(s.logFilePath, "/cwd/USBVantrelServer.log");
}

TEST(DefaultPaths, LogPathIsCurrentDirectoryAndProgramName) {
  const auto expected = (std::filesystem::current_path() / "USBVantrelServer.log").string();
  EXPECT_EQ(DefaultLogPath("USBVantrelServer"), expected);
  // Without a name: this executable's name.
  EXPECT_EQ(std::filesystem::path(DefaultLogPath()).filename().string(),
            "server_ui_logic_test.log");
}

TEST_F(TempMachine, DefaultSoundFileIsOursInTheMediaFolder) {
  const std::string path = DefaultSoundFile(*machine_);
  EXPECT_EQ(path, (machine_->MediaDirectory() / "notify.wav").string());
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_GT(std::filesystem::file_size(path), 44u);  // more than a bare wave header
  // An existing file is left alone.
  std::filesystem::resize_file(path, 10);
  EXPECT_EQ(DefaultSoundFile(*machine_), path);
  EXPECT_EQ(std::filesystem::file_size(path), 10u);
}

// ---------------------------------------------------------------------------------------------

ServerSettings ValidMail() {
  ServerSettings v;
  v.sendMail = true;
  v.mailTo = "to@example.com";
  v.mailFrom = "from@example.com";
  v.smtpPort = "25";
  v.serverMode = kServerModeIp;
  v.ip = {10, 0, 0, 1};
  v.ipBlank = false;
  return v;
}

struct RefusalCase {
  const char* name;
  void (*change)(ServerSettings&);
  const char* message;
  int focus;
};

class ApplyRefuses : public TempMachine, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ApplyRefuses, WithMessageAndFocusAndWritesNothing) {
  ServerSettings v = ValidMail();
  v.enableLog = true;  // would be written by a successful Apply
  GetParam().change(v);
  const auto error = ApplyServerSettings(*machine_, v);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, GetParam().message);
  EXPECT_EQ(error->controlId, GetParam().focus);
  EXPECT_FALSE(HasKey());
}

INSTANTIATE_TEST_SUITE_P(
    Checks, ApplyRefuses,
    ::testing::Values(RefusalCase{"MailTo", [](ServerSettings& v) { v.mailTo = "a-b@x.com"; },
                                  "Please enter valid email-id", 1020},
                      // Mail To is checked first.
                      RefusalCase{"BothAddresses",
                                  [](ServerSettings& v) {
                                    v.mailTo = "";
                                    v.mailFrom = "";
                                  },
                                  "Please enter valid email-id", 1020},
                      RefusalCase{"MailFrom", [](ServerSettings& v) { v.mailFrom = "x@y"; },
                                  "Please enter valid email-id", 1022},
                      RefusalCase{"Port", [](ServerSettings& v) { v.smtpPort = ""; },
                                  "Please enter valid SMTP Port", 1115},
                      RefusalCase{"BlankIp", [](ServerSettings& v) { v.ipBlank = true; },
                                  "Invalid IP Address", 1025},
                      RefusalCase{"ZeroFirstAndLast",
                                  [](ServerSettings& v) {
                                    v.ip = {0, 12, 34, 0};
                                  },
                                  "Invalid IP Address", 1025},
                      RefusalCase{"NoModeChosen",
                                  [](ServerSettings& v) {
                                    v.serverMode = kServerModeNone;
                                    v.ipBlank = true;
                                  },
                                  "Invalid IP Address", 1025},
                      RefusalCase{"EmptyName",
                                  [](ServerSettings& v) {
                                    v.serverMode = kServerModeName;
                                    v.machineName = "";
                                  },
                                  "Invalid Machine Name", 1027},
                      RefusalCase{"NameWithBlank",
                                  [](ServerSettings& v) {
                                    v.serverMode = kServerModeName;
                                    v.machineName = "mail host";
                                  },
                                  "Invalid Machine Name", 1027},
                      RefusalCase{"UserName",
                                  [](ServerSettings& v) {
                                    v.smtpAuth = true;
                                    v.password = "pw";
                                  },
                                  "Please enter Username", 1042},
                      RefusalCase{"Password",
                                  [](ServerSettings& v) {
                                    v.smtpAuth = true;
                                    v.userName = "ann";
                                  },
                                  "Please enter Password", 1038}),
    [](const ::testing::TestParamInfo<RefusalCase>& p) { return std::string(p.param.name); });

TEST_F(TempMachine, ApplyWithMailWritesEveryValue) {
  ServerSettings v = ValidMail();
  v.ip = {0, 12, 34, 5};  // only first and last both 0 are refused
  v.machineName = "left over";
  v.smtpAuth = true;
  v.userName = "ann";
  v.password = "secret";
  v.enableLog = true;
  v.logFilePath = "/tmp/x.log";
  v.playSound = true;
  v.wavFile = "/snd/n.wav";
  v.disableBalloon = true;
  v.disallowClientConfig = false;
  ASSERT_FALSE(ApplyServerSettings(*machine_, v).has_value());

  EXPECT_EQ(v.machineName, "");  // the address mode empties the name
  EXPECT_EQ(Text(kValServerIp), "0.12.34.5");
  EXPECT_EQ(Text(kValMailTo), "to@example.com");
  EXPECT_EQ(Text(kValMailFrom), "from@example.com");
  EXPECT_EQ(Text(kValSmtpPort), "25");
  EXPECT_EQ(Dword(kValSendMail), 1u);
  EXPECT_EQ(Dword(kValSmtpAuth), 1u);
  EXPECT_EQ(Text(kValSmtpAuthUserName), "ann");
  EXPECT_EQ(Text(kValSmtpAuthPasswd), "secret");
  EXPECT_EQ(Dword(kValDisableBalloonMsg), 1u);
  EXPECT_EQ(Dword(kValEnableLog), 1u);
  EXPECT_EQ(Dword(kValPlaySound), 1u);
  EXPECT_EQ(Dword(kValDisallowClientConfig), 0u);
  EXPECT_EQ(Text(kValLogFilePath), "/tmp/x.log");
  EXPECT_EQ(Text(kValWavFile), "/snd/n.wav");
  // Texts are stored with their terminating zero byte.
  auto raw = Key().QueryValue(kValMailTo);
  ASSERT_TRUE(raw.ok());
  EXPECT_EQ(raw->type, RegType::kSz);
  EXPECT_EQ(raw->data.size(), std::string("to@example.com").size() + 1);
  EXPECT_EQ(raw->data.back(), 0);

  // What was written loads back the same.
  const ServerSettings loaded = LoadServerSettings(*machine_, "");
  EXPECT_EQ(loaded.ip, v.ip);
  EXPECT_EQ(loaded.serverMode, kServerModeIp);
  EXPECT_EQ(loaded.userName, "ann");
}

TEST_F(TempMachine, ApplyWithMachineNameClearsTheAddress) {
  ServerSettings v = ValidMail();
  v.serverMode = kServerModeName;
  v.machineName = "mail.example.com";
  ASSERT_FALSE(ApplyServerSettings(*machine_, v).has_value());
  EXPECT_TRUE(v.ipBlank);
  EXPECT_EQ(v.ip, (std::array<int, 4>{0, 0, 0, 0}));
  EXPECT_EQ(Text(kValServerIp), "mail.example.com");
  EXPECT_EQ(Dword(kValSmtpAuth), 0u);
  // Without authentication the user name and password are not written.
  EXPECT_EQ(Text(kValSmtpAuthUserName), "<missing>");
}

TEST_F(TempMachine, ApplyWithoutMailStoresOnlyTheSwitchAndKeepsTheRest) {
  RegKey key = Key();
  ASSERT_EQ(key.SetString(kValMailTo, "kept@example.com"), 0u);
  ASSERT_EQ(key.SetString(kValServerIp, "10.1.1.1"), 0u);
  ASSERT_EQ(key.SetDword(kValSendMail, 1), 0u);
  ServerSettings v;
  v.sendMail = false;
  v.mailTo = "not valid at all";  // not checked when mail is off
  v.enableLog = true;
  v.logFilePath = "/l.log";
  ASSERT_FALSE(ApplyServerSettings(*machine_, v).has_value());
  EXPECT_EQ(Dword(kValSendMail), 0u);
  EXPECT_EQ(Text(kValMailTo), "kept@example.com");
  EXPECT_EQ(Text(kValServerIp), "10.1.1.1");
  EXPECT_EQ(Dword(kValEnableLog), 1u);
  EXPECT_EQ(Text(kValLogFilePath), "/l.log");
  EXPECT_EQ(Text(kValWavFile), "");
}

TEST_F(TempMachine, AnUnusableRegistryGivesDefaultsAndStoresNothingSilently) {
  // A registry file that is not a registry cannot be opened: loading gives the defaults, Apply
  // succeeds for the running console without storing, the filter words report the failure.
  machine_.reset();
  {
    std::FILE* f = std::fopen((root_ / "registry.db").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("this is not a registry", f);
    std::fclose(f);
  }
  machine_ = std::make_unique<platform::Machine>(root_);
  ASSERT_FALSE(machine_->OpenRegistry().ok());
  EXPECT_EQ(LoadServerSettings(*machine_, "/d.log"), ServerSettings{});
  ServerSettings v = ValidMail();
  EXPECT_FALSE(ApplyServerSettings(*machine_, v).has_value());
  EXPECT_FALSE(StoreFilterWords(*machine_, 1, 2));
}

TEST_F(TempMachine, FilterWordsAreStoredAsDwords) {
  ASSERT_TRUE(StoreFilterWords(*machine_, 0x3FFFFFFF, 0x3FFFBFFF));
  EXPECT_EQ(Dword(kValMsgFilterFlags), 0x3FFFFFFFu);
  EXPECT_EQ(Dword(kValMsgFilterFlagsExtra), 0x3FFFBFFFu);
  const ServerSettings s = LoadServerSettings(*machine_, "");
  EXPECT_EQ(s.msgFilterFlags, 0x3FFFFFFFu);
  EXPECT_EQ(s.msgFilterFlagsExtra, 0x3FFFBFFFu);
}

TEST_F(TempMachine, HistoryBoundTakesTheStoredValueWithinItsLimits) {
  // Missing: the default. 0 means the default too (an unbounded History would let a flood of
  // reports exhaust the machine); values above the ceiling mean the ceiling.
  EXPECT_EQ(LoadServerSettings(*machine_, "x.log").maxHistoryRows, 1000000u);
  const struct {
    std::uint32_t stored;
    std::uint32_t bound;
  } kCases[] = {{0, 1000000},         {1, 1},
                {250000, 250000},     {10000000, 10000000},
                {10000001, 10000000}, {0xFFFFFFFFu, 10000000}};
  for (const auto& c : kCases) {
    ASSERT_EQ(Key().SetDword(kValMaxHistoryRows, c.stored), 0u);
    EXPECT_EQ(LoadServerSettings(*machine_, "x.log").maxHistoryRows, c.bound) << c.stored;
  }
  // A value of another type is no bound: the default stays.
  ASSERT_EQ(Key().SetString(kValMaxHistoryRows, "50"), 0u);
  EXPECT_EQ(LoadServerSettings(*machine_, "x.log").maxHistoryRows, 1000000u);
  // "Apply settings" takes a changed value from the registry, as it writes none itself.
  ASSERT_EQ(Key().SetDword(kValMaxHistoryRows, 42), 0u);
  ServerSettings values;
  EXPECT_FALSE(ApplyServerSettings(*machine_, values).has_value());
  EXPECT_EQ(values.maxHistoryRows, 42u);
  EXPECT_EQ(Dword(kValMaxHistoryRows), 42u);
}

}  // namespace
}  // namespace uv::server
