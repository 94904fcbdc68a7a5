// One SMTP conversation against a real server (aiosmtpd) and against a scripted peer: what goes
// over the wire byte for byte, what each failure traces, and that no event text can talk SMTP.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/trace/Trace.h"
#include "server/app/EventRules.h"
#include "server/mail/SmtpConversation.h"
#include "tests/server_mail/SmtpTestPeers.h"

namespace uv::server {
namespace {

using namespace std::chrono_literals;
using test::AiosmtpdServer;
using test::ReplyTable;
using test::ScriptedPeer;

// The full event text as the console hands it to the mail outlet.
constexpr const char* kEvent =
    "07/03/2009,14:05:09,PC17\\alice,127.0.0.1,Inserted Kingston DataTraveler [ 127.0.0.1 ] at "
    "14:05:10";
constexpr const char* kEventBody =
    "Date:07/03/2009\nTime:14:05:09\nComputer Name\\User:PC17\\alice\nIP "
    "Address:127.0.0.1\nCategory:Inserted\nMessage:Inserted Kingston DataTraveler [ 127.0.0.1 ] "
    "at 14:05:10\r\n";

EMAIL_CONTEXT Mail(std::uint16_t port, std::string body = kEventBody) {
  EMAIL_CONTEXT mail;
  mail.From = "console@pc17.test";
  mail.To = "admin@corp.test";
  mail.Subject = "USBVantrel! Alert";
  mail.Body = std::move(body);
  mail.Server = "127.0.0.1";
  mail.Port = port;
  return mail;
}

SmtpOptions Options() {
  SmtpOptions options;
  options.localHostName = "pc17";
  options.limits = {2s, 2s};
  options.extraCaCertificatesPem =
      test::ReadFile(test::MailTestDirectory() / "fixtures/localhost.pem");
  return options;
}

// Collects what the conversation traces.
class Traces {
 public:
  Traces()
      : sink_([this](std::string_view text) {
          std::lock_guard lock(mutex_);
          texts_.emplace_back(text);
        }) {}
  std::vector<std::string> Texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
  platform::ScopedTraceSink sink_;
};

std::string Headers() {
  return "From: console@pc17.test\r\nTo: admin@corp.test\r\nSubject: USBVantrel! Alert\r\n\r\n";
}

TEST(SmtpAgainstAiosmtpd, AuthLoginDeliversEnvelopeHeadersAndBodyByteForByte) {
  AiosmtpdServer server({.auth = std::pair<std::string, std::string>("alice", "s3cret pw")});
  ASSERT_NE(server.Port(), 0);
  ASSERT_EQ(BuildMailBody(kEvent, 0, "127.0.0.1"), kEventBody);

  EMAIL_CONTEXT mail = Mail(server.Port());
  mail.Authenticate = true;
  mail.UserName = "alice";
  mail.Password = "s3cret pw";
  Traces traces;
  EXPECT_EQ(SendMail(mail, Options()), MailOutcome::kSent);
  EXPECT_EQ(traces.Texts(), std::vector<std::string>{});

  // The wrong password: the server refuses, nothing is delivered.
  mail.Password = "guess";
  EXPECT_EQ(SendMail(mail, Options()), MailOutcome::kRefused);
  EXPECT_EQ(traces.Texts(), std::vector<std::string>{" AUTH LOGIN failed"});
  // Authentication off against a server that requires it: refused at MAIL FROM.
  mail.Authenticate = false;
  EXPECT_EQ(SendMail(mail, Options()), MailOutcome::kRefused);
  EXPECT_EQ(traces.Texts().back(), " Mail From failed");

  const auto messages = server.WaitForMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].mailFrom, "console@pc17.test");
  EXPECT_EQ(messages[0].rcptTos, std::vector<std::string>{"admin@corp.test"});
  EXPECT_EQ(messages[0].login, "alice");
  EXPECT_TRUE(messages[0].mailOptions.empty());
  EXPECT_EQ(messages[0].data, Headers() + kEventBody + "\r\n\r\n");
}

TEST(SmtpAgainstAiosmtpd, BodiesOfOfflineMismatchAndUtf8Events) {
  AiosmtpdServer server({});
  ASSERT_NE(server.Port(), 0);
  struct Case {
    std::string body;
    std::string expected;  // the message as received
    bool eightBit;
  };
  const std::string mime =
      "From: console@pc17.test\r\nTo: admin@corp.test\r\nSubject: USBVantrel! Alert\r\n"
      "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
      "Content-Transfer-Encoding: 8bit\r\n\r\n";
  const std::vector<Case> cases = {
      {BuildMailBody("d1,t1,PC\\bob,10.0.0.5,Offline,Removed Stick [ 10.0.0.5 ] at 1", 0, "x"),
       Headers() + "Date:d1\nTime:t1\nComputer Name\\User:PC\\bob\nIP Address:10.0.0.5\n"
                   "Category:Offline\nMessage:Removed Stick [ 10.0.0.5 ] at 1\r\n\r\n\r\n",
       false},
      {BuildMailBody("anything", 1, "10.0.0.7"),
       Headers() +
           "Date:\nTime:\nComputer Name:\\User\nIP Address:10.0.0.7\nCategory:\nMessage:Client "
           "Version does not match\r\n\r\n\r\n",
       false},
      // UTF-8 of the machine's code page is declared; a stray byte becomes "?".
      {BuildMailBody("d,t,PC\\m\xC3\xBCller,1.2.3.4,Added E:\\\xE2\x82\xAC.txt \xFF [ x ]", 0, "x"),
       mime + "Date:d\nTime:t\nComputer Name\\User:PC\\m\xC3\xBCller\nIP Address:1.2.3.4\n"
              "Category:Added\nMessage:Added E:\\\xE2\x82\xAC.txt ? [ x ]\r\n\r\n\r\n",
       true},
  };
  Traces traces;
  for (const Case& c : cases)
    EXPECT_EQ(SendMail(Mail(server.Port(), c.body), Options()), MailOutcome::kSent);
  const auto messages = server.WaitForMessages(cases.size());
  ASSERT_EQ(messages.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(messages[i].data, cases[i].expected) << i;
    // aiosmtpd offers 8BITMIME: 8-bit text is announced, plain text is not.
    EXPECT_EQ(messages[i].mailOptions, cases[i].eightBit ? std::vector<std::string>{"BODY=8BITMIME"}
                                                         : std::vector<std::string>{})
        << i;
  }
  EXPECT_TRUE(traces.Texts().empty());
}

TEST(SmtpAgainstAiosmtpd, EventTextsCannotEndTheDataOrInjectCommands) {
  AiosmtpdServer server({});
  ASSERT_NE(server.Port(), 0);
  const std::string smuggled =
      "\r\n.\r\nMAIL FROM:<evil@x.test>\r\nRCPT TO:<victim@x.test>\r\nDATA\r\nspam\r\n.\r\n";
  // Through the body builder: the fields lose their line breaks.
  const std::string body =
      BuildMailBody("d,t,PC\\u,1.2.3.4,Inserted" + smuggled + " [ x ]", 0, "x");
  EXPECT_EQ(body.find_first_of("\r"), body.size() - 2);
  EXPECT_EQ(SendMail(Mail(server.Port(), body), Options()), MailOutcome::kSent);
  // A body built elsewhere with lines starting with ".": every "." after a line break is doubled,
  // also after a bare LF (which a strict server, like this one, does not end a line at, so it
  // keeps that doubled dot), and nothing ends the DATA early.
  const std::string raw = "line one\n.\r\nMAIL FROM:<evil@x.test>\r\n.hidden\n";
  EXPECT_EQ(SendMail(Mail(server.Port(), raw), Options()), MailOutcome::kSent);

  const auto messages = server.WaitForMessages(3, 1500ms);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rcptTos, std::vector<std::string>{"admin@corp.test"});
  EXPECT_EQ(messages[0].data,
            Headers() +
                "Date:d\nTime:t\nComputer Name\\User:PC\\u\nIP Address:1.2.3.4\nCategory:Inserted"
                "\nMessage:Inserted  .  MAIL FROM:<evil@x.test>  RCPT TO:<victim@x.test>  DATA  "
                "spam  .   [ x ]\r\n\r\n\r\n");
  EXPECT_EQ(messages[1].data,
            Headers() + "line one\n..\r\nMAIL FROM:<evil@x.test>\r\n.hidden\n\r\n\r\n");
  EXPECT_EQ(server.Accepted(), 2u);
}

TEST(SmtpAgainstAiosmtpd, CredentialsBeyondTheOldBufferAreSentWhole) {
  const std::string user(300, 'u');
  const std::string password = std::string(200, 'p') + "\xC3\xA4" + std::string(200, 'q');
  AiosmtpdServer server({.auth = std::pair(user, password)});
  ASSERT_NE(server.Port(), 0);
  EMAIL_CONTEXT mail = Mail(server.Port());
  mail.Authenticate = true;
  mail.UserName = user;
  mail.Password = password;
  EXPECT_GT(Base64Encode(password).size(), 260u);
  EXPECT_EQ(SendMail(mail, Options()), MailOutcome::kSent);
  const auto messages = server.WaitForMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].login, user);
}

TEST(SmtpAgainstAiosmtpd, StartTlsProtectsThePasswordWhenAskedFor) {
  // This server lets AUTH happen only under TLS.
  AiosmtpdServer server({.auth = std::pair<std::string, std::string>("alice", "pw"), .tls = true});
  ASSERT_NE(server.Port(), 0);
  EMAIL_CONTEXT mail = Mail(server.Port());
  mail.Server = "localhost";  // the name the certificate is for
  mail.Authenticate = true;
  mail.UserName = "alice";
  mail.Password = "pw";
  SmtpOptions options = Options();
  options.resolve = [](const std::string&) { return platform::Ipv4Address::Loopback(); };

  Traces traces;
  mail.StartTls = false;  // the conversation as ever: the server refuses AUTH in clear
  EXPECT_EQ(SendMail(mail, options), MailOutcome::kRefused);
  mail.StartTls = true;
  EXPECT_EQ(SendMail(mail, options), MailOutcome::kSent);
  // A certificate nobody vouches for: no upgrade, no password sent.
  SmtpOptions untrusting = options;
  untrusting.extraCaCertificatesPem.clear();
  EXPECT_EQ(SendMail(mail, untrusting), MailOutcome::kRefused);
  EXPECT_EQ(traces.Texts(),
            (std::vector<std::string>{" AUTH LOGIN failed", " STARTTLS handshake failed"}));

  const auto messages = server.WaitForMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(messages[0].tls);
  EXPECT_EQ(messages[0].login, "alice");
  EXPECT_EQ(messages[0].data, Headers() + kEventBody + "\r\n\r\n");
}

// ---- edge cases a real server does not produce --------------------------------------------------

std::vector<std::string> MessageLines() {
  return {"From: console@pc17.test\r\n",
          "To: admin@corp.test\r\n",
          "Subject: USBVantrel! Alert\r\n",
          "\r\n",
          "Date:d\n",
          "Time:t\n",
          "Computer Name\\User:c\n",
          "IP Address:a\n",
          "Category:Inserted\n",
          "Message:Inserted X\r\n",
          "\r\n",
          "\r\n",
          ".\r\n"};
}

TEST(SmtpAgainstScriptedPeer, EveryLineOfTheOddConversations) {
  const std::string body =
      "Date:d\nTime:t\nComputer Name\\User:c\nIP Address:a\nCategory:Inserted\nMessage:Inserted "
      "X\r\n";
  const std::vector<std::string> message = MessageLines();
  auto with = [](std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> replies;
    bool authenticate;
    MailOutcome outcome;
    std::vector<std::string> lines;  // what the peer received
    std::vector<std::string> traces;
  };
  const std::vector<Case> cases = {
      {"a server that only knows HELO and answers it 220",
       {{"EHLO", "502 unknown command\r\n"}, {"HELO", "220 hello\r\n"}},
       false,
       MailOutcome::kSent,
       with({"EHLO pc17\r\n", "HELO pc17\r\n", "MAIL FROM:<console@pc17.test>\r\n",
             "RCPT TO:<admin@corp.test>\r\n", "DATA\r\n"},
            with(message, {"QUIT\r\n"})),
       {}},
      {"AUTH LOGIN answered 250, replies in several lines",
       {{"EHLO", "250-peer\r\n250-AUTH LOGIN\r\n250 SIZE 1000\r\n"},
        {"AUTH", "250 go on\r\n"},
        {"dQ==", "334 UGFzc3dvcmQ6\r\n"},
        {"cA==", "235 welcome\r\n"}},
       true,
       MailOutcome::kSent,
       with({"EHLO pc17\r\n", "AUTH LOGIN\r\n", "dQ==\r\n", "cA==\r\n",
             "MAIL FROM:<console@pc17.test>\r\n", "RCPT TO:<admin@corp.test>\r\n", "DATA\r\n"},
            with(message, {"QUIT\r\n"})),
       {}},
      {"a rejected recipient gets QUIT without a wait",
       {{"RCPT", "550 no such user\r\n"}, {"QUIT", "(silent)"}},
       false,
       MailOutcome::kRefused,
       {"EHLO pc17\r\n", "MAIL FROM:<console@pc17.test>\r\n", "RCPT TO:<admin@corp.test>\r\n",
        "QUIT\r\n"},
       {" Mail To failed"}},
      {"EHLO answered with a temporary failure is not retried as HELO",
       {{"EHLO", "421 busy\r\n"}},
       false,
       MailOutcome::kRefused,
       {"EHLO pc17\r\n", "QUIT\r\n"},
       {" Helo Response failed"}},
      {"a wrong password",
       {{"AUTH", "334 VXNlcm5hbWU6\r\n"}, {"dQ==", "334 UGFzc3dvcmQ6\r\n"}, {"cA==", "535 no\r\n"}},
       true,
       MailOutcome::kRefused,
       {"EHLO pc17\r\n", "AUTH LOGIN\r\n", "dQ==\r\n", "cA==\r\n", "QUIT\r\n"},
       {" AUTH LOGIN failed"}},
      {"a server that greets and then says nothing",
       {{"EHLO", "(silent)"}},
       false,
       MailOutcome::kTimedOut,
       {"EHLO pc17\r\n"},
       {" Mail Object failed sock err"}},
      {"a server that never greets",
       {{"GREETING", "(silent)"}},
       false,
       MailOutcome::kTimedOut,
       {},
       {" Mail Object failed sock err"}},
      {"silence after the message",
       {{".", "(silent)"}},
       false,
       MailOutcome::kTimedOut,
       with({"EHLO pc17\r\n", "MAIL FROM:<console@pc17.test>\r\n", "RCPT TO:<admin@corp.test>\r\n",
             "DATA\r\n"},
            message),
       {"  Termination sock err"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(ReplyTable(c.replies));
    ASSERT_NE(peer.Port(), 0);
    EMAIL_CONTEXT mail = Mail(peer.Port(), body);
    mail.Authenticate = c.authenticate;
    mail.UserName = "u";
    mail.Password = "p";
    SmtpOptions options = Options();
    options.limits.reply = 300ms;
    Traces traces;
    EXPECT_EQ(SendMail(mail, options), c.outcome);
    ASSERT_TRUE(peer.WaitForClosed(1));
    const auto lines = peer.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], c.lines);
    EXPECT_EQ(traces.Texts(), c.traces);
  }
}

TEST(SmtpAgainstScriptedPeer, NoServerAtAllAndRecordsThatCannotBeSent) {
  std::uint16_t closedPort = 0;
  {
    ScriptedPeer gone(ReplyTable({}));
    closedPort = gone.Port();
  }
  Traces traces;
  EXPECT_EQ(SendMail(Mail(closedPort), Options()), MailOutcome::kConnectFailed);
  EMAIL_CONTEXT unknownHost = Mail(closedPort);
  unknownHost.Server = "no-such-host.invalid";
  EXPECT_EQ(SendMail(unknownHost, Options()), MailOutcome::kConnectFailed);
  // A non-numeric port text gives 0.
  EXPECT_EQ(SendMail(Mail(0), Options()), MailOutcome::kConnectFailed);
  EMAIL_CONTEXT crooked = Mail(closedPort);
  crooked.To = "admin@corp.test>\r\nRCPT TO:<other@x.test";
  EXPECT_EQ(SendMail(crooked, Options()), MailOutcome::kNotMailable);
  EXPECT_EQ(traces.Texts(),
            (std::vector<std::string>{"connect failed", "connect failed", "connect failed",
                                      " Mail address holds a line break"}));
}

TEST(SmtpText, Base64OfEveryPaddingLength) {
  const std::vector<std::pair<std::string, std::string>> table = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xFF\xFE\xFD", "//79"},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(Base64Encode(in), out) << in;
}

}  // namespace
}  // namespace uv::server
