#pragma once
// One SMTP conversation per mail: greeting, EHLO (HELO when the server refuses it), optional
// STARTTLS, optional AUTH LOGIN, MAIL FROM, RCPT TO, DATA, the message, QUIT. Mail is best
// effort: every failure is traced with its fixed text and the mail is dropped; nothing is shown.
//
// Replies are read to their last line (the first line whose fourth character is not "-"), so
// servers that answer EHLO with several lines and send their replies in pieces are understood;
// a reply is judged by its first three characters. The connect and each reply have time limits,
// so a server that stops answering cannot hold the caller for ever.
//
// Thread affinity: the calling thread (a thread with a Qt event dispatcher, such as a QThread or
// the application's main thread, avoids Qt's socket-notifier warnings). Blocking.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/Ipv4Address.h"
#include "server/mail/MailQueue.h"

namespace uv::server {

struct SmtpLimits {
  std::chrono::milliseconds connect{10'000};
  // For each reply as a whole, and for each send to drain; also for the TLS handshake.
  std::chrono::milliseconds reply{30'000};
};

// A reply longer than this is not a reply: the conversation ends as on a socket error.
inline constexpr std::size_t kMaxSmtpReply = 64 * 1024;
// The greeting's host name is cut to this many bytes (whole UTF-8 characters only).
inline constexpr std::size_t kMaxGreetingHostName = 127;

struct SmtpOptions {
  // The name this computer greets with; empty gives "localhost".
  std::string localHostName;
  SmtpLimits limits;
  // Name lookup of the record's server text. Empty: dotted addresses only.
  std::function<std::optional<platform::Ipv4Address>(const std::string& server)> resolve;
  // The address outgoing connections are made from (a simulated computer's own loopback
  // address); none lets the system choose.
  std::optional<platform::Ipv4Address> bindFrom;
  // PEM certificates trusted for STARTTLS besides the system's (a private authority).
  std::string extraCaCertificatesPem;
};

// How one conversation ended. The worker waits before the next one after a failure of the
// connection itself (the server is down, unreachable or silent), not after a refusal, which
// concerns this mail only.
enum class MailOutcome {
  kSent,            // the server accepted the message
  kRefused,         // the server answered with a code the step does not accept
  kNotMailable,     // the record cannot be mailed as it is (a line break in an address)
  kConnectFailed,   // no connection: unknown server, no port, refused, unreachable, connect limit
  kTimedOut,        // the server stopped answering within the reply limit
  kConnectionLost,  // the connection broke (closed by the server, reset, a reply beyond bounds)
};

constexpr bool IsConnectionFailure(MailOutcome outcome) {
  return outcome == MailOutcome::kConnectFailed || outcome == MailOutcome::kTimedOut ||
         outcome == MailOutcome::kConnectionLost;
}

// Runs the conversation for one mail.
MailOutcome SendMail(const EMAIL_CONTEXT& mail, const SmtpOptions& options);

// Standard base64 (RFC 4648 alphabet, "=" padding) as one line, of any length.
std::string Base64Encode(std::string_view bytes);

// The text sent after DATA: "From:", "To:" and "Subject:" lines, an empty line, the body and
// "\r\n\r\n.\r\n". A body of plain ASCII is sent exactly as built. A body with other bytes is
// UTF-8 text of the machine's code page: the message then says so with MIME header lines
// (charset UTF-8, 8bit) after the subject, and a byte that is not part of a well-formed UTF-8
// character is sent as "?". A "." that would start a line is doubled, whatever the body holds.
std::string ComposeMessage(const EMAIL_CONTEXT& mail);

// True when ComposeMessage carries 8-bit text for this mail (MAIL FROM then asks for
// BODY=8BITMIME where the server offers it).
bool IsEightBitMail(const EMAIL_CONTEXT& mail);

}  // namespace uv::server
