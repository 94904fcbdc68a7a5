#include "client/agent/listener/CCommandListener.h"

#include <array>
#include <string_view>
#include <system_error>

#include "client/agent/listener/CAllowedConsoles.h"
#include "platform/net/HostResolver.h"
#include "platform/trace/Trace.h"
#include "protocol/CommandFrame.h"

namespace uv::agent {

namespace {

using platform::SocketEvent;
using platform::SocketWait;
using platform::WinError;

// After an accept that failed for want of resources (descriptors, buffers) the pending
// connection stays queued and the port stays readable; waiting this long before the next try
// keeps that from becoming a busy loop.
constexpr std::chrono::milliseconds kResourceBackoff{20};

bool IsResourceShortage(WinError error) {
  return error == platform::kWsaEmfile || error == platform::kWsaEnobufs ||
         error == platform::kErrorNotEnoughMemory;
}

// The handler as the walk of one read sees it: a stopping listener acts on no further frame.
class StopAwareHandler final : public protocol::ICommandHandler {
 public:
  StopAwareHandler(protocol::ICommandHandler& inner, const SocketEvent& stop)
      : inner_(inner), stop_(stop) {}

  void SetBlockUsb(bool block) override { inner_.SetBlockUsb(block); }
  void SetIdleMinutes(int minutes) override { inner_.SetIdleMinutes(minutes); }
  void SetSendOfflineMsg(bool on) override { inner_.SetSendOfflineMsg(on); }
  void SetWhiteLists(const protocol::WhiteLists& lists) override { inner_.SetWhiteLists(lists); }
  bool IsUsbBlocked() override { return inner_.IsUsbBlocked(); }
  bool IsSendOfflineMsgOn() override { return inner_.IsSendOfflineMsgOn(); }
  std::optional<int> IdleMinutes() override { return inner_.IdleMinutes(); }
  std::optional<protocol::WhiteLists> ReadWhiteLists() override { return inner_.ReadWhiteLists(); }
  bool Stopping() override { return stop_.IsSet() || inner_.Stopping(); }

 private:
  protocol::ICommandHandler& inner_;
  const SocketEvent& stop_;
};

void TraceAddress(const char* format, platform::SocketAddress peer) {
  if (!platform::TraceEnabled()) return;
  platform::TraceF(format, peer.address.ToString().c_str());
}

}  // namespace

std::uint16_t CommandPort() {
  return static_cast<std::uint16_t>(protocol::DecimalValue(protocol::kCommandPortText));
}

struct CCommandListener::Connection {
  platform::TcpSocket socket;
  platform::SocketAddress peer;
  std::thread thread;
  std::atomic<bool> ended{false};
};

CCommandListener::CCommandListener(platform::Machine& machine, protocol::ICommandHandler& handler,
                                   IConsoleGate* gate, CommandListenerOptions options)
    : machine_(machine), handler_(handler), gate_(gate), options_(options) {}

CCommandListener::~CCommandListener() {
  Stop();
}

WinError CCommandListener::Start() {
  if (thread_.joinable() || socket_.IsOpen()) return platform::kErrorAlreadyExists;
  auto listening = platform::ListenOnLocal(machine_, options_.port);
  if (!listening) return listening.error();
  socket_ = std::move(*listening);
  if (const WinError e = socket_.SetNonBlocking(true); e != platform::kErrorSuccess) {
    socket_.Close();
    return e;
  }
  if (auto address = socket_.LocalAddress()) local_ = *address;
  stop_.Reset();
  try {
    thread_ = std::thread([this] { ListenLoop(); });
  } catch (const std::system_error&) {
    socket_.Close();
    return platform::kErrorNotEnoughMemory;
  }
  return platform::kErrorSuccess;
}

void CCommandListener::Stop() {
  stop_.Set();
  if (thread_.joinable()) thread_.join();
  Reap(true);
  socket_.Close();
}

CCommandListener::Counters CCommandListener::GetCounters() const {
  return Counters{accepted_.load(), refusedBusy_.load(), refusedGate_.load(), silent_.load()};
}

void CCommandListener::Reap(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& c = **it;
    if (all || c.ended.load()) {
      if (c.thread.joinable()) c.thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void CCommandListener::ListenLoop() {
  platform::Trace("In Start Server");
  const SocketEvent* events[] = {&stop_, &ended_};
  while (!stop_.IsSet()) {
    SocketWait wait{&socket_, true, false};
    auto ready = platform::WaitForSockets({&wait, 1}, std::nullopt, events);
    if (stop_.IsSet()) break;
    if (!ready) break;  // the listening socket itself is gone
    if (ended_.IsSet()) {
      ended_.Reset();  // before the scan: an end signalled after it is seen on the next pass
      Reap(false);
    }
    if (!wait.readable) continue;

    platform::SocketAddress peer;
    auto accepted = socket_.Accept(&peer);
    if (!accepted) {
      if (IsResourceShortage(accepted.error())) {
        platform::Trace("Command connection not accepted: out of resources\n");
        SocketWait none{&socket_, false, false};
        (void)platform::WaitForSockets({&none, 1}, kResourceBackoff, {events, 1});
      }
      continue;  // the next pass tries again, as the original loop does
    }
    if (gate_ != nullptr && !gate_->Admits(peer.address)) {
      ++refusedGate_;
      TraceAddress("Command connection from %s is not an allowed console, closed\n", peer);
      continue;  // the accepted socket closes here, before anything is read
    }
    if (live_.load() >= options_.maxConnections) {
      Reap(false);
      if (live_.load() >= options_.maxConnections) {
        ++refusedBusy_;
        TraceAddress("Too many command connections, closed the one from %s\n", peer);
        continue;
      }
    }

    auto connection = std::make_unique<Connection>();
    connection->socket = std::move(*accepted);
    connection->peer = peer;
    Connection& c = *connection;
    connections_.push_back(std::move(connection));
    ++live_;
    try {
      c.thread = std::thread([this, &c] { Serve(c); });
      ++accepted_;
    } catch (const std::system_error&) {
      --live_;
      connections_.pop_back();
      TraceAddress("No thread for the command connection from %s, closed\n", peer);
    }
  }
  Reap(true);  // stop_ is set: every connection thread wakes and ends
  platform::Trace("Out Start Server");
}

void CCommandListener::Serve(Connection& connection) {
  platform::TcpSocket& socket = connection.socket;
  StopAwareHandler handler(handler_, stop_);
  std::array<char, protocol::kCommandReadBuffer> buffer;
  const SocketEvent* events[] = {&stop_};

  if (socket.SetNonBlocking(true) == platform::kErrorSuccess) {
    while (!stop_.IsSet()) {
      SocketWait wait{&socket, true, false};
      auto ready = platform::WaitForSockets({&wait, 1}, options_.silenceLimit, events);
      if (!ready || stop_.IsSet()) break;
      if (*ready == 0) {
        ++silent_;
        TraceAddress("Command connection from %s stayed silent, closed\n", connection.peer);
        break;
      }
      buffer.fill(0);
      auto received = socket.Receive(std::span<char>(buffer));
      if (!received) {
        if (received.error() == platform::kWsaEwouldblock) continue;
        break;
      }
      if (*received == 0) break;  // the console closed its end
      const protocol::CommandOutcome outcome =
          protocol::HandleCommandRead(std::string_view(buffer.data(), *received), handler);
      // One send call; a short or failed send is not retried.
      if (!outcome.reply.empty()) (void)socket.Send(outcome.reply);
    }
  }
  socket.Close();
  --live_;
  connection.ended.store(true);
  ended_.Set();
}

}  // namespace uv::agent
