#include "tests/server_mail/SmtpTestPeers.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace uv::test {

std::filesystem::path MailTestDirectory() {
  return USBVANTREL_MAIL_TEST_DIR;
}

AiosmtpdServer::AiosmtpdServer(Options options) : spool_("uv-smtp") {
  std::vector<std::string> args{(MailTestDirectory() / "smtp_server.py").string(),
                                spool_.path().string()};
  if (options.auth) args.insert(args.end(), {"--auth", options.auth->first, options.auth->second});
  if (options.tls) {
    args.insert(args.end(), {"--tls", (MailTestDirectory() / "fixtures/localhost.pem").string(),
                             (MailTestDirectory() / "fixtures/localhost.key").string()});
  }
  if (options.countOnly) args.emplace_back("--count-only");
  // Debian's own interpreter, which has the Debian package; a version manager's python3 on the
  // PATH would not.
  process_ = ChildProcess::Start("/usr/bin/python3", args);
  if (!process_) return;
  // The server's first line says where it listens.
  const std::optional<std::string> first = process_->ReadLine(std::chrono::seconds(20));
  if (first && first->rfind("PORT ", 0) == 0) {
    port_ = static_cast<std::uint16_t>(std::strtoul(first->c_str() + 5, nullptr, 10));
  }
}

AiosmtpdServer::~AiosmtpdServer() {
  process_.reset();  // killed and reaped before its spool goes
}

std::vector<AiosmtpdServer::Message> AiosmtpdServer::WaitForMessages(
    std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::filesystem::path> records;
  for (;;) {
    records.clear();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(spool_.path(), ec)) {
      if (entry.path().extension() == ".json") records.push_back(entry.path());
    }
    if (records.size() >= count || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::sort(records.begin(), records.end());
  std::vector<Message> messages;
  for (const auto& record : records) {
    const QJsonObject meta =
        QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(record))).object();
    Message m;
    m.mailFrom = meta.value("mail_from").toString().toStdString();
    for (const auto& v : meta.value("mail_options").toArray()) {
      m.mailOptions.push_back(v.toString().toStdString());
    }
    for (const auto& v : meta.value("rcpt_tos").toArray()) {
      m.rcptTos.push_back(v.toString().toStdString());
    }
    m.login = meta.value("login").toString().toStdString();
    m.tls = meta.value("tls").toBool();
    std::filesystem::path data = record;
    m.data = ReadFile(data.replace_extension(".data"));
    messages.push_back(std::move(m));
  }
  return messages;
}

std::size_t AiosmtpdServer::Accepted() const {
  std::size_t highest = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(spool_.path(), ec)) {
    if (entry.path().extension() != ".json") continue;
    const QJsonObject meta =
        QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(entry.path()))).object();
    highest = std::max(highest, static_cast<std::size_t>(meta.value("count").toInt()));
  }
  return highest;
}

// ---- scripted peer ------------------------------------------------------------------------------

ScriptedPeer::ScriptedPeer(Responder responder) : responder_(std::move(responder)) {
  auto listener =
      platform::TcpListener::Listen(platform::SocketAddress{platform::Ipv4Address::Loopback(), 0});
  if (!listener) return;
  listener_ = std::move(listener.value());
  auto local = listener_.LocalAddress();
  if (local) port_ = local->port;
  thread_ = std::thread([this] { Serve(); });
}

ScriptedPeer::~ScriptedPeer() {
  listener_.Shutdown();
  {
    std::lock_guard lock(mutex_);
    if (current_ != nullptr) current_->Shutdown();
  }
  if (thread_.joinable()) thread_.join();
}

void ScriptedPeer::Serve() {
  for (int number = 0;; ++number) {
    auto connection = listener_.Accept();
    if (!connection) return;
    {
      std::lock_guard lock(mutex_);
      lines_.emplace_back();
      current_ = &connection.value();
    }
    Talk(connection.value(), number);
    {
      std::lock_guard lock(mutex_);
      current_ = nullptr;
      ++closed_;
    }
    changed_.notify_all();
    if (listener_.IsShutDown()) return;
  }
}

void ScriptedPeer::Talk(platform::TcpSocket& connection, int number) {
  const auto reply = [&](const std::string& line) {
    if (auto text = responder_(line, number)) {
      (void)connection.SendAll(
          std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
    }
  };
  reply("GREETING");
  std::string buffer;
  bool inData = false;
  char chunk[4096];
  for (;;) {
    auto got = connection.Receive(std::span<char>(chunk, sizeof chunk));
    if (!got || got.value() == 0) return;
    buffer.append(chunk, got.value());
    std::size_t end;
    while ((end = buffer.find('\n')) != std::string::npos) {
      std::string line = buffer.substr(0, end + 1);
      buffer.erase(0, end + 1);
      {
        std::lock_guard lock(mutex_);
        lines_.back().push_back(line);
      }
      changed_.notify_all();
      std::string command = line;
      while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
        command.pop_back();
      }
      if (inData) {
        if (command == ".") {
          inData = false;
          reply(".");
        }
        continue;
      }
      const std::optional<std::string> answer = responder_(command, number);
      if (answer) {
        (void)connection.SendAll(
            std::span(reinterpret_cast<const std::uint8_t*>(answer->data()), answer->size()));
      }
      std::string word = command.substr(0, command.find(' '));
      std::transform(word.begin(), word.end(), word.begin(),
                     [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
      if (word == "DATA" && answer && answer->rfind("354", 0) == 0) inData = true;
    }
  }
}

std::vector<std::vector<std::string>> ScriptedPeer::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool ScriptedPeer::WaitForClosed(int count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return closed_ >= count; });
}

bool ScriptedPeer::WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    for (const auto& connection : lines_) {
      for (const auto& line : connection) {
        if (line.rfind(prefix, 0) == 0) return true;
      }
    }
    return false;
  });
}

ScriptedPeer::Responder ReplyTable(std::vector<std::pair<std::string, std::string>> table) {
  return [table = std::move(table)](const std::string& line, int) -> std::optional<std::string> {
    std::string word = line.substr(0, line.find(' '));
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const auto& [key, reply] : table) {
      if (key == line) return reply == "(silent)" ? std::nullopt : std::optional(reply);
    }
    for (const auto& [key, reply] : table) {
      if (key == word) return reply == "(silent)" ? std::nullopt : std::optional(reply);
    }
    static const std::map<std::string, std::string> kDefaults = {{"GREETING", "220 peer ready\r\n"},
                                                                 {"DATA", "354 go ahead\r\n"},
                                                                 {".", "250 queued\r\n"},
                                                                 {"QUIT", "221 bye\r\n"}};
    auto it = kDefaults.find(word);
    return it != kDefaults.end() ? it->second : std::string("250 ok\r\n");
  };
}

}  // namespace uv::test
