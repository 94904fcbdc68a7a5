#include "server/app/EventListener.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <string>

#include "platform/trace/Trace.h"
#include "protocol/EventPort.h"

namespace uv::server {

EventListener::EventListener(platform::UdpSocket socket, Handler handler, ConfigAnswer configAnswer)
    : socket_(std::move(socket)),
      handler_(std::move(handler)),
      configAnswer_(std::move(configAnswer)) {
  if (auto local = socket_.LocalAddress()) localAddress_ = *local;
}

EventListener::~EventListener() {
  Stop();
}

void EventListener::Start() {
  if (thread_.joinable()) return;
  // The loop drains the socket without blocking and waits in WaitForSockets when it is empty.
  if (socket_.SetNonBlocking(true) != platform::kErrorSuccess) {
    platform::Trace("event socket stays blocking\n");
  }
  // Best effort: a privileged console may exceed the system's cap (the console runs as the
  // machine's administrator); otherwise the capped size still gives slack, only less.
  (void)socket_.SetReceiveBufferSize(kSocketBufferBytes);
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

void EventListener::Stop() {
  running_ = false;
  socket_.Shutdown();
  if (thread_.joinable()) thread_.join();
  socket_.Close();
}

void EventListener::Flush() {
  if (batchSize_ == 0) return;
  const std::size_t count = batchSize_;
  batchSize_ = 0;
  if (handler_) handler_(std::span<const Report>(batch_.data(), count));
}

void EventListener::Run() noexcept {
  // One extra byte so that a 1024-byte datagram still ends in a zero after its 1023 kept bytes.
  char buffer[kReceiveBuffer + 1];
  unsigned consecutiveErrors = 0;
  try {
    batch_.resize(kMaxBatch);
    while (running_.load()) {
      std::memset(buffer, 0, sizeof buffer);
      platform::SocketAddress from;
      auto received = socket_.ReceiveFrom(std::span<char>(buffer, kReceiveBuffer), &from);
      if (!running_.load() || socket_.IsShutDown()) break;
      if (!received && received.error() == platform::kWsaEwouldblock) {
        // Nothing more waiting: hand over what arrived, then sleep until the next datagram.
        Flush();
        platform::SocketWait wait{&socket_};
        (void)platform::WaitForSockets(std::span<platform::SocketWait>(&wait, 1));
        continue;
      }
      if (!received) {
        ++errors_;
        platform::TraceF("recvfrom failed err : %u\n", received.error());
        // An oversized datagram is dropped whole (its head alone is not the client's report). A
        // persistent error must not turn into a busy loop: back off once errors come in a row.
        if (++consecutiveErrors > 16) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      consecutiveErrors = 0;
      ++received_;
      HandleDatagram(buffer, *received, from);
      if (batchSize_ == kMaxBatch) Flush();
    }
  } catch (const std::exception& e) {
    platform::TraceF("event listener ended: %s\n", e.what());
  } catch (...) {
    platform::Trace("event listener ended\n");
  }
}

void EventListener::HandleDatagram(const char* buffer, std::size_t length,
                                   platform::SocketAddress from) {
  const std::string_view datagram(buffer, length);
  switch (protocol::ClassifyEventPortDatagram(datagram)) {
    case protocol::EventPortDatagram::kProbe:
      if (auto sent = socket_.SendTo(protocol::kProbeAnswer, from); !sent) {
        platform::TraceF("sendto IMA; failed err : %u\n", sent.error());
      }
      return;
    case protocol::EventPortDatagram::kConfigRequest: {
      const std::optional<char> answer = configAnswer_ ? configAnswer_() : std::nullopt;
      if (answer) {
        if (auto sent = socket_.SendTo(std::string_view(&*answer, 1), from); !sent) {
          platform::TraceF("sendto GCC answer failed err : %u\n", sent.error());
        }
      }
      return;
    }
    case protocol::EventPortDatagram::kReport:
      break;
  }
  // The receive copy: at most 1023 bytes, up to the first zero byte.
  const std::string_view text = protocol::EventTextOfDatagram(datagram);
  if (platform::TraceEnabled()) platform::Trace(std::string("While Post ").append(text));
  Report& report = batch_[batchSize_++];
  report.text.assign(text);
  report.from = from;
}

}  // namespace uv::server
