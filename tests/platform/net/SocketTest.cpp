#include "platform/net/Socket.h"
#include "platform/posix/SocketDescriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace uv::platform {
namespace {

using namespace std::chrono_literals;

// Each test binds to a loopback address of its own so that parallel test runs never collide.
const Ipv4Address kReceiverAddress(127, 0, 0, 31);
const Ipv4Address kSenderAddress(127, 0, 0, 32);
const Ipv4Address kTcpAddress(127, 0, 0, 33);
const Ipv4Address kOtherSenderAddress(127, 0, 0, 34);

UdpSocket BoundUdp(Ipv4Address address) {
  auto socket = UdpSocket::Create();
  EXPECT_TRUE(socket.ok());
  EXPECT_EQ(socket->Bind(SocketAddress{address, 0}), kErrorSuccess);
  return std::move(socket).value();
}

SocketAddress Local(const Socket& socket) {
  auto address = socket.LocalAddress();
  EXPECT_TRUE(address.ok());
  return address.value_or(SocketAddress{});
}

std::string Text(const std::vector<std::uint8_t>& bytes, std::size_t length) {
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

TEST(UdpSocketTest, NonBlockingReceiveWithNothingWaitingWouldBlock) {
  UdpSocket receiver = BoundUdp(kReceiverAddress);
  ASSERT_EQ(receiver.SetNonBlocking(true), kErrorSuccess);
  std::array<std::uint8_t, 10> buffer{};
  auto received = receiver.ReceiveFrom(buffer);
  ASSERT_FALSE(received.ok());
  EXPECT_EQ(received.error(), kWsaEwouldblock);
}

TEST(UdpSocketTest, DatagramArrivesWhole_WithItsSenderAddress) {
  UdpSocket receiver = BoundUdp(kReceiverAddress);
  UdpSocket sender = BoundUdp(kSenderAddress);
  auto sent = sender.SendTo("RUT;", Local(receiver));
  ASSERT_TRUE(sent.ok());
  EXPECT_EQ(*sent, 4u);

  std::vector<std::uint8_t> buffer(10, 0);
  SocketAddress from;
  auto received = receiver.ReceiveFrom(buffer, &from);
  ASSERT_TRUE(received.ok());
  EXPECT_EQ(Text(buffer, *received), "RUT;");
  EXPECT_EQ(buffer[4], 0);  // nothing written past the datagram
  EXPECT_EQ(from, Local(sender));

  // An empty datagram is a datagram of length 0, not an error.
  ASSERT_TRUE(sender.SendTo(std::string_view(), Local(receiver)).ok());
  auto empty = receiver.ReceiveFrom(buffer, &from);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(*empty, 0u);
}

TEST(UdpSocketTest, OversizeDatagramReportsMsgsizeButDeliversWhatFits) {
  UdpSocket receiver = BoundUdp(kReceiverAddress);
  UdpSocket sender = BoundUdp(kSenderAddress);
  std::string big(1025, 'x');
  big[0] = 'A';
  big[1023] = 'Z';
  ASSERT_TRUE(sender.SendTo(big, Local(receiver)).ok());
  ASSERT_TRUE(sender.SendTo("next", Local(receiver)).ok());

  std::vector<std::uint8_t> buffer(1024, 0);
  SocketAddress from;
  auto received = receiver.ReceiveFrom(buffer, &from);
  ASSERT_FALSE(received.ok());
  EXPECT_EQ(received.error(), kWsaEmsgsize);
  EXPECT_EQ(buffer[0], 'A');
  EXPECT_EQ(buffer[1023], 'Z');
  EXPECT_EQ(from, Local(sender));

  // The rest of the oversize datagram is gone; the next one is intact.
  auto next = receiver.ReceiveFrom(buffer);
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(Text(buffer, *next), "next");

  // Exactly the buffer's size is not oversize.
  ASSERT_TRUE(sender.SendTo(std::string(1024, 'y'), Local(receiver)).ok());
  auto exact = receiver.ReceiveFrom(buffer);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(*exact, 1024u);
}

TEST(UdpSocketTest, ReceiveManyTakesWhatIsWaitingInOrder_OversizeMarkedNotFailed) {
  UdpSocket receiver = BoundUdp(kReceiverAddress);
  UdpSocket sender = BoundUdp(kSenderAddress);
  UdpSocket other = BoundUdp(kOtherSenderAddress);
  ASSERT_EQ(receiver.SetNonBlocking(true), kErrorSuccess);
  std::vector<UdpSocket::Datagram> slots(8);
  std::vector<std::vector<char>> buffers(slots.size(), std::vector<char>(16, '\0'));
  for (std::size_t i = 0; i < slots.size(); ++i) slots[i].buffer = buffers[i];

  auto none = receiver.ReceiveMany(slots);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error(), kWsaEwouldblock);

  // Five waiting, from two senders, one of them too large for its slot and one empty.
  ASSERT_TRUE(sender.SendTo("one", Local(receiver)).ok());
  ASSERT_TRUE(other.SendTo("two", Local(receiver)).ok());
  ASSERT_TRUE(sender.SendTo(std::string(17, 'L') + "ong", Local(receiver)).ok());
  ASSERT_TRUE(sender.SendTo(std::string_view(), Local(receiver)).ok());
  ASSERT_TRUE(sender.SendTo(std::string(16, 'e'), Local(receiver)).ok());
  auto got = receiver.ReceiveMany(std::span(slots).first(4));  // room for four only
  ASSERT_TRUE(got.ok());
  ASSERT_EQ(*got, 4u);
  EXPECT_EQ(std::string(slots[0].buffer.data(), slots[0].length), "one");
  EXPECT_EQ(slots[0].from, Local(sender));
  EXPECT_EQ(std::string(slots[1].buffer.data(), slots[1].length), "two");
  EXPECT_EQ(slots[1].from, Local(other));
  EXPECT_EQ(slots[2].length, 20u);  // cut to its 16-byte slot, and said so
  EXPECT_EQ(std::string(slots[2].buffer.data(), 16), std::string(16, 'L'));
  EXPECT_EQ(slots[3].length, 0u);

  // The fifth is still waiting; exactly the slot's size is not oversize.
  auto rest = receiver.ReceiveMany(slots);
  ASSERT_TRUE(rest.ok());
  ASSERT_EQ(*rest, 1u);
  EXPECT_EQ(std::string(slots[0].buffer.data(), slots[0].length), std::string(16, 'e'));

  receiver.Shutdown();
  auto after = receiver.ReceiveMany(slots);
  ASSERT_FALSE(after.ok());
  EXPECT_EQ(after.error(), kWsaEintr);
}

TEST(UdpSocketTest, BlockingReceiveTimeoutIsReportedAsTimeout) {
  UdpSocket receiver = BoundUdp(kReceiverAddress);
  ASSERT_EQ(receiver.SetReceiveTimeout(50ms), kErrorSuccess);
  std::array<std::uint8_t, 4> buffer{};
  auto received = receiver.ReceiveFrom(buffer);
  ASSERT_FALSE(received.ok());
  EXPECT_EQ(received.error(), kWsaEtimedout);
}

// TryReceiveFrom never waits, even on a blocking socket with a receive timeout, and takes a
// datagram too long for its buffer off the queue like ReceiveFrom does.
TEST(UdpSocketTest, TryReceiveNeverWaitsAndTakesOversizeDatagramsOff) {
  UdpSocket receiver = BoundUdp(kReceiverAddress);
  ASSERT_EQ(receiver.SetReceiveTimeout(10s), kErrorSuccess);
  std::array<char, 4> buffer{};
  const auto start = std::chrono::steady_clock::now();
  auto nothing = receiver.TryReceiveFrom(buffer);
  ASSERT_FALSE(nothing.ok());
  EXPECT_EQ(nothing.error(), kWsaEwouldblock);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  UdpSocket sender = BoundUdp(kSenderAddress);
  ASSERT_TRUE(sender.SendTo("too long", Local(receiver)).ok());
  ASSERT_TRUE(sender.SendTo("IMA;", Local(receiver)).ok());
  SocketAddress from;
  auto oversize = receiver.TryReceiveFrom(buffer, &from);
  ASSERT_FALSE(oversize.ok());
  EXPECT_EQ(oversize.error(), kWsaEmsgsize);
  EXPECT_EQ(from, Local(sender));
  auto next = receiver.TryReceiveFrom(buffer);
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(std::string(buffer.data(), *next), "IMA;");
}

TEST(UdpSocketTest, ShutdownWakesABlockedReceiver) {
  UdpSocket receiver = BoundUdp(kReceiverAddress);
  std::promise<WinError> result;
  std::thread blocked([&] {
    std::array<std::uint8_t, 16> buffer{};
    auto received = receiver.ReceiveFrom(buffer);
    result.set_value(received.error());
  });
  std::this_thread::sleep_for(20ms);  // let it block; the test passes either way
  receiver.Shutdown();
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  blocked.join();
  EXPECT_EQ(future.get(), kWsaEintr);
  EXPECT_TRUE(receiver.IsShutDown());
}

TEST(UdpSocketTest, SocketsAreCloseOnExecAndMoveOwnership) {
  auto socket = UdpSocket::Create();
  ASSERT_TRUE(socket.ok());
  const int fd = SocketDescriptor::Of(*socket);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  UdpSocket moved = std::move(socket).value();
  EXPECT_EQ(SocketDescriptor::Of(moved), fd);
  moved.Close();
  EXPECT_FALSE(moved.IsOpen());
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // really closed
  std::array<std::uint8_t, 4> buffer{};
  EXPECT_EQ(moved.ReceiveFrom(buffer).error(), kWsaEnotsock);
}

TEST(UdpSocketTest, BindingAnAddressInUseFails) {
  UdpSocket first = BoundUdp(kReceiverAddress);
  auto second = UdpSocket::Create();
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second->Bind(Local(first)), kWsaEaddrinuse);
}

TEST(TcpSocketTest, ConnectSendReceiveAndOrderlyClose) {
  auto listener = TcpListener::Listen(SocketAddress{kTcpAddress, 0});
  ASSERT_TRUE(listener.ok());
  const SocketAddress where = Local(*listener);
  EXPECT_NE(::fcntl(SocketDescriptor::Of(*listener), F_GETFD) & FD_CLOEXEC, 0);

  auto client = TcpSocket::Connect(where, 5s, kSenderAddress);
  ASSERT_TRUE(client.ok()) << client.error();
  SocketAddress peer;
  auto server = listener->Accept(&peer);
  ASSERT_TRUE(server.ok());
  EXPECT_EQ(peer.address, kSenderAddress);
  EXPECT_EQ(peer, Local(*client));
  EXPECT_NE(::fcntl(SocketDescriptor::Of(*server), F_GETFD) & FD_CLOEXEC, 0);

  const std::string frame = "GET;";
  ASSERT_EQ(
      client->SendAll(std::span(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size())),
      kErrorSuccess);
  std::vector<std::uint8_t> buffer(2048, 0);
  auto received = server->Receive(buffer);
  ASSERT_TRUE(received.ok());
  EXPECT_EQ(Text(buffer, *received), "GET;");

  client->Close();
  auto end = server->Receive(buffer);
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(*end, 0u);
  // Writing to a peer that is gone fails instead of killing the process with SIGPIPE.
  WinError lastError = kErrorSuccess;
  for (int i = 0; i < 100 && lastError == kErrorSuccess; ++i) {
    lastError = server->Send("x").error();
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(lastError, kWsaEconnreset);
}

TEST(TcpSocketTest, ConnectToAClosedPortIsRefused) {
  SocketAddress closed;
  {
    auto listener = TcpListener::Listen(SocketAddress{kTcpAddress, 0});
    ASSERT_TRUE(listener.ok());
    closed = Local(*listener);
  }
  auto client = TcpSocket::Connect(closed, 5s);
  ASSERT_FALSE(client.ok());
  EXPECT_EQ(client.error(), kWsaEconnrefused);
}

TEST(TcpSocketTest, NonBlockingReceiveWouldBlockThenReadsData) {
  auto listener = TcpListener::Listen(SocketAddress{kTcpAddress, 0});
  ASSERT_TRUE(listener.ok());
  auto client = TcpSocket::Connect(Local(*listener));
  ASSERT_TRUE(client.ok());
  auto server = listener->Accept();
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(server->SetNonBlocking(true), kErrorSuccess);
  std::array<std::uint8_t, 8> buffer{};
  EXPECT_EQ(server->Receive(buffer).error(), kWsaEwouldblock);
  ASSERT_TRUE(client->Send("abc").ok());
  std::array<SocketWait, 1> wait{SocketWait{&*server}};
  auto ready = WaitForSockets(wait, 5s);
  ASSERT_TRUE(ready.ok());
  EXPECT_EQ(*ready, 1u);
  auto received = server->Receive(buffer);
  ASSERT_TRUE(received.ok());
  EXPECT_EQ(*received, 3u);
}

TEST(TcpListenerTest, ShutdownWakesABlockedAccept) {
  auto listener = TcpListener::Listen(SocketAddress{kTcpAddress, 0});
  ASSERT_TRUE(listener.ok());
  std::promise<WinError> result;
  std::thread blocked([&] { result.set_value(listener->Accept().error()); });
  std::this_thread::sleep_for(20ms);
  listener->Shutdown();
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  blocked.join();
  EXPECT_EQ(future.get(), kWsaEintr);
}

TEST(TcpListenerTest, ListenersReuseTheirAddressAfterAConnectionClosed) {
  SocketAddress where;
  {
    auto listener = TcpListener::Listen(SocketAddress{kTcpAddress, 0});
    ASSERT_TRUE(listener.ok());
    where = Local(*listener);
    auto client = TcpSocket::Connect(where);
    ASSERT_TRUE(client.ok());
    auto server = listener->Accept();
    ASSERT_TRUE(server.ok());
    server->Close();  // the accepting side closes first and keeps TIME_WAIT on the port
  }
  auto again = TcpListener::Listen(where);
  EXPECT_TRUE(again.ok()) << again.error();
}

TEST(WaitForSocketsTest, TimesOutWithNothingReady) {
  UdpSocket a = BoundUdp(kReceiverAddress);
  UdpSocket b = BoundUdp(kSenderAddress);
  std::array<SocketWait, 2> waits{SocketWait{&a}, SocketWait{&b}};
  auto ready = WaitForSockets(waits, 30ms);
  ASSERT_TRUE(ready.ok());
  EXPECT_EQ(*ready, 0u);
  EXPECT_FALSE(waits[0].readable);
  EXPECT_FALSE(waits[1].readable);
}

TEST(WaitForSocketsTest, ReportsWhichOfSeveralSocketsIsReady) {
  UdpSocket a = BoundUdp(kReceiverAddress);
  UdpSocket b = BoundUdp(kSenderAddress);
  ASSERT_TRUE(a.SendTo("ping", Local(b)).ok());
  std::array<SocketWait, 2> waits{SocketWait{&a}, SocketWait{&b}};
  auto ready = WaitForSockets(waits, 5s);
  ASSERT_TRUE(ready.ok());
  EXPECT_EQ(*ready, 1u);
  EXPECT_FALSE(waits[0].readable);
  EXPECT_TRUE(waits[1].readable);

  // A UDP socket can always be written to.
  std::array<SocketWait, 1> write{SocketWait{&a, false, true}};
  ready = WaitForSockets(write, 0ms);
  ASSERT_TRUE(ready.ok());
  EXPECT_TRUE(write[0].writable);
  EXPECT_FALSE(write[0].readable);
}

TEST(WaitForSocketsTest, ShutdownFromAnotherThreadEndsAWaitWithoutTimeout) {
  UdpSocket a = BoundUdp(kReceiverAddress);
  std::promise<bool> woke;
  std::thread waiter([&] {
    std::array<SocketWait, 1> waits{SocketWait{&a}};
    auto ready = WaitForSockets(waits);
    woke.set_value(ready.ok() && waits[0].readable);
  });
  std::this_thread::sleep_for(20ms);
  a.Shutdown();
  auto future = woke.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  waiter.join();
  EXPECT_TRUE(future.get());
}

TEST(WaitForSocketsTest, RejectsEmptyListsAndClosedSockets) {
  std::span<SocketWait> none;
  EXPECT_EQ(WaitForSockets(none, 0ms).error(), kWsaEinval);
  UdpSocket closed;
  std::array<SocketWait, 1> waits{SocketWait{&closed}};
  EXPECT_EQ(WaitForSockets(waits, 0ms).error(), kWsaEinval);
}

}  // namespace
}  // namespace uv::platform
