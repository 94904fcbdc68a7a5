#include "server/dialogs/settings/ServerSettings.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "resources/server/StringTable.h"

namespace uv::server {
namespace {

using platform::RegAccess;
using platform::RegKey;
using platform::RegType;

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

// Text-to-integer: blanks, a sign, digits; stops at the first other character.
int TextToInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long value = 0;
  for (; i < text.size() && IsAsciiDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 1000000) break;  // far past any octet; keeps the value in range
  }
  return static_cast<int>(negative ? -value : value);
}

// A DWORD value, or nothing when it is missing or of another type.
std::optional<std::uint32_t> ReadDword(const RegKey& key, std::string_view name) {
  auto value = key.QueryDword(name);
  if (!value.ok()) return std::nullopt;
  return *value;
}

// A text value that fits the read buffer, or nothing.
std::optional<std::string> ReadText(const RegKey& key, std::string_view name) {
  auto raw = key.QueryValue(name);
  if (!raw.ok()) return std::nullopt;
  if (raw->type != RegType::kSz && raw->type != RegType::kExpandSz) return std::nullopt;
  if (raw->data.size() > kSettingReadBuffer) return std::nullopt;
  auto text = key.QueryString(name);
  if (!text.ok()) return std::nullopt;
  return *text;
}

std::string ProgramName() {
  if (QCoreApplication::instance() != nullptr) {
    const QString path = QCoreApplication::applicationFilePath();
    if (!path.isEmpty()) return QFileInfo(path).completeBaseName().toStdString();
  }
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("USBVantrelServer") : exe.stem().string();
}

std::string FormatIp(const std::array<int, 4>& ip) {
  char text[64];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
  return text;
}

}  // namespace

std::string ServerSettings::SmtpServer() const {
  return serverMode == kServerModeName ? machineName : FormatIp(ip);
}

std::string DefaultLogPath(std::string_view programName) {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::current_path(ec);
  if (ec) dir = ".";
  const std::string name = programName.empty() ? ProgramName() : std::string(programName);
  return (dir / (name + ".log")).string();
}

std::string DefaultSoundFile(platform::Machine& machine) {
  const std::filesystem::path target = machine.MediaDirectory() / "notify.wav";
  std::error_code ec;
  if (!std::filesystem::exists(target, ec)) {
    // The sound we ship; a failure leaves the path pointing at nothing, which plays nothing.
    InitServerResources();
    QFile shipped(QStringLiteral(":/server/notify.wav"));
    if (shipped.open(QIODevice::ReadOnly)) {
      const QByteArray bytes = shipped.readAll();
      QFile out(QString::fromStdString(target.string()));
      if (out.open(QIODevice::WriteOnly)) out.write(bytes);
    }
  }
  return target.string();
}

bool IsIpAddressText(std::string_view text) {
  return text.find('.') != std::string_view::npos &&
         std::none_of(text.begin(), text.end(), IsAsciiLetter);
}

bool IsValidEmailAddress(std::string_view address) {
  if (address.empty()) return false;
  const char first = address.front();
  if (!IsAsciiLetter(first) && !IsAsciiDigit(first) && first != '_') return false;
  int ats = 0;
  int dots = 0;
  for (std::size_t i = 0; i < address.size(); ++i) {
    const char c = address[i];
    if (c == '@') {
      ++ats;
    } else if (c == '.') {
      ++dots;
      if (i + 1 == address.size() || address[i + 1] == '.') return false;
    } else if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '_') {
      return false;
    }
  }
  return ats == 1 && dots >= 1;
}

std::uint32_t HistoryRowBound(std::uint32_t stored) {
  if (stored == 0) return kDefaultMaxHistoryRows;
  return std::min(stored, kMaxHistoryRowsCeiling);
}

ServerSettings LoadServerSettings(platform::Machine& machine, std::string_view defaultLogPath) {
  ServerSettings s;
  auto registry = machine.OpenRegistry();
  if (!registry.ok()) return s;
  auto opened = RegKey::Open(**registry, kServerSettingsKey, RegAccess::kRead);
  if (!opened.ok()) return s;
  const RegKey& key = *opened;

  const auto flag = [&key](std::string_view name, bool& member) {
    if (auto v = ReadDword(key, name)) member = *v != 0;
  };
  const auto text = [&key](std::string_view name, std::string& member) {
    if (auto v = ReadText(key, name)) member = std::move(*v);
  };

  flag(kValSendMail, s.sendMail);
  text(kValMailTo, s.mailTo);
  text(kValMailFrom, s.mailFrom);
  text(kValSmtpPort, s.smtpPort);
  flag(kValSmtpAuth, s.smtpAuth);
  text(kValSmtpAuthUserName, s.userName);
  text(kValSmtpAuthPasswd, s.password);
  flag(kValSmtpStartTls, s.smtpStartTls);

  if (auto server = ReadText(key, kValServerIp)) {
    if (IsIpAddressText(*server)) {
      s.serverMode = kServerModeIp;
      s.ip = {0, 0, 0, 0};
      std::size_t start = 0;
      for (int field = 0; field < 4; ++field) {
        const std::size_t dot = server->find('.', start);
        const std::string_view part = std::string_view(*server).substr(
            start, dot == std::string::npos ? std::string::npos : dot - start);
        // The address control holds bytes.
        s.ip[static_cast<std::size_t>(field)] = std::clamp(TextToInt(part), 0, 255);
        if (dot == std::string::npos) break;
        start = dot + 1;
      }
      s.ipBlank = false;
      s.machineName.clear();
    } else {
      s.serverMode = kServerModeName;
      s.machineName = *server;
    }
  }

  flag(kValDisableBalloonMsg, s.disableBalloon);
  flag(kValEnableLog, s.enableLog);
  text(kValLogFilePath, s.logFilePath);
  if (s.logFilePath.empty()) s.logFilePath = std::string(defaultLogPath);
  flag(kValPlaySound, s.playSound);
  text(kValWavFile, s.wavFile);
  flag(kValDisallowClientConfig, s.disallowClientConfig);
  if (auto v = ReadDword(key, kValMsgFilterFlags)) s.msgFilterFlags = *v;
  if (auto v = ReadDword(key, kValMsgFilterFlagsExtra)) s.msgFilterFlagsExtra = *v;
  if (auto v = ReadDword(key, kValMaxHistoryRows)) s.maxHistoryRows = HistoryRowBound(*v);
  return s;
}

std::optional<SettingsError> ApplyServerSettings(platform::Machine& machine,
                                                 ServerSettings& values) {
  std::string serverText;
  if (values.sendMail) {
    if (!IsValidEmailAddress(values.mailTo))
      return SettingsError{"Please enter valid email-id", 1020};
    if (!IsValidEmailAddress(values.mailFrom)) {
      return SettingsError{"Please enter valid email-id", 1022};
    }
    if (values.smtpPort.empty()) return SettingsError{"Please enter valid SMTP Port", 1115};
    if (values.serverMode != kServerModeName) {
      if (values.ipBlank || (values.ip[0] == 0 && values.ip[3] == 0)) {
        return SettingsError{"Invalid IP Address", 1025};
      }
      serverText = FormatIp(values.ip);
      values.serverMode = kServerModeIp;
      values.machineName.clear();
    } else {
      if (values.machineName.empty() || values.machineName.find(' ') != std::string::npos) {
        return SettingsError{"Invalid Machine Name", 1027};
      }
      serverText = values.machineName;
      values.ip = {0, 0, 0, 0};
      values.ipBlank = true;
    }
    if (values.smtpAuth) {
      if (values.userName.empty()) return SettingsError{"Please enter Username", 1042};
      if (values.password.empty()) return SettingsError{"Please enter Password", 1038};
    }
  }

  // Nothing refused: store what can be stored. A key that cannot be created (no rights, a
  // broken registry) keeps the old stored values; the running console uses the new ones.
  auto registry = machine.OpenRegistry();
  if (!registry.ok()) return std::nullopt;
  auto created = RegKey::Create(**registry, kServerSettingsKey, RegAccess::kAll);
  if (!created.ok()) return std::nullopt;
  RegKey& key = *created;
  // Individual write failures have no message either; the next Apply writes again.
  const auto dword = [&key](std::string_view name, bool on) {
    (void)key.SetDword(name, on ? 1u : 0u);
  };
  const auto text = [&key](std::string_view name, const std::string& v) {
    (void)key.SetString(name, v);
  };
  if (values.sendMail) {
    text(kValMailTo, values.mailTo);
    text(kValMailFrom, values.mailFrom);
    text(kValSmtpPort, values.smtpPort);
    text(kValServerIp, serverText);
    dword(kValSendMail, true);
    dword(kValSmtpAuth, values.smtpAuth);
    if (values.smtpAuth) {
      text(kValSmtpAuthUserName, values.userName);
      text(kValSmtpAuthPasswd, values.password);
    }
    dword(kValSmtpStartTls, values.smtpStartTls);
  } else {
    dword(kValSendMail, false);
  }
  dword(kValDisableBalloonMsg, values.disableBalloon);
  dword(kValEnableLog, values.enableLog);
  dword(kValPlaySound, values.playSound);
  dword(kValDisallowClientConfig, values.disallowClientConfig);
  text(kValLogFilePath, values.logFilePath);
  text(kValWavFile, values.wavFile);
  // No control writes it; an administrator who changed it in the registry applies it here.
  if (auto v = ReadDword(key, kValMaxHistoryRows)) values.maxHistoryRows = HistoryRowBound(*v);
  return std::nullopt;
}

bool StoreFilterWords(platform::Machine& machine, std::uint32_t flags, std::uint32_t extra) {
  auto registry = machine.OpenRegistry();
  if (!registry.ok()) return false;
  auto created = RegKey::Create(**registry, kServerSettingsKey, RegAccess::kAll);
  if (!created.ok()) return false;
  const bool first = created->SetDword(kValMsgFilterFlags, flags) == platform::kErrorSuccess;
  const bool second = created->SetDword(kValMsgFilterFlagsExtra, extra) == platform::kErrorSuccess;
  return first && second;
}

}  // namespace uv::server
