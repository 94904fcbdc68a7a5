#include "server/app/EventListener.h"

#include <algorithm>
#include <array>
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
  if (receiver_.joinable()) return;
  // The receiver drains the socket without blocking and waits in WaitForSockets when it is empty.
  if (socket_.SetNonBlocking(true) != platform::kErrorSuccess) {
    platform::Trace("event socket stays blocking\n");
  }
  // Best effort: a privileged console may exceed the system's cap (the console runs as the
  // machine's administrator); otherwise the capped size still gives slack, only less.
  (void)socket_.SetReceiveBufferSize(kSocketBufferBytes);
  for (Batch& batch : batches_) {
    batch.reports.resize(kMaxBatch);
    batch.size = 0;
  }
  filling_ = &batches_[0];
  {
    std::lock_guard lock(mutex_);
    delivering_ = nullptr;
    stopping_ = false;
  }
  running_ = true;
  deliverer_ = std::thread([this] { Deliver(); });
  receiver_ = std::thread([this] { Receive(); });
}

void EventListener::Stop() {
  running_ = false;
  socket_.Shutdown();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (receiver_.joinable()) receiver_.join();
  if (deliverer_.joinable()) deliverer_.join();
  socket_.Close();
}

bool EventListener::HandOver() {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return delivering_ == nullptr || stopping_; });
    if (stopping_) return false;
    delivering_ = filling_;
  }
  changed_.notify_all();
  filling_ = filling_ == &batches_[0] ? &batches_[1] : &batches_[0];
  filling_->size = 0;
  return true;
}

void EventListener::Deliver() noexcept {
  for (;;) {
    Batch* batch = nullptr;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return delivering_ != nullptr || stopping_; });
      if (stopping_) return;
      batch = delivering_;
    }
    try {
      if (handler_) handler_(std::span<const Report>(batch->reports.data(), batch->size));
    } catch (const std::exception& e) {
      platform::TraceF("event handler failed: %s\n", e.what());
    } catch (...) {
      platform::Trace("event handler failed\n");
    }
    {
      std::lock_guard lock(mutex_);
      delivering_ = nullptr;
    }
    changed_.notify_all();
  }
}

void EventListener::Receive() noexcept {
  unsigned consecutiveErrors = 0;
  try {
    // One buffer per datagram of a receive call, each as large as the client's datagrams may be.
    constexpr std::size_t kSlots = platform::UdpSocket::kMaxReceiveMany;
    std::vector<char> buffers(kSlots * kReceiveBuffer);
    std::array<platform::UdpSocket::Datagram, kSlots> slots;
    for (std::size_t i = 0; i < kSlots; ++i) {
      slots[i].buffer = std::span<char>(buffers.data() + i * kReceiveBuffer, kReceiveBuffer);
    }
    while (running_.load()) {
      // No more than the batch being filled has room for (it is handed over when full).
      const std::size_t room = std::min(kSlots, kMaxBatch - filling_->size);
      auto received =
          socket_.ReceiveMany(std::span<platform::UdpSocket::Datagram>(slots.data(), room));
      if (!running_.load() || socket_.IsShutDown()) break;
      if (!received && received.error() == platform::kWsaEwouldblock) {
        // Nothing more waiting: hand over what arrived, else sleep until the next datagram.
        if (filling_->size > 0) {
          if (!HandOver()) break;
          continue;
        }
        platform::SocketWait wait{&socket_};
        (void)platform::WaitForSockets(std::span<platform::SocketWait>(&wait, 1));
        continue;
      }
      if (!received) {
        ++errors_;
        platform::TraceF("recvfrom failed err : %u\n", received.error());
        // A persistent error must not turn into a busy loop: back off once errors come in a row.
        if (++consecutiveErrors > 16) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      consecutiveErrors = 0;
      for (std::size_t i = 0; i < *received; ++i) {
        const platform::UdpSocket::Datagram& datagram = slots[i];
        if (datagram.length > datagram.buffer.size()) {
          // An oversized datagram is dropped whole (its head alone is not the client's report).
          ++errors_;
          platform::TraceF("recvfrom failed err : %u\n", platform::kWsaEmsgsize);
          continue;
        }
        ++received_;
        HandleDatagram(std::string_view(datagram.buffer.data(), datagram.length), datagram.from);
      }
      if (filling_->size == kMaxBatch && !HandOver()) break;
    }
  } catch (const std::exception& e) {
    platform::TraceF("event listener ended: %s\n", e.what());
  } catch (...) {
    platform::Trace("event listener ended\n");
  }
}

void EventListener::HandleDatagram(std::string_view datagram, platform::SocketAddress from) {
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
  Report& report = filling_->reports[filling_->size++];
  report.text.assign(text);
  report.from = from;
}

}  // namespace uv::server
