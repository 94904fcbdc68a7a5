#include "server/mail/SmtpConversation.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QString>
#include <algorithm>
#include <cstdint>

#include "platform/trace/Trace.h"

namespace uv::server {

namespace {

using Clock = std::chrono::steady_clock;

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Length of the well-formed UTF-8 character at text[i], or 0.
std::size_t Utf8CharLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  std::uint32_t min = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  std::uint32_t code = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// The host name cut to the greeting's limit without splitting a character.
std::string GreetingName(std::string name) {
  if (name.empty()) return "localhost";
  if (name.size() > kMaxGreetingHostName) {
    std::size_t cut = kMaxGreetingHostName;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return name;
}

// What the server said it can do in its EHLO reply.
struct Extensions {
  bool startTls = false;
  bool eightBitMime = false;
};

Extensions ParseExtensions(std::string_view reply) {
  Extensions found;
  std::size_t pos = 0;
  while (pos < reply.size()) {
    std::size_t end = reply.find('\n', pos);
    if (end == std::string_view::npos) end = reply.size();
    std::string_view line = reply.substr(pos, end - pos);
    pos = end + 1;
    if (line.size() < 4) continue;
    std::string keyword(line.substr(4));
    while (!keyword.empty() && (keyword.back() == '\r' || keyword.back() == ' ')) {
      keyword.pop_back();
    }
    const std::size_t blank = keyword.find(' ');
    if (blank != std::string::npos) keyword.resize(blank);
    std::transform(keyword.begin(), keyword.end(), keyword.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (keyword == "STARTTLS") found.startTls = true;
    if (keyword == "8BITMIME") found.eightBitMime = true;
  }
  return found;
}

class Conversation {
 public:
  Conversation(const EMAIL_CONTEXT& mail, const SmtpOptions& options)
      : mail_(mail), options_(options) {}
  ~Conversation() { Close(); }
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  MailOutcome Run() { return Talk() ? MailOutcome::kSent : outcome_; }

 private:
  // The steps; false after a failure, whose kind is in outcome_.
  bool Talk();
  // A failed wait on the socket: the limit ran out, or the connection is gone.
  bool Fail(bool timedOut) {
    outcome_ = timedOut || socket_.error() == QAbstractSocket::SocketTimeoutError
                   ? MailOutcome::kTimedOut
                   : MailOutcome::kConnectionLost;
    return false;
  }
  // A step's sending and receiving; false after a socket error (traced, socket closed).
  bool Send(std::string_view text, const char* sendTrace);
  std::optional<std::string> Receive(const char* receiveTrace);
  // A step: send, read the reply; the reply, or nothing after a socket error.
  std::optional<std::string> Step(std::string_view text, const char* sendTrace,
                                  const char* receiveTrace);
  // A wrong reply: trace, "QUIT" without waiting for its answer, close.
  bool Refuse(const char* trace);
  bool Greet(Extensions& extensions);
  bool UpgradeToTls(Extensions& extensions);
  bool WriteAll(std::string_view text);
  std::optional<std::string> ReadReply();
  void Close();

  const EMAIL_CONTEXT& mail_;
  const SmtpOptions& options_;
  QSslSocket socket_;
  std::string pending_;  // received bytes after the last complete reply
  std::string hostName_;
  MailOutcome outcome_ = MailOutcome::kConnectionLost;
};

bool Accepts(const std::string& reply, std::initializer_list<std::string_view> codes) {
  const std::string_view code = std::string_view(reply).substr(0, 3);
  return std::any_of(codes.begin(), codes.end(), [&](std::string_view c) { return c == code; });
}

void Conversation::Close() {
  if (socket_.state() != QAbstractSocket::UnconnectedState) socket_.abort();
}

bool Conversation::WriteAll(std::string_view text) {
  if (socket_.state() != QAbstractSocket::ConnectedState) return Fail(false);
  const auto size = static_cast<qint64>(text.size());
  if (socket_.write(text.data(), size) != size) return Fail(false);
  const Clock::time_point deadline = Clock::now() + options_.limits.reply;
  while (socket_.bytesToWrite() > 0 || socket_.encryptedBytesToWrite() > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Fail(true);
    if (!socket_.waitForBytesWritten(static_cast<int>(left))) return Fail(false);
  }
  return true;
}

std::optional<std::string> Conversation::ReadReply() {
  const Clock::time_point deadline = Clock::now() + options_.limits.reply;
  std::size_t scanned = 0;  // bytes of pending_ known to hold only continuation lines
  for (;;) {
    std::size_t end;
    while ((end = pending_.find('\n', scanned)) != std::string::npos) {
      // The last line of a reply is the first whose fourth character is not "-" ("250 ok",
      // also a bare "250").
      const std::size_t length = end - scanned;
      const bool last = length < 4 || pending_[scanned + 3] != '-';
      scanned = end + 1;
      if (last) {
        std::string reply = pending_.substr(0, scanned);
        pending_.erase(0, scanned);
        return reply;
      }
    }
    if (pending_.size() > kMaxSmtpReply) {
      outcome_ = MailOutcome::kConnectionLost;
      return std::nullopt;
    }
    if (socket_.bytesAvailable() <= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        Fail(true);
        return std::nullopt;
      }
      if (!socket_.waitForReadyRead(static_cast<int>(left))) {
        Fail(false);
        return std::nullopt;
      }
    }
    const QByteArray chunk = socket_.read(static_cast<qint64>(kMaxSmtpReply));
    if (chunk.isEmpty() && socket_.state() != QAbstractSocket::ConnectedState) {
      Fail(false);
      return std::nullopt;
    }
    pending_.append(chunk.constData(), static_cast<std::size_t>(chunk.size()));
  }
}

bool Conversation::Send(std::string_view text, const char* sendTrace) {
  if (WriteAll(text)) return true;
  platform::Trace(sendTrace);
  Close();
  return false;
}

std::optional<std::string> Conversation::Receive(const char* receiveTrace) {
  auto reply = ReadReply();
  if (!reply) {
    platform::Trace(receiveTrace);
    Close();
  }
  return reply;
}

std::optional<std::string> Conversation::Step(std::string_view text, const char* sendTrace,
                                              const char* receiveTrace) {
  if (!Send(text, sendTrace)) return std::nullopt;
  return Receive(receiveTrace);
}

bool Conversation::Refuse(const char* trace) {
  platform::Trace(trace);
  (void)WriteAll("QUIT\r\n");
  outcome_ = MailOutcome::kRefused;  // whatever became of the QUIT
  Close();
  return false;
}

bool Conversation::Greet(Extensions& extensions) {
  // EHLO first: servers offer AUTH and STARTTLS only to it. A server that does not know it
  // refuses with a 5xx code and gets HELO.
  auto reply =
      Step("EHLO " + hostName_ + "\r\n", " Send failed sock err", " Mail Object failed sock err");
  if (!reply) return false;
  if (Accepts(*reply, {"220", "250"})) {
    extensions = ParseExtensions(*reply);
    return true;
  }
  if (reply->empty() || (*reply)[0] != '5') return Refuse(" Helo Response failed");
  reply =
      Step("HELO " + hostName_ + "\r\n", " Send failed sock err", " Mail Object failed sock err");
  if (!reply) return false;
  if (!Accepts(*reply, {"220", "250"})) return Refuse(" Helo Response failed");
  extensions = {};
  return true;
}

bool Conversation::UpgradeToTls(Extensions& extensions) {
  auto reply = Step("STARTTLS\r\n", " Send failed sock err", " STARTTLS failed sock err");
  if (!reply) return false;
  if (!Accepts(*reply, {"220"})) return Refuse(" STARTTLS failed");
  // Nothing the server sent before the handshake may count as said under TLS.
  pending_.clear();
  QSslConfiguration config = QSslConfiguration::defaultConfiguration();
  if (!options_.extraCaCertificatesPem.empty()) {
    QList<QSslCertificate> authorities = config.caCertificates();
    authorities += QSslCertificate::fromData(
        QByteArray::fromStdString(options_.extraCaCertificatesPem), QSsl::Pem);
    config.setCaCertificates(authorities);
  }
  config.setPeerVerifyMode(QSslSocket::VerifyPeer);
  socket_.setSslConfiguration(config);
  socket_.setPeerVerifyName(QString::fromStdString(mail_.Server));
  socket_.startClientEncryption();
  if (!socket_.waitForEncrypted(static_cast<int>(options_.limits.reply.count()))) {
    platform::Trace(" STARTTLS handshake failed");
    // A certificate nobody vouches for is this server's answer, not its absence.
    const bool timedOut = socket_.error() == QAbstractSocket::SocketTimeoutError;
    outcome_ = timedOut ? MailOutcome::kTimedOut : MailOutcome::kRefused;
    Close();
    return false;
  }
  // The server's abilities are asked again: what it said in clear may have been altered.
  reply =
      Step("EHLO " + hostName_ + "\r\n", " Send failed sock err", " Mail Object failed sock err");
  if (!reply) return false;
  if (!Accepts(*reply, {"250"})) return Refuse(" Helo Response failed");
  extensions = ParseExtensions(*reply);
  return true;
}

bool Conversation::Talk() {
  // A line break in a header or envelope text would let it carry commands of its own.
  if (HasLineBreak(mail_.From) || HasLineBreak(mail_.To) || HasLineBreak(mail_.Subject) ||
      HasLineBreak(mail_.Server)) {
    platform::Trace(" Mail address holds a line break");
    outcome_ = MailOutcome::kNotMailable;
    return false;
  }
  hostName_ = GreetingName(options_.localHostName);

  // 1, 2: socket and connection.
  std::optional<platform::Ipv4Address> address;
  if (options_.resolve) {
    address = options_.resolve(mail_.Server);
  } else {
    address = platform::Ipv4Address::Parse(mail_.Server);
  }
  if (options_.bindFrom && !socket_.bind(QHostAddress(options_.bindFrom->HostOrder()), 0)) {
    platform::Trace(" craete failed");
    outcome_ = MailOutcome::kConnectFailed;
    return false;
  }
  if (!address || mail_.Port <= 0 || mail_.Port > 65535) {
    platform::Trace("connect failed");
    outcome_ = MailOutcome::kConnectFailed;
    return false;
  }
  socket_.connectToHost(QHostAddress(address->HostOrder()), static_cast<quint16>(mail_.Port));
  if (!socket_.waitForConnected(static_cast<int>(options_.limits.connect.count()))) {
    platform::Trace("connect failed");
    outcome_ = MailOutcome::kConnectFailed;
    Close();
    return false;
  }

  // 3: the greeting, whatever it says.
  if (!Receive(" Mail Object failed sock err")) return false;
  // 4: EHLO or HELO.
  Extensions extensions;
  if (!Greet(extensions)) return false;
  if (mail_.StartTls) {
    if (extensions.startTls) {
      if (!UpgradeToTls(extensions)) return false;
    } else if (mail_.Authenticate) {
      // The password would cross the network in clear, which is what the setting forbids.
      return Refuse(" STARTTLS not offered");
    }
  }

  // 5 to 7: AUTH LOGIN.
  if (mail_.Authenticate) {
    auto reply = Step("AUTH LOGIN\r\n", " Send AUTH failed sock err", " AUTH failed sock err");
    if (!reply) return false;
    if (!Accepts(*reply, {"334", "250"})) return Refuse(" AUTH LOGIN failed");
    reply = Step(Base64Encode(mail_.UserName) + "\r\n", " Send AUTH UserName failed sock err",
                 " AUTH failed sock err");
    if (!reply) return false;
    if (!Accepts(*reply, {"334"})) return Refuse(" AUTH LOGIN failed");
    reply = Step(Base64Encode(mail_.Password) + "\r\n", " Send AUTH password failed sock err",
                 " AUTH failed sock err");
    if (!reply) return false;
    if (!Accepts(*reply, {"235"})) return Refuse(" AUTH LOGIN failed");
  }

  // 8: sender.
  std::string mailFrom = "MAIL FROM:<" + mail_.From + ">";
  if (extensions.eightBitMime && IsEightBitMail(mail_)) mailFrom += " BODY=8BITMIME";
  auto reply = Step(mailFrom + "\r\n", " Send failed sock err", " Mail From failed sock err");
  if (!reply) return false;
  if (!Accepts(*reply, {"250"})) return Refuse(" Mail From failed");
  // 9: recipient.
  reply =
      Step("RCPT TO:<" + mail_.To + ">\r\n", " Send failed sock err", " Mail To failed sock err");
  if (!reply) return false;
  if (!Accepts(*reply, {"250"})) return Refuse(" Mail To failed");
  // 10: data.
  reply = Step("DATA\r\n", " Send failed sock err", " Data cmd failed sock err");
  if (!reply) return false;
  if (!Accepts(*reply, {"354", "250"})) return Refuse(" Data cmd Failed");
  // 11: the message.
  reply = Step(ComposeMessage(mail_), " Send failed sock err", "  Termination sock err");
  if (!reply) return false;
  if (!Accepts(*reply, {"250", "251", "354"})) return Refuse(" Terminaton failed");
  // 12: quit. The message is with the server now, whatever the answer.
  if (Send("QUIT\r\n", " Send failed sock err")) (void)Receive("  Termination sock err");
  Close();
  return true;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                            (std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                            std::uint32_t{static_cast<unsigned char>(bytes[i + 2])};
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
    if (rest == 2) n |= std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool IsEightBitMail(const EMAIL_CONTEXT& mail) {
  return !IsAscii(mail.Body);
}

std::string ComposeMessage(const EMAIL_CONTEXT& mail) {
  std::string text;
  text.reserve(mail.From.size() + mail.To.size() + mail.Subject.size() + mail.Body.size() + 160);
  text.append("From: ").append(mail.From).append("\r\n");
  text.append("To: ").append(mail.To).append("\r\n");
  text.append("Subject: ").append(mail.Subject).append("\r\n");
  const bool eightBit = IsEightBitMail(mail);
  if (eightBit) {
    text.append(
        "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
        "Content-Transfer-Encoding: 8bit\r\n");
  }
  text.append("\r\n");
  const std::string_view body = mail.Body;
  bool lineStart = true;
  for (std::size_t i = 0; i < body.size();) {
    const char c = body[i];
    // Doubled at a line start, by either end of line a server may go by, so no body can end
    // the DATA.
    if (c == '.' && lineStart) text += '.';
    lineStart = c == '\n' || c == '\r';
    if (eightBit && static_cast<unsigned char>(c) >= 0x80) {
      const std::size_t length = Utf8CharLength(body, i);
      if (length == 0) {
        text += '?';
        ++i;
      } else {
        text.append(body.substr(i, length));
        i += length;
      }
      continue;
    }
    text += c;
    ++i;
  }
  text.append("\r\n\r\n.\r\n");
  return text;
}

MailOutcome SendMail(const EMAIL_CONTEXT& mail, const SmtpOptions& options) {
  Conversation conversation(mail, options);
  return conversation.Run();
}

}  // namespace uv::server
