#pragma once
// Runs the real USBVantrelServer on a temporary machine root and talks to it with raw datagrams,
// for the end-to-end tests and the intake benchmark. The root gets a hosts file that gives the
// computer its own loopback address, so the console binds there and runs side by side do not
// meet.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/Socket.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

namespace uv::test {

class ConsoleRoot {
 public:
  // address: the computer's loopback address (e.g. 127.0.0.151).
  explicit ConsoleRoot(platform::Ipv4Address address);
  ConsoleRoot(const ConsoleRoot&) = delete;
  ConsoleRoot& operator=(const ConsoleRoot&) = delete;

  const std::filesystem::path& Path() const { return dir_.path(); }
  platform::Ipv4Address Address() const { return address_; }
  platform::SocketAddress EventPort() const { return {address_, 40007}; }

  // Console settings in this machine's registry; false when the value could not be stored.
  bool SetDword(const std::string& name, std::uint32_t value);
  bool SetString(const std::string& name, const std::string& value);

  // Lets another user read the root (the registry stays writable only by its owner).
  void OpenForOthers();

 private:
  TempDir dir_;
  platform::Ipv4Address address_;
};

class ConsoleProcess {
 public:
  struct Options {
    std::vector<std::string> arguments;
    std::string program;               // empty: the console of this build
    std::optional<unsigned> runAsUid;  // drop root rights to this uid (and gid) first
  };

  ConsoleProcess(const ConsoleRoot& root, Options options);
  explicit ConsoleProcess(const ConsoleRoot& root) : ConsoleProcess(root, Options{}) {}
  ~ConsoleProcess();  // ends the process (SIGTERM, then SIGKILL) if it still runs
  ConsoleProcess(const ConsoleProcess&) = delete;
  ConsoleProcess& operator=(const ConsoleProcess&) = delete;

  // The exit code once the process has ended within the timeout (-1 for a signal).
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // SIGTERM: the console runs its "Exit".
  void Terminate();
  bool Running();

  // Everything the process wrote to stderr so far (message boxes are written there).
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  std::filesystem::path stderrFile_;
};

// A UDP socket of the test, bound to 127.0.0.1 with a system-chosen port.
class Peer {
 public:
  Peer();
  bool Send(std::string_view bytes, platform::SocketAddress to);
  // The next datagram within the timeout, or nothing.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout);
  // Sends "RUT;" until "IMA;" comes back or the timeout passes.
  bool WaitUntilAnswering(platform::SocketAddress console, std::chrono::milliseconds timeout);

 private:
  platform::UdpSocket socket_;
};

}  // namespace uv::test
