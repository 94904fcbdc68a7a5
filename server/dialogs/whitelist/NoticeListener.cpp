#include "server/dialogs/whitelist/NoticeListener.h"

#include <array>
#include <cstring>

#include "platform/net/HostResolver.h"

namespace uv::server {

NoticeListener::~NoticeListener() {
  Stop();
}

platform::WinError NoticeListener::Start(platform::Machine& machine, std::uint16_t port,
                                         std::function<void()> onNotice) {
  Stop();
  // Without SO_REUSEADDR: a port another program holds must fail to bind, not be shared.
  auto created = platform::UdpSocket::Create();
  if (!created.ok()) return created.error();
  if (const auto error = created->Bind({platform::LocalBindAddress(machine), port});
      error != platform::kErrorSuccess) {
    return error;
  }
  socket_ = std::move(*created);
  onNotice_ = std::move(onNotice);
  stop_.store(false);
  thread_ = std::thread([this] { Run(); });
  return platform::kErrorSuccess;
}

void NoticeListener::Stop() {
  stop_.store(true);
  if (socket_.IsOpen()) socket_.Shutdown();
  if (thread_.joinable()) thread_.join();
  socket_.Close();
}

std::string NoticeListener::TakeNotice() {
  std::lock_guard lock(mutex_);
  pending_ = false;
  return std::exchange(notice_, {});
}

void NoticeListener::Run() {
  std::array<char, kNoticeBuffer> buffer{};
  while (!stop_.load()) {
    buffer.fill('\0');
    auto got = socket_.ReceiveFrom(std::span(buffer));
    // A datagram larger than the buffer is cut to what fits, not the end of listening.
    if (!got.ok() && got.error() != platform::kWsaEmsgsize) break;
    if (stop_.load()) break;
    const std::size_t size = got.ok() ? std::min(*got, kNoticeBuffer - 1) : kNoticeBuffer - 1;
    const std::size_t text = ::strnlen(buffer.data(), size);
    bool tell = false;
    {
      std::lock_guard lock(mutex_);
      notice_.assign(buffer.data(), text);
      tell = !pending_;
      pending_ = true;
    }
    if (tell && onNotice_) onNotice_();
  }
}

}  // namespace uv::server
