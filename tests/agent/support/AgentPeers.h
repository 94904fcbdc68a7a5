#pragma once
// The peers a client agent talks to, for agent tests in-process and end to end: a console
// stand-in on <console>:40007 that answers "RUT;" with "IMA;" (or not, while it is away) and
// records every report, and a listener on <client>:5555 that records the whitelist notices.
//
// Both sockets are served by one thread and every datagram carries the kernel's receive time
// (SO_TIMESTAMPNS). On loopback that time is taken while the sender's send call runs, so sorting
// by it gives the order in which the agent sent them, across the two ports.
//
// Thread affinity: construct and destroy on one thread; the other members from any thread.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace uv::testing {

class AgentPeers {
 public:
  struct Entry {
    bool notice = false;  // else a report to the console
    std::string text;     // the whole datagram
    std::int64_t stampNs = 0;
  };

  // console, client: dotted loopback addresses. An empty client address: no notice listener.
  AgentPeers(const std::string& console, const std::string& client)
      : console_(Bind(console, 40007)), notices_(client.empty() ? -1 : Bind(client, 5555)) {
    if (::pipe(wake_) != 0) throw std::runtime_error("pipe failed");
    WaitUntilStampedAtSending();
    thread_ = std::thread([this] { Serve(); });
  }
  ~AgentPeers() {
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
    for (int fd : {console_, notices_, wake_[0], wake_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  AgentPeers(const AgentPeers&) = delete;
  AgentPeers& operator=(const AgentPeers&) = delete;

  // While away the console answers no probe (the agent then journals its reports).
  void SetAway(bool away) { away_.store(away); }

  // The message text of a report: what follows its fifth ",".
  static std::string MessageOf(const std::string& report) {
    std::size_t at = 0;
    for (int i = 0; i < 5; ++i) {
      at = report.find(',', at);
      if (at == std::string::npos) return report;
      ++at;
    }
    return report.substr(at);
  }

  // One entry as Sequence() shows it.
  static std::string Shown(const Entry& e) {
    return (e.notice ? "N " : "R ") + (e.notice ? e.text : MessageOf(e.text));
  }

  // Everything received so far in the order sent: reports as "R " + message text, notices as
  // "N " + the notice.
  std::vector<std::string> Sequence() {
    std::lock_guard lock(mutex_);
    std::vector<Entry> sorted = entries_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Entry& a, const Entry& b) { return a.stampNs < b.stampNs; });
    std::vector<std::string> out;
    for (const auto& e : sorted) out.push_back(Shown(e));
    return out;
  }
  std::vector<std::string> Reports() {
    std::vector<std::string> out;
    for (auto& s : Sequence()) {
      if (s.starts_with("R ")) out.push_back(s.substr(2));
    }
    return out;
  }
  std::vector<std::string> RawReports() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : entries_) {
      if (!e.notice) out.push_back(e.text);
    }
    return out;
  }
  std::size_t Probes() {
    std::lock_guard lock(mutex_);
    return probes_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

  // Makes sure every datagram that reached the console's port before this call has been taken
  // in: a marker sent to that port and read back (one socket reads in arrival order).
  bool Settle() {
    const std::string marker = "MARK;" + std::to_string(++markers_);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    socklen_t size = sizeof to;
    ::getsockname(console_, reinterpret_cast<sockaddr*>(&to), &size);
    ::sendto(fd, marker.data(), marker.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
    std::unique_lock lock(mutex_);
    const bool seen = changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::any_of(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.text == marker; });
    });
    std::erase_if(entries_, [&](const Entry& e) { return e.text == marker; });
    return seen;
  }

  // Waits until Sequence() holds `count` entries (reports and notices); returns it.
  std::vector<std::string> WaitForCount(
      std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, limit, [&] { return entries_.size() >= count; });
    }
    return Sequence();
  }
  // Waits until some entry of Sequence() equals `text`; returns the sequence. The entries are
  // looked at under the lock the serving thread adds them under, so an entry that comes between
  // a look and the wait is not missed.
  std::vector<std::string> WaitFor(const std::string& text,
                                   std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, limit, [&] {
        return std::any_of(entries_.begin(), entries_.end(),
                           [&](const Entry& e) { return Shown(e) == text; });
      });
    }
    return Sequence();
  }

 private:
  static int Bind(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    const int buffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      ::close(fd);
      throw std::runtime_error("cannot bind " + address + ":" + std::to_string(port));
    }
    return fd;
  }

  static std::int64_t Stamp(msghdr& message) {
    std::int64_t stamp = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts{};
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        stamp = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
      }
    }
    return stamp;
  }
  static std::int64_t NowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  }

  // When no socket of the system wanted receive times, the kernel switches their taking on a
  // moment after the first one asks (deferred work); until then a datagram gets its time when
  // it is read, not when it is sent, and sorting by it could put a datagram that waited unread
  // after later ones. So wait until a datagram sent to ourselves comes back with a time from
  // before it was read.
  void WaitUntilStampedAtSending() {
    sockaddr_in to{};
    socklen_t size = sizeof to;
    ::getsockname(console_, reinterpret_cast<sockaddr*>(&to), &size);
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sender < 0) throw std::runtime_error("socket failed");
    bool stamped = false;
    // The switch usually comes within milliseconds; on a loaded machine it took over half a
    // second.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stamped && std::chrono::steady_clock::now() < giveUp) {
      ::sendto(sender, "STAMP;", 6, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      const std::int64_t beforeReading = NowNs();
      pollfd fd{console_, POLLIN, 0};
      if (::poll(&fd, 1, 1000) <= 0) continue;
      char byte[8];
      iovec io{byte, sizeof byte};
      char control[256];
      msghdr message{};
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      if (::recvmsg(console_, &message, MSG_DONTWAIT) < 0) continue;
      const std::int64_t stamp = Stamp(message);
      stamped = stamp != 0 && stamp < beforeReading;
    }
    ::close(sender);
    if (!stamped) throw std::runtime_error("datagrams are not stamped when sent");
  }

  void Serve() noexcept {
    std::vector<char> buffer(65536);
    for (;;) {
      pollfd fds[3] = {{wake_[0], POLLIN, 0}, {console_, POLLIN, 0}, {notices_, POLLIN, 0}};
      if (::poll(fds, notices_ >= 0 ? 3 : 2, -1) < 0) continue;
      if (fds[0].revents != 0) return;
      for (int i = 1; i < 3; ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & POLLIN) == 0) continue;
        sockaddr_in from{};
        iovec io{buffer.data(), buffer.size()};
        char control[256];
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fds[i].fd, &message, MSG_DONTWAIT);
        if (n < 0) continue;
        const std::int64_t stamp = Stamp(message);
        const std::string text(buffer.data(), static_cast<std::size_t>(n));
        if (i == 1 && text == "RUT;") {
          {
            std::lock_guard lock(mutex_);
            ++probes_;
          }
          if (!away_.load()) {
            ::sendto(console_, "IMA;", 4, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
          }
          continue;
        }
        {
          std::lock_guard lock(mutex_);
          entries_.push_back({i == 2, text, stamp});
        }
        changed_.notify_all();
      }
    }
  }

  int console_;
  int notices_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> away_{false};
  std::mutex mutex_;  // guards entries_ and probes_
  std::condition_variable changed_;
  std::vector<Entry> entries_;
  std::size_t probes_ = 0;
  int markers_ = 0;  // the owner's thread only
  std::thread thread_;
};

}  // namespace uv::testing
