#include "client/agent/settings/CClientSettings.h"

#include <array>
#include <span>

#include "platform/common/Text.h"
#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"

namespace uv::agent {
namespace {

using platform::RegAccess;
using platform::RegKey;
using platform::RegType;

std::optional<RegKey> OpenKey(platform::Machine& machine, std::string_view path,
                              RegAccess access = RegAccess::kRead) {
  auto registry = machine.OpenRegistry();
  if (!registry) return std::nullopt;
  auto key = RegKey::Open(**registry, path, access);
  if (!key) return std::nullopt;
  return std::move(*key);
}

std::optional<RegKey> CreateKey(platform::Machine& machine, std::string_view path) {
  auto registry = machine.OpenRegistry();
  if (!registry) return std::nullopt;
  auto key = RegKey::Create(**registry, path, RegAccess::kAll);
  if (!key) return std::nullopt;
  return std::move(*key);
}

bool EqualText(std::string_view a, std::string_view b, bool ignoreCase) {
  return ignoreCase ? platform::EqualsNoCase(a, b) : a == b;
}

constexpr std::array<WhiteListKind, 3> kKinds{WhiteListKind::kUsers, WhiteListKind::kDevices,
                                              WhiteListKind::kMakes};

}  // namespace

std::string_view WhiteListValueName(WhiteListKind kind) {
  switch (kind) {
    case WhiteListKind::kUsers:
      return "UserDetails";
    case WhiteListKind::kDevices:
      return "DeviceDetails";
    case WhiteListKind::kMakes:
      return "MakeDetails";
  }
  return {};
}

bool WhiteListContains(std::string_view list, std::string_view text, bool ignoreCase) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view entry = list.substr(0, comma);
    if (!entry.empty() && EqualText(entry, text, ignoreCase)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

std::string CClientSettings::ServerIp() const {
  auto key = OpenKey(machine_, kClientSettingsKey);
  if (!key) return {};
  auto value = key->QueryString("ServerIP");
  return value ? std::move(*value) : std::string();
}

std::optional<std::uint32_t> CClientSettings::Dword(std::string_view name) const {
  auto key = OpenKey(machine_, kClientSettingsKey);
  if (!key) return std::nullopt;
  auto value = key->QueryDword(name);
  if (!value) return std::nullopt;
  return *value;
}

std::optional<std::string> CClientSettings::String(std::string_view name,
                                                   std::size_t maxBytes) const {
  auto key = OpenKey(machine_, kClientSettingsKey);
  if (!key) return std::nullopt;
  auto raw = key->QueryValue(name);
  if (!raw || raw->data.size() > maxBytes) return std::nullopt;
  auto value = key->QueryString(name);
  if (!value) return std::nullopt;
  return std::move(*value);
}

bool CClientSettings::KeyExists() const {
  return OpenKey(machine_, kClientSettingsKey).has_value();
}

std::optional<std::uint32_t> CClientSettings::ConsoleServerState() const {
  auto key = OpenKey(machine_, kConsoleSettingsKey);
  if (!key) return std::nullopt;
  auto value = key->QueryDword("ServerState");
  if (!value) return std::nullopt;
  return *value;
}

std::optional<std::string> CClientSettings::WhiteListValue(WhiteListKind kind) const {
  auto key = OpenKey(machine_, kWhiteListKey);
  if (!key) return std::nullopt;
  auto value = key->QueryValue(WhiteListValueName(kind));
  if (!value) return std::nullopt;
  // The text is stored without a terminator; a reader stops at the first zero all the same.
  std::string text(value->data.begin(), value->data.end());
  if (const std::size_t zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
  return text;
}

bool CClientSettings::WriteWhiteList(std::string_view text) {
  return WriteWhiteLists(protocol::SplitWhiteLists(text));
}

bool CClientSettings::WriteWhiteLists(const protocol::WhiteLists& lists) {
  auto key = CreateKey(machine_, kWhiteListKey);
  if (!key) return false;
  const std::array<const std::string*, 3> texts{&lists.users, &lists.devices, &lists.makes};
  bool written = true;
  for (std::size_t i = 0; i < kKinds.size(); ++i) {
    const std::string_view list = platform::Utf8Prefix(*texts[i], kMaxWhiteListBytes);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(list.data());
    if (key->SetValue(WhiteListValueName(kKinds[i]), RegType::kMultiSz,
                      std::span<const std::uint8_t>(bytes, list.size())) ==
        platform::kErrorSuccess) {
      platform::Trace("Successful Writing to Registry");
    } else {
      written = false;
    }
  }
  return written;
}

std::string CClientSettings::ReadWhiteList() const {
  auto key = OpenKey(machine_, kWhiteListKey);
  if (!key) return {};
  std::string text;
  for (const WhiteListKind kind : kKinds) {
    const auto value = WhiteListValue(kind);
    text += (value && !value->empty()) ? *value : std::string(protocol::kEmptyListMark);
    text += ';';
  }
  return text;
}

bool CClientSettings::WriteDword(std::string_view name, std::uint32_t value, bool createKey) {
  auto key = createKey ? CreateKey(machine_, kClientSettingsKey)
                       : OpenKey(machine_, kClientSettingsKey, RegAccess::kAll);
  if (!key) return false;
  return key->SetDword(name, value) == platform::kErrorSuccess;
}

void CClientSettings::SetBlockUsb(bool block) {
  WriteDword("BlockUSB", block ? 1 : 0, true);
}

void CClientSettings::SetIdleMinutes(int minutes) {
  // The key must exist already: a missing key writes nothing.
  WriteDword("SystemIdleTime", static_cast<std::uint32_t>(minutes), false);
}

void CClientSettings::SetSendOfflineMsg(bool on) {
  WriteDword("SendOfflineMsg", on ? 1 : 0, true);
}

void CClientSettings::SetWhiteLists(const protocol::WhiteLists& lists) {
  WriteWhiteLists(lists);
}

std::optional<int> CClientSettings::IdleMinutes() {
  const auto minutes = Dword("SystemIdleTime");
  if (!minutes) return std::nullopt;
  return static_cast<int>(*minutes);
}

std::optional<protocol::WhiteLists> CClientSettings::ReadWhiteLists() {
  if (!OpenKey(machine_, kWhiteListKey)) return std::nullopt;
  protocol::WhiteLists lists;
  lists.users = WhiteListValue(WhiteListKind::kUsers).value_or("");
  lists.devices = WhiteListValue(WhiteListKind::kDevices).value_or("");
  lists.makes = WhiteListValue(WhiteListKind::kMakes).value_or("");
  return lists;
}

}  // namespace uv::agent
