#pragma once
// One exchange with a client agent's command port: connect, send one frame, and for a query read
// one reply. Every client-settings dialog of the console and usbvantrel-ctl run their exchanges
// through RunCommandExchange, so they all build the same frames and read replies the same way.
//
// Both waits are bounded: a client that does not accept within `connect`, or accepts and does not
// answer within `reply`, ends the exchange as kTimedOut, which callers report like a failed
// connection. A client that closes without answering ends it at once (kDone, nothing stored).
//
// The result holders are the values of the last replies; one CommandExchange object is the
// console's one set of them, and it runs one exchange at a time.
//
// Thread affinity: RunCommandExchange blocks its caller; the dialogs call it on a worker thread
// and wait in a local event loop (see ExchangeRunner in the dialogs). A CommandExchange is used by
// one exchange at a time (Begin/End guard that).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/net/Ipv4Address.h"
#include "protocol/CommandFrame.h"

namespace uv::platform {
class Machine;
}

namespace uv::server {

enum class ExchangeKind : std::uint16_t {
  kBlockState = 1,      // GET / SET, Block USB dialog
  kUsbStatusRow = 2,    // GET, one row of the status view
  kWhiteLists = 3,      // GWH / SWH
  kSaveEnergyTime = 4,  // GIT / SIT
  kOfflineMessage = 5,  // GOM / SOM
};

enum class ExchangePhase { kQuery = 1, kApply = 2 };

struct ExchangeRequest {
  std::string target;  // dotted address or computer name
  ExchangePhase phase = ExchangePhase::kQuery;
  int resolveByName = 0;  // 0: dotted address converted directly; else a host-name lookup
  ExchangeKind kind = ExchangeKind::kBlockState;
  std::string applyFrame;  // the complete frame of the apply phase
};

struct ExchangeLimits {
  std::chrono::milliseconds connect{3000};
  std::chrono::milliseconds reply{3000};
  std::uint16_t port = protocol::kCommandPort;
};

enum class ExchangeStatus {
  kDone,           // connected, the frame went out, and for a query a reply (or none) came
  kResolveFailed,  // the target is no address and no known name
  kSocketFailed,   // no socket
  kConnectFailed,  // refused or unreachable
  kTimedOut,       // connect or reply took longer than its limit
  kSendFailed,     // the connection broke before the frame went out
  kBusy,           // another exchange runs
};

// The caller's view: true only for kDone. Everything else reads as "Error connecting to
// specified client".
[[nodiscard]] constexpr bool Succeeded(ExchangeStatus status) {
  return status == ExchangeStatus::kDone;
}

// The values of the last replies (the process-wide holders of the design).
struct ExchangeHolders {
  int unblocked = 0;  // 1 when the last GET reply said not blocked
  std::string whiteListText;
  int idleMinutes = 0;
  int offlineSwitch = 0;  // 1 when the last GOM reply said on
  // Whether the last exchange stored a value (a reply of the asked word arrived).
  bool stored = false;
};

// The address an exchange goes to: a dotted text directly (resolveByName 0), otherwise through
// the machine's name lookup. Neither 0.0.0.0 nor a broadcast address is a client.
[[nodiscard]] std::optional<platform::Ipv4Address> ResolveTarget(platform::Machine& machine,
                                                                 const std::string& target,
                                                                 int resolveByName);

// The frame a query of `kind` sends (10 bytes with its two zero bytes).
[[nodiscard]] std::string QueryFrameOf(ExchangeKind kind);

class CommandExchange {
 public:
  explicit CommandExchange(platform::Machine& machine, ExchangeLimits limits = {});

  // Runs one exchange on the calling thread. The holders are written only by a reply of the
  // query's own word; everything else keeps them.
  ExchangeStatus Run(const ExchangeRequest& request);

  // After Run: the values (read them only while no exchange runs).
  ExchangeHolders& Holders() { return holders_; }
  const ExchangeLimits& Limits() const { return limits_; }
  void SetLimits(ExchangeLimits limits) { limits_ = limits; }

  // One exchange at a time: Begin fails while another runs; End releases.
  bool Begin() { return !busy_.exchange(true); }
  void End() { busy_.store(false); }
  bool Busy() const { return busy_.load(); }

 private:
  ExchangeStatus Exchange(platform::Ipv4Address to, const ExchangeRequest& request);
  void Store(ExchangeKind kind, std::string_view received);

  platform::Machine& machine_;
  ExchangeLimits limits_;
  ExchangeHolders holders_;
  std::atomic<bool> busy_{false};
};

}  // namespace uv::server
