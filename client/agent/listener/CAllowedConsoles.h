#pragma once
// Who may send commands to the agent. The command port accepts commands from anybody on the
// network, so anybody could unblock USB storage on every client; the client setting
// "AllowedConsoles" (a list of addresses or host names, separated by ",", ";" or blanks) narrows
// that to the listed consoles. Absent, every address is served. Present, only the listed ones
// are; a present value whose entries all fail to resolve (or that lists nothing) admits nobody,
// because an administrator who asked for a restriction must not get an open port by a typo.
//
// Host names are resolved the way the computer resolves every name (its hosts file, then the
// system resolver). The resolved list is kept until the value's text changes or a minute has
// passed, so the listener does not resolve names on every connection.
//
// Thread affinity: none; Admits is serialised internally.

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/Ipv4Address.h"

namespace uv::platform {
class Machine;
class RegKey;
}  // namespace uv::platform

namespace uv::agent {

// The listener's question before it reads anything from a new connection.
class IConsoleGate {
 public:
  virtual ~IConsoleGate() = default;
  virtual bool Admits(platform::Ipv4Address peer) = 0;
};

inline constexpr std::string_view kAllowedConsolesValue = "AllowedConsoles";

class CAllowedConsoles : public IConsoleGate {
 public:
  // The value's text as stored now, or none when the value (or its key) is absent.
  using ReadSetting = std::function<std::optional<std::string>()>;

  CAllowedConsoles(platform::Machine& machine, ReadSetting readSetting);

  bool Admits(platform::Ipv4Address peer) override;

  // The entries of the value's text, in order, without empty ones.
  static std::vector<std::string_view> SplitEntries(std::string_view text);

  // Reads "AllowedConsoles" from an open settings key: a REG_SZ or REG_EXPAND_SZ text as it is,
  // a REG_MULTI_SZ as its strings joined by ",". None when the value is missing or of another
  // type (a value the agent cannot read restricts nothing it could enforce, so it is reported
  // by a trace and treated as present but empty: nobody is admitted).
  static std::optional<std::string> ReadValue(const platform::RegKey& settings);

 private:
  platform::Machine& machine_;
  ReadSetting readSetting_;
  std::mutex mutex_;  // guards the cache below
  std::optional<std::string> cachedText_;
  std::vector<platform::Ipv4Address> cachedAddresses_;
  std::chrono::steady_clock::time_point resolvedAt_{};
  bool haveCache_ = false;
};

}  // namespace uv::agent
