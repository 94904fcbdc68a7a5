#include "server/app/EventListener.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <string>

#include "platform/trace/Trace.h"

namespace uv::server {

namespace {

// The requests are recognised over five bytes, terminator included: only a datagram of exactly
// those four characters (up to its first zero byte) is one.
bool IsRequest(const char* buffer, const char* request) {
  return std::memcmp(buffer, request, 5) == 0;
}

}  // namespace

EventListener::EventListener(platform::UdpSocket socket, Handler handler, ConfigAnswer configAnswer)
    : socket_(std::move(socket)),
      handler_(std::move(handler)),
      configAnswer_(std::move(configAnswer)) {}

EventListener::~EventListener() {
  Stop();
}

void EventListener::Start() {
  if (thread_.joinable()) return;
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

void EventListener::Stop() {
  running_ = false;
  socket_.Shutdown();
  if (thread_.joinable()) thread_.join();
  socket_.Close();
}

void EventListener::Run() noexcept {
  // One extra byte so that a 1024-byte datagram still ends in a zero after its 1023 kept bytes.
  char buffer[kReceiveBuffer + 1];
  unsigned consecutiveErrors = 0;
  while (running_.load()) {
    std::memset(buffer, 0, sizeof buffer);
    platform::SocketAddress from;
    auto received = socket_.ReceiveFrom(std::span<char>(buffer, kReceiveBuffer), &from);
    if (!running_.load() || socket_.IsShutDown()) break;
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
    try {
      HandleDatagram(buffer, *received, from);
    } catch (const std::exception& e) {
      platform::TraceF("event handling failed: %s\n", e.what());
    } catch (...) {
      platform::Trace("event handling failed\n");
    }
  }
}

void EventListener::HandleDatagram(const char* buffer, std::size_t length,
                                   platform::SocketAddress from) {
  // The receive copy: at most 1023 bytes, zero-terminated.
  char copy[kReceiveBuffer];
  std::memset(copy, 0, sizeof copy);
  std::memcpy(copy, buffer, length < kMaxText ? length : kMaxText);

  if (IsRequest(copy, "RUT;")) {
    if (auto sent = socket_.SendTo(std::string_view("IMA;"), from); !sent) {
      platform::TraceF("sendto IMA; failed err : %u\n", sent.error());
    }
    return;
  }
  if (IsRequest(copy, "GCC;")) {
    const std::optional<char> answer = configAnswer_ ? configAnswer_() : std::nullopt;
    if (answer) {
      if (auto sent = socket_.SendTo(std::string_view(&*answer, 1), from); !sent) {
        platform::TraceF("sendto GCC answer failed err : %u\n", sent.error());
      }
    }
    return;
  }
  const std::string_view text(copy, std::strlen(copy));
  if (platform::TraceEnabled()) platform::Trace(std::string("While Post ").append(text));
  if (handler_) handler_(text, from);
}

}  // namespace uv::server
