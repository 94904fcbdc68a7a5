#pragma once
// The SMTP peers of the mail tests and benchmarks, both on 127.0.0.1 with a port of the
// system's choice:
// - AiosmtpdServer: a real server (aiosmtpd, run by Debian's own /usr/bin/python3), optionally
//   requiring AUTH LOGIN and offering STARTTLS, that spools every message it accepts;
// - ScriptedPeer: a small server that answers each command line as the test says (or not at
//   all) and records every line it receives, for the cases a real server will not produce.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/Socket.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

namespace uv::test {

// Where the harness script and the test certificate are.
std::filesystem::path MailTestDirectory();

class AiosmtpdServer {
 public:
  struct Options {
    std::optional<std::pair<std::string, std::string>> auth;  // require AUTH LOGIN
    bool tls = false;                                         // offer STARTTLS (test cert)
    bool countOnly = false;                                   // spool only every 100th
  };
  struct Message {
    std::string mailFrom;
    std::vector<std::string> mailOptions;
    std::vector<std::string> rcptTos;
    std::string login;
    bool tls = false;
    std::string data;  // as received, without the terminating "."
  };

  explicit AiosmtpdServer(Options options);
  ~AiosmtpdServer();
  AiosmtpdServer(const AiosmtpdServer&) = delete;
  AiosmtpdServer& operator=(const AiosmtpdServer&) = delete;

  // 0 when the server did not start.
  std::uint16_t Port() const { return port_; }
  // The messages spooled so far, once at least `count` are there (or the timeout passed).
  std::vector<Message> WaitForMessages(
      std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Messages accepted, as the server counted them (the last spooled record's number).
  std::size_t Accepted() const;

 private:
  TempDir spool_;  // declared first: the server process goes before its spool
  std::optional<ChildProcess> process_;
  std::uint16_t port_ = 0;
};

class ScriptedPeer {
 public:
  // The reply to one command line (without its CR LF) on the connection with this number (0,
  // 1, ...); "GREETING" asks for the greeting, "." for the reply after the message. Nothing
  // means: say nothing and go on listening.
  using Responder =
      std::function<std::optional<std::string>(const std::string& line, int connection)>;

  explicit ScriptedPeer(Responder responder);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::uint16_t Port() const { return port_; }
  // Every line received, CR LF kept, per connection.
  std::vector<std::vector<std::string>> Lines() const;
  // Waits until `count` connections have been closed by the client.
  bool WaitForClosed(int count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits until some connection has received a line starting with `prefix`.
  bool WaitForLine(const std::string& prefix,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  void Serve();
  void Talk(platform::TcpSocket& connection, int number);

  Responder responder_;
  platform::TcpListener listener_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<std::string>> lines_;  // guarded by mutex_
  int closed_ = 0;                               // guarded by mutex_
  platform::TcpSocket* current_ = nullptr;       // guarded by mutex_
  std::thread thread_;
};

// A responder from a table: the first word of a line (upper-cased) picks the reply; words not in
// the table get "250 ok\r\n". Keys may also be whole lines.
ScriptedPeer::Responder ReplyTable(std::vector<std::pair<std::string, std::string>> table);

}  // namespace uv::test
