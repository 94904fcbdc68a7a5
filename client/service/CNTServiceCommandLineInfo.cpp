#include "client/service/CNTServiceCommandLineInfo.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace uv::client {

namespace {

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// Cuts at the limit without splitting a UTF-8 character.
std::string Bounded(std::string_view text) {
  std::size_t size = std::min(text.size(), CNTServiceCommandLineInfo::kMaxSwitchText);
  if (size < text.size()) {
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
  }
  return std::string(text.substr(0, size));
}

struct ActionWord {
  std::string_view word;
  CNTServiceCommandLineInfo::Action action;
};

constexpr ActionWord kActionWords[] = {
    {"INSTALL", CNTServiceCommandLineInfo::Action::kInstallService},
    {"REMOVE", CNTServiceCommandLineInfo::Action::kUninstallService},
    {"UNINSTALL", CNTServiceCommandLineInfo::Action::kUninstallService},
    {"START", CNTServiceCommandLineInfo::Action::kStartService},
    {"PAUSE", CNTServiceCommandLineInfo::Action::kPauseService},
    {"CONTINUE", CNTServiceCommandLineInfo::Action::kContinueService},
    {"STOP", CNTServiceCommandLineInfo::Action::kStopService},
    {"DEBUG", CNTServiceCommandLineInfo::Action::kRunInConsole},
    {"APP", CNTServiceCommandLineInfo::Action::kRunInConsole},
    {"APPLICATION", CNTServiceCommandLineInfo::Action::kRunInConsole},
    {"CONSOLE", CNTServiceCommandLineInfo::Action::kRunInConsole},
    {"HELP", CNTServiceCommandLineInfo::Action::kShowHelp},
    {"?", CNTServiceCommandLineInfo::Action::kShowHelp},
};

// "T:" values: digits only and below the "no limit" value, or "-1" for no limit.
bool ParseTimeout(std::string_view text, std::uint32_t* timeout) {
  if (text == "-1") {
    *timeout = CNTServiceCommandLineInfo::kInfiniteTimeout;
    return true;
  }
  std::uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (value == CNTServiceCommandLineInfo::kInfiniteTimeout) return false;
  *timeout = value;
  return true;
}

}  // namespace

void CNTServiceCommandLineInfo::Parse(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) continue;
    ParseSwitch(std::string_view(arg).substr(1));
  }
}

void CNTServiceCommandLineInfo::ParseSwitch(std::string_view text) {
  const std::string upper = Upper(text);
  for (const auto& entry : kActionWords) {
    if (upper == entry.word) {
      action = entry.action;
      return;
    }
  }
  if (upper == "SILENT") {
    silent = true;
    return;
  }
  if (upper == "AUTO") {
    autoStart = true;
    return;
  }
  struct Prefix {
    std::string_view prefix;
    std::string CNTServiceCommandLineInfo::*field;
  };
  static constexpr Prefix kPrefixes[] = {
      {"SCL:", &CNTServiceCommandLineInfo::serviceCommandLine},
      {"SDN:", &CNTServiceCommandLineInfo::serviceDisplayName},
      {"SD:", &CNTServiceCommandLineInfo::serviceDescription},
      {"SN:", &CNTServiceCommandLineInfo::serviceName},
      {"U:", &CNTServiceCommandLineInfo::userName},
      {"P:", &CNTServiceCommandLineInfo::password},
  };
  if (upper.starts_with("T:") && upper.size() > 2) {
    std::uint32_t value = 0;
    if (ParseTimeout(text.substr(2), &value)) timeout = value;
    return;
  }
  for (const auto& entry : kPrefixes) {
    if (upper.starts_with(entry.prefix) && upper.size() > entry.prefix.size()) {
      this->*entry.field = Bounded(text.substr(entry.prefix.size()));
      return;
    }
  }
}

void CNTServiceCommandLineInfo::WipeAccount() {
  // volatile stores, so the compiler cannot drop the zeros as dead writes.
  for (std::string* text : {&password, &userName}) {
    volatile char* bytes = text->data();
    for (std::size_t i = 0; i < text->size(); ++i) bytes[i] = 0;
    text->clear();
  }
}

}  // namespace uv::client
