#pragma once
// The client agent's settings: the one place that spells the client settings key and the
// whitelist storage below it. The reporter, the device handling, the command listener and the
// tools all read and write them through this module.
//
// Every operation opens the key, reads or writes, and closes it again, so a value written by the
// console's command on the listener's thread is seen by the next read on the dialog's thread.
//
// It is also the agent's ICommandHandler: the command listener turns the console's frames into
// these calls and sends the replies.
//
// Thread affinity: none; every call opens the registry afresh (the registry is thread-safe).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/CommandFrame.h"

namespace uv::platform {
class Machine;
}

namespace uv::agent {

// Below HKEY_LOCAL_MACHINE.
inline constexpr std::string_view kClientSettingsKey =
    "Software\\Quorrel\\USB Vantrel Client\\Settings";
inline constexpr std::string_view kWhiteListKey =
    "Software\\Quorrel\\USB Vantrel Client\\Settings\\WhiteList";
// The console's key on the same computer: its whitelist dialog keeps "ServerState" there.
inline constexpr std::string_view kConsoleSettingsKey =
    "Software\\Quorrel\\USB Vantrel Server\\Settings";

// The server address used when "ServerIP" is empty or missing.
inline constexpr std::string_view kDefaultServerIp = "192.168.1.1";

// Each whitelist holds at most this many bytes (whole characters: a UTF-8 character is never cut).
inline constexpr std::size_t kMaxWhiteListBytes = 299;

// The three whitelist values, in the order of the wire and of CheckWhiteListRegDetails' kinds.
enum class WhiteListKind { kUsers = 1, kDevices = 2, kMakes = 3 };
[[nodiscard]] std::string_view WhiteListValueName(WhiteListKind kind);

// True when the comma-separated `list` has a non-empty entry equal to `text`; users compare
// without regard to ASCII case, devices and makes exactly.
[[nodiscard]] bool WhiteListContains(std::string_view list, std::string_view text, bool ignoreCase);

class CClientSettings final : public protocol::ICommandHandler {
 public:
  explicit CClientSettings(platform::Machine& machine) : machine_(machine) {}
  CClientSettings(const CClientSettings&) = delete;
  CClientSettings& operator=(const CClientSettings&) = delete;

  platform::Machine& Machine() const { return machine_; }

  // "ServerIP" as stored (REG_SZ or REG_EXPAND_SZ); empty when the key or value is missing or
  // of another type.
  [[nodiscard]] std::string ServerIp() const;
  // A DWORD of the settings key; nullopt when the key or value is missing or not a DWORD.
  [[nodiscard]] std::optional<std::uint32_t> Dword(std::string_view name) const;
  // A string of the settings key, read only when it holds at most `maxBytes` bytes of data.
  [[nodiscard]] std::optional<std::string> String(std::string_view name,
                                                  std::size_t maxBytes) const;
  // True when the settings key itself can be opened.
  [[nodiscard]] bool KeyExists() const;

  // "BlockUSB": 0 when missing or unreadable.
  [[nodiscard]] std::uint32_t BlockUsb() const { return Dword("BlockUSB").value_or(0); }
  // "IpConfigState": the gate of the whitelist notices; nullopt when missing.
  [[nodiscard]] std::optional<std::uint32_t> IpConfigState() const {
    return Dword("IpConfigState");
  }
  // "ServerState" of the console on this computer; nullopt when its key or the value is missing.
  [[nodiscard]] std::optional<std::uint32_t> ConsoleServerState() const;

  // One whitelist value as text (its bytes up to the first zero); nullopt when the WhiteList key
  // cannot be opened or the value is missing.
  [[nodiscard]] std::optional<std::string> WhiteListValue(WhiteListKind kind) const;

  // "users;devices;makes" (a final ";" allowed), "-" for an empty list: all three values are
  // rewritten, each cut to kMaxWhiteListBytes. False when the key cannot be created or a value
  // not written.
  bool WriteWhiteList(std::string_view text);
  // "users;devices;makes;" with "-;" for an empty or missing value; empty when the WhiteList key
  // cannot be opened.
  [[nodiscard]] std::string ReadWhiteList() const;

  // The client stop flag: 0 while the service runs, 1 once the dialog has ended. The command
  // listener's loops end when they see it.
  void SetClientStop(bool stopping) { clientStop_.store(stopping ? 1 : 0); }
  [[nodiscard]] bool ClientStopping() const { return clientStop_.load() != 0; }

  // protocol::ICommandHandler
  void SetBlockUsb(bool block) override;
  void SetIdleMinutes(int minutes) override;
  void SetSendOfflineMsg(bool on) override;
  void SetWhiteLists(const protocol::WhiteLists& lists) override;
  bool IsUsbBlocked() override { return BlockUsb() != 0; }
  bool IsSendOfflineMsgOn() override { return Dword("SendOfflineMsg").value_or(0) != 0; }
  std::optional<int> IdleMinutes() override;
  std::optional<protocol::WhiteLists> ReadWhiteLists() override;
  bool Stopping() override { return ClientStopping(); }

 private:
  bool WriteDword(std::string_view name, std::uint32_t value, bool createKey);
  bool WriteWhiteLists(const protocol::WhiteLists& lists);

  platform::Machine& machine_;
  std::atomic<std::uint8_t> clientStop_{0};
};

}  // namespace uv::agent
