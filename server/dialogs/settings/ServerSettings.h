#pragma once
// The console's settings: the registry values under the console settings key, the values the
// main window holds once they are loaded (other parts of the console read them from here), the
// defaults, the checks "Apply settings" makes and the writing it does.
//
// Thread affinity: none; a ServerSettings is a plain value owned by the main window (UI thread).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace uv::platform {
class Machine;
}

namespace uv::server {

inline constexpr std::string_view kServerSettingsKey =
    "Software\\Quorrel\\USB Vantrel Server\\Settings";
inline constexpr const char* kServerCaption = "USB Vantrel! Server";

// Value names.
inline constexpr std::string_view kValSendMail = "SendMail";
inline constexpr std::string_view kValMailTo = "MailTo";
inline constexpr std::string_view kValMailFrom = "MailFrom";
inline constexpr std::string_view kValSmtpPort = "SMTPPort";
inline constexpr std::string_view kValServerIp = "ServerIP";
inline constexpr std::string_view kValSmtpAuth = "SmtpAuth";
inline constexpr std::string_view kValSmtpAuthUserName = "SmtpAuthUserName";
inline constexpr std::string_view kValSmtpAuthPasswd = "SmtpAuthPasswd";
inline constexpr std::string_view kValDisableBalloonMsg = "DisableBalloonMsg";
inline constexpr std::string_view kValEnableLog = "EnableLog";
inline constexpr std::string_view kValLogFilePath = "LogFilePath";
inline constexpr std::string_view kValPlaySound = "PlaySound";
inline constexpr std::string_view kValWavFile = "wavFile";
inline constexpr std::string_view kValDisallowClientConfig = "DisallowClientConfig";
inline constexpr std::string_view kValMsgFilterFlags = "MsgFilterFlags";
inline constexpr std::string_view kValMsgFilterFlagsExtra = "MsgFilterFlagsExtra";
inline constexpr std::string_view kValServerState = "ServerState";
// 1 = upgrade the SMTP connection with STARTTLS before AUTH LOGIN when the server offers it
// (the Settings tab's "Secure the connection (STARTTLS)"; stored with the other mail values).
inline constexpr std::string_view kValSmtpStartTls = "SmtpStartTls";
// The most rows the History keeps (REG_DWORD); beyond it the oldest rows leave the list (the log
// file and mail still get every event). 0 or a missing value means the default; values above
// kMaxHistoryRowsCeiling mean the ceiling. No control on the Settings tab: set it with the
// registry tool; it takes effect at start and at the next successful "Apply settings".
inline constexpr std::string_view kValMaxHistoryRows = "MaxHistoryRows";
inline constexpr std::uint32_t kDefaultMaxHistoryRows = 1000000;
// Ten million rows are some 2.3 GiB of History; a larger bound no longer protects the machine.
inline constexpr std::uint32_t kMaxHistoryRowsCeiling = 10000000;

// Texts are read into a buffer of this many bytes (terminator included): a longer stored text
// cannot be read and leaves its setting at the default.
inline constexpr std::size_t kSettingReadBuffer = 100;

// Server-address mode of the SMTP server.
inline constexpr int kServerModeNone = -1;  // neither radio chosen yet
inline constexpr int kServerModeIp = 0;
inline constexpr int kServerModeName = 1;

struct ServerSettings {
  std::string smtpPort = "25";
  std::string mailFrom;
  std::string mailTo;
  std::string machineName;
  std::array<int, 4> ip{0, 0, 0, 0};  // the IP address control's four fields
  bool ipBlank = true;                // the IP address control shows no address
  int serverMode = kServerModeNone;
  bool sendMail = false;
  bool smtpAuth = false;
  std::string userName;
  std::string password;
  bool smtpStartTls = false;
  bool disableBalloon = false;
  bool enableLog = false;
  std::string logFilePath;
  bool playSound = false;
  std::string wavFile;
  bool disallowClientConfig = false;
  std::uint32_t msgFilterFlags = 0xFFFFFFFFu;
  std::uint32_t msgFilterFlagsExtra = 0xFFFFFFFFu;
  std::uint32_t maxHistoryRows = kDefaultMaxHistoryRows;  // always 1..kMaxHistoryRowsCeiling

  // The SMTP server as the mail worker connects to it: the dotted address in IP mode, else
  // the machine name.
  std::string SmtpServer() const;

  bool operator==(const ServerSettings&) const = default;
};

// "<current directory>/<program name>.log". The program name is the executable's file name
// without extension; empty means this process's own.
std::string DefaultLogPath(std::string_view programName = {});

// "<Windows directory>/Media/notify.wav" of the machine. The sound we ship is put there when the
// file does not exist yet (failures to write it are silent: the path is returned anyway).
std::string DefaultSoundFile(platform::Machine& machine);

// A stored ServerIP is an IP address when it contains "." and no ASCII letter.
bool IsIpAddressText(std::string_view text);

// The console's e-mail address check: first character a letter, digit or "_"; only letters,
// digits, "_", "@" and "."; exactly one "@"; at least one "."; no ".." and no "." at the end.
bool IsValidEmailAddress(std::string_view address);

// The bound a stored MaxHistoryRows value means (see kValMaxHistoryRows).
std::uint32_t HistoryRowBound(std::uint32_t stored);

// Loads every value; a missing value, a value of another type or a text too long for the read
// buffer leaves its default. LogFilePath empty gives defaultLogPath. A registry or key that
// cannot be opened gives all defaults.
ServerSettings LoadServerSettings(platform::Machine& machine, std::string_view defaultLogPath);

// Why "Apply settings" refused: the message and the control that gets the focus.
struct SettingsError {
  std::string message;
  int controlId = 0;
  bool operator==(const SettingsError&) const = default;
};

// "Apply settings" on the values taken from the controls: checks them in order (the first
// failure is returned and nothing is written); on success completes the server text (IP mode
// empties the machine name, name mode clears the IP control), writes the values, and leaves
// `values` as the settings now in effect (SmtpStartTls and MaxHistoryRows read anew from the
// registry). A key that
// cannot be created stores nothing and reports nothing.
std::optional<SettingsError> ApplyServerSettings(platform::Machine& machine,
                                                 ServerSettings& values);

// Stores the two filter words (the filter dialog's "Save"). False when the key could not be
// created or a value not written.
bool StoreFilterWords(platform::Machine& machine, std::uint32_t flags, std::uint32_t extra);

}  // namespace uv::server
