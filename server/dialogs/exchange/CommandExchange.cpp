#include "server/dialogs/exchange/CommandExchange.h"

#include <array>

#include "platform/net/HostResolver.h"
#include "platform/net/Socket.h"
#include "platform/trace/Trace.h"

namespace uv::server {

namespace {

using Clock = std::chrono::steady_clock;

protocol::CommandWord QueryWordOf(ExchangeKind kind) {
  switch (kind) {
    case ExchangeKind::kBlockState:
    case ExchangeKind::kUsbStatusRow:
      return protocol::CommandWord::kGet;
    case ExchangeKind::kWhiteLists:
      return protocol::CommandWord::kGwh;
    case ExchangeKind::kSaveEnergyTime:
      return protocol::CommandWord::kGit;
    case ExchangeKind::kOfflineMessage:
      return protocol::CommandWord::kGom;
  }
  return protocol::CommandWord::kGet;
}

}  // namespace

std::string QueryFrameOf(ExchangeKind kind) {
  return protocol::BuildQueryFrame(QueryWordOf(kind));
}

std::optional<platform::Ipv4Address> ResolveTarget(platform::Machine& machine,
                                                   const std::string& target, int resolveByName) {
  std::optional<platform::Ipv4Address> address;
  if (resolveByName == 0) {
    address = platform::Ipv4Address::Parse(target);
  } else {
    auto found = platform::ResolveHost(machine, target);
    if (found.ok()) address = *found;
  }
  // 0.0.0.0 would reach this computer's own agent on some systems, a broadcast address none.
  if (address && (address->IsAny() || address->HostOrder() == 0xFFFFFFFFu)) return std::nullopt;
  return address;
}

CommandExchange::CommandExchange(platform::Machine& machine, ExchangeLimits limits)
    : machine_(machine), limits_(limits) {}

ExchangeStatus CommandExchange::Run(const ExchangeRequest& request) {
  holders_.stored = false;
  const auto to = ResolveTarget(machine_, request.target, request.resolveByName);
  if (!to) return ExchangeStatus::kResolveFailed;
  return Exchange(*to, request);
}

ExchangeStatus CommandExchange::Exchange(platform::Ipv4Address to, const ExchangeRequest& request) {
  auto connected = platform::ConnectFromLocal(machine_, platform::SocketAddress{to, limits_.port},
                                              limits_.connect);
  if (!connected.ok()) {
    switch (connected.error()) {
      case platform::kWsaEtimedout:
        return ExchangeStatus::kTimedOut;
      case platform::kWsaEmfile:
      case platform::kWsaEnobufs:
      case platform::kWsaEafnosupport:
        return ExchangeStatus::kSocketFailed;
      default:
        return ExchangeStatus::kConnectFailed;
    }
  }
  platform::TcpSocket socket = std::move(*connected);
  if (socket.SetNonBlocking(true) != platform::kErrorSuccess) return ExchangeStatus::kSocketFailed;

  const std::string frame =
      request.phase == ExchangePhase::kQuery ? QueryFrameOf(request.kind) : request.applyFrame;
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size());
  // The frame is short; SendAll waits for room on the non-blocking socket, which a fresh
  // connection always has.
  if (socket.SendAll(bytes) != platform::kErrorSuccess) return ExchangeStatus::kSendFailed;
  // Settings are never answered: the exchange ends once the frame is out.
  if (request.phase == ExchangePhase::kApply) return ExchangeStatus::kDone;

  // One read is the whole reply; it must come before the deadline.
  const auto deadline = Clock::now() + limits_.reply;
  std::array<char, protocol::kCommandReadBuffer> buffer{};
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ExchangeStatus::kTimedOut;
    platform::SocketWait wait{&socket, true, false};
    auto ready = platform::WaitForSockets(std::span(&wait, 1), left);
    if (!ready.ok()) return ExchangeStatus::kDone;  // a failed wait ends the exchange, as a read
    if (*ready == 0) return ExchangeStatus::kTimedOut;
    auto got = socket.Receive(std::span(buffer));
    if (!got.ok()) {
      if (got.error() == platform::kWsaEwouldblock) continue;
      return ExchangeStatus::kDone;  // the client dropped the connection: nothing stored
    }
    Store(request.kind, std::string_view(buffer.data(), *got));
    return ExchangeStatus::kDone;
  }
}

void CommandExchange::Store(ExchangeKind kind, std::string_view received) {
  const auto reply = protocol::ReadCommandReply(received);
  if (!reply) {
    platform::Trace("\n Unexpected reply from client");
    return;
  }
  // Only the reply to the question asked counts; another word keeps the values as they were.
  if (reply->word != QueryWordOf(kind)) return;
  holders_.stored = true;
  switch (reply->word) {
    case protocol::CommandWord::kGet:
      holders_.unblocked = reply->value == protocol::kValueOn ? 0 : 1;
      break;
    case protocol::CommandWord::kGwh:
      holders_.whiteListText.assign(reply->listText);
      break;
    case protocol::CommandWord::kGit:
      holders_.idleMinutes = reply->minutes;
      break;
    case protocol::CommandWord::kGom:
      holders_.offlineSwitch = reply->ValueIsOn() ? 1 : 0;
      break;
    default:
      holders_.stored = false;
      break;
  }
}

}  // namespace uv::server
