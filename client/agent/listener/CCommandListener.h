#pragma once
// The agent's end of the command channel: the listener thread on the command port "5553" and one
// thread per accepted connection. A connection thread reads one receive at a time (at most 2048
// bytes, never reassembled), hands it to the command handler through HandleCommandRead and sends
// the reply, if any, with one send. It ends when the peer closes, a read or wait fails, the
// connection stays silent too long, or the listener stops.
//
// Beyond the bare algorithm, so that a flood or a stop cannot take the agent down:
// - Stop wakes the listener and every connection thread at once (their waits include the stop
//   event) and joins them: no hang on an idle port or an idle connection.
// - At most `maxConnections` connection threads run; a connection beyond that is closed at once
//   and traced. A connection that sends nothing for `silenceLimit` is closed, so silent peers
//   cannot hold every thread. Each connection holds one 2048-byte buffer and nothing else grows.
// - An optional gate (CAllowedConsoles) closes connections from other addresses before reading.
// - The 1 ms sleeps of the original loops are gone: the readiness waits block, nothing spins.
//
// Thread affinity: Start and Stop from the owner's thread (the dialog's). The handler is called
// from the connection threads, several at once; it must be thread-safe.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <thread>

#include "platform/common/Result.h"
#include "platform/net/Socket.h"
#include "platform/net/SocketEvent.h"

namespace uv::platform {
class Machine;
}
namespace uv::protocol {
class ICommandHandler;
}

namespace uv::agent {

class IConsoleGate;

struct CommandListenerOptions {
  // 0 lets the system choose (tests); the agent uses the command port.
  std::uint16_t port = 0;
  std::size_t maxConnections = 64;
  std::chrono::milliseconds silenceLimit{5000};
};

// The command port: the text "5553" converted as a decimal number.
std::uint16_t CommandPort();

class CCommandListener {
 public:
  // handler and gate (optional) must outlive the listener.
  CCommandListener(platform::Machine& machine, protocol::ICommandHandler& handler,
                   IConsoleGate* gate, CommandListenerOptions options);
  ~CCommandListener();
  CCommandListener(const CCommandListener&) = delete;
  CCommandListener& operator=(const CCommandListener&) = delete;

  // Creates the socket, binds it to the computer's local addresses and listens, then starts the
  // listener thread. On failure nothing runs and the socket error is returned (the agent then
  // runs without a command listener). A second Start is refused with kErrorAlreadyExists.
  [[nodiscard]] platform::WinError Start();
  // Ends the listener and every connection and joins their threads. Safe to call twice.
  void Stop();

  bool IsRunning() const { return thread_.joinable(); }
  // Where it listens (for tests that let the system choose the port).
  platform::SocketAddress LocalAddress() const { return local_; }

  struct Counters {
    std::uint64_t accepted = 0;     // connections served by a thread
    std::uint64_t refusedBusy = 0;  // closed because every connection thread was taken
    std::uint64_t refusedGate = 0;  // closed because the address is not an allowed console
    std::uint64_t silent = 0;       // closed after the silence limit
  };
  Counters GetCounters() const;
  // Connection threads alive now.
  std::size_t ConnectionCount() const { return live_.load(); }

 private:
  struct Connection;

  void ListenLoop();
  void Serve(Connection& connection);
  void Reap(bool all);

  platform::Machine& machine_;
  protocol::ICommandHandler& handler_;
  IConsoleGate* gate_;
  const CommandListenerOptions options_;

  platform::TcpListener socket_;
  platform::SocketAddress local_;
  platform::SocketEvent stop_;   // set by Stop: every wait of this listener includes it
  platform::SocketEvent ended_;  // set by a connection thread that has ended
  std::thread thread_;
  // Touched only by the listener thread (and by Stop after joining it).
  std::list<std::unique_ptr<Connection>> connections_;
  std::atomic<std::size_t> live_{0};

  std::atomic<std::uint64_t> accepted_{0};
  std::atomic<std::uint64_t> refusedBusy_{0};
  std::atomic<std::uint64_t> refusedGate_{0};
  std::atomic<std::uint64_t> silent_{0};
};

}  // namespace uv::agent
