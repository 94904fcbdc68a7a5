// The e-mail worker on its own (order, failures that do not stop the next mail, the stop
// handshake with records still queued) and in the console (an event report becomes a mail with
// the settings in effect; applied settings reach the next mail).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"
#include "server/app/CNewOrmServerDlg.h"
#include "server/app/EventRules.h"
#include "server/dialogs/settings/CSettingsPage.h"
#include "server/mail/CMailWorker.h"
#include "server/mail/SmtpConversation.h"
#include "tests/server_mail/SmtpTestPeers.h"
#include "tests/support/TempMachine.h"

namespace uv::server {
namespace {

using namespace std::chrono_literals;
using test::AiosmtpdServer;
using test::ReplyTable;
using test::ScriptedPeer;

EMAIL_CONTEXT Mail(std::uint16_t port, std::string to) {
  EMAIL_CONTEXT mail;
  mail.From = "console@pc17.test";
  mail.To = std::move(to);
  mail.Subject = "USBVantrel! Alert";
  mail.Body = "Date:d\nMessage:m\r\n";
  mail.Server = "127.0.0.1";
  mail.Port = port;
  return mail;
}

CMailWorker::Sender Sender() {
  SmtpOptions options;
  options.localHostName = "pc17";
  options.limits = {2s, 5s};
  return [options](const EMAIL_CONTEXT& mail) { return SendMail(mail, options); };
}

// A port nobody listens on: every connect is refused at once.
std::uint16_t RefusedPort() {
  ScriptedPeer gone(ReplyTable({}));
  return gone.Port();
}

TEST(MailWorker, ARejectedRecipientLosesOnlyItsOwnMailAndOrderIsKept) {
  ScriptedPeer peer(ReplyTable({{"RCPT TO:<bad@x.test>", "550 unknown user\r\n"}}));
  ASSERT_NE(peer.Port(), 0);
  std::mutex mutex;
  std::vector<std::string> traces;
  platform::ScopedTraceSink sink([&](std::string_view text) {
    std::lock_guard lock(mutex);
    traces.emplace_back(text);
  });
  CMailQueue queue;
  CMailWorker worker(queue, Sender());
  worker.Start();
  queue.Queue(Mail(peer.Port(), "bad@x.test"));
  queue.Queue(Mail(peer.Port(), "admin@corp.test"));
  ASSERT_TRUE(peer.WaitForClosed(2));
  worker.Stop();
  const auto lines = peer.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].back(), "QUIT\r\n");
  EXPECT_EQ(lines[0][lines[0].size() - 2], "RCPT TO:<bad@x.test>\r\n");
  EXPECT_EQ(lines[1][2], "RCPT TO:<admin@corp.test>\r\n");
  EXPECT_EQ(lines[1][lines[1].size() - 2], ".\r\n");
  std::lock_guard lock(mutex);
  EXPECT_EQ(traces, std::vector<std::string>{" Mail To failed"});
}

TEST(MailWorker, StoppingFinishesTheConversationInProgressAndLeavesTheRestQueued) {
  auto table = ReplyTable({});
  // A slow server: the stop arrives while the first conversation is in its DATA step.
  ScriptedPeer peer([table](const std::string& line, int connection) {
    if (line == "DATA") std::this_thread::sleep_for(400ms);
    return table(line, connection);
  });
  ASSERT_NE(peer.Port(), 0);
  CMailQueue queue;
  CMailWorker worker(queue, Sender());
  for (int i = 0; i < 4; ++i) queue.Queue(Mail(peer.Port(), "admin@corp.test"));
  worker.Start();
  ASSERT_TRUE(peer.WaitForLine("DATA"));
  worker.Stop();
  EXPECT_FALSE(worker.Running());
  ASSERT_TRUE(peer.WaitForClosed(1));
  const auto lines = peer.Lines();
  ASSERT_EQ(lines.size(), 1u);  // no second conversation was started
  EXPECT_EQ(lines[0].back(), "QUIT\r\n");
  EXPECT_EQ(lines[0][lines[0].size() - 2], ".\r\n");  // the message went out whole
  EXPECT_EQ(queue.Size(), 3u);
  queue.Clear();  // the console's teardown frees them unsent
  EXPECT_EQ(queue.Size(), 0u);
}

TEST(MailWorker, AnUnreachableServerCostsOneAttemptPerWaitNotOnePerMailAndStopCutsTheWait) {
  const std::uint16_t port = RefusedPort();
  ASSERT_NE(port, 0);
  std::mutex mutex;
  std::vector<std::string> traces;
  platform::ScopedTraceSink sink([&](std::string_view text) {
    std::lock_guard lock(mutex);
    traces.emplace_back(text);
  });
  std::atomic<int> attempts{0};
  const CMailWorker::Sender send = Sender();
  CMailQueue queue;
  // A wait far longer than the test: were it waited out, the test would not end.
  CMailWorker worker(queue,
                     [&](const EMAIL_CONTEXT& mail) {
                       ++attempts;
                       return send(mail);
                     },
                     {.first = 10min, .longest = 10min});
  for (int i = 0; i < 20; ++i) queue.Queue(Mail(port, "admin@corp.test"));
  worker.Start();
  while (attempts == 0) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(300ms);  // time enough to spin through the whole queue
  const auto stopping = std::chrono::steady_clock::now();
  worker.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(queue.Size(), 19u);  // waiting for the server, for the owner to free at teardown
  std::lock_guard lock(mutex);
  EXPECT_EQ(traces, (std::vector<std::string>{"connect failed",
                                              " Mail server not reached: next mail in 600000 ms"}));
}

TEST(MailWorker, WaitsGrowAfterEachConnectionFailureToABoundAndAnAnswerResetsThem) {
  // The server's answers, one per mail: a refused recipient is an answer, only the failures of
  // the connection make the worker wait.
  const std::vector<MailOutcome> script = {
      MailOutcome::kConnectFailed, MailOutcome::kTimedOut,      MailOutcome::kConnectionLost,
      MailOutcome::kConnectFailed, MailOutcome::kRefused,       MailOutcome::kConnectFailed,
      MailOutcome::kSent,          MailOutcome::kConnectFailed, MailOutcome::kNotMailable,
      MailOutcome::kSent};
  std::mutex mutex;
  std::vector<std::string> traces;
  platform::ScopedTraceSink sink([&](std::string_view text) {
    std::lock_guard lock(mutex);
    traces.emplace_back(text);
  });
  std::atomic<std::size_t> sent{0};
  CMailQueue queue;
  CMailWorker worker(queue, [&](const EMAIL_CONTEXT&) { return script[sent++]; },
                     {.first = 10ms, .longest = 30ms});
  for (std::size_t i = 0; i < script.size(); ++i) queue.Queue(Mail(25, "admin@corp.test"));
  worker.Start();
  while (sent < script.size()) std::this_thread::sleep_for(10ms);
  worker.Stop();
  const auto wait = [](int ms) {
    return " Mail server not reached: next mail in " + std::to_string(ms) + " ms";
  };
  std::lock_guard lock(mutex);
  EXPECT_EQ(traces,
            (std::vector<std::string>{wait(10), wait(20), wait(30), wait(30), wait(10), wait(10)}));
}

// A worker whose sender only counts, and ways to wait for the count and for the worker.
class CountingWorker {
 public:
  CountingWorker()
      : worker_(queue_, [this](const EMAIL_CONTEXT&) {
          ++sent_;
          return MailOutcome::kSent;
        }) {
    worker_.Start();
  }
  CMailQueue& Queue() { return queue_; }
  CMailWorker& Worker() { return worker_; }
  int Sent() const { return sent_; }
  // Generous bounds: a lost wake-up fails, a slow machine does not.
  bool WaitForSent(int count) {
    for (int i = 0; i < 1000 && sent_ < count; ++i) std::this_thread::sleep_for(10ms);
    return sent_ == count;
  }
  bool WaitUntilBlocked() {
    for (int i = 0; i < 1000 && !queue_.ConsumerWaiting(); ++i) std::this_thread::sleep_for(10ms);
    return queue_.ConsumerWaiting();
  }
  void QueueEvent(CMailQueue::Wake wake) {
    ServerSettings settings;
    settings.mailTo = "admin@corp.test";
    queue_.QueueEvent(settings, "d,t,PC\\u,10.0.0.9,Inserted Disk", 0, "10.0.0.9", &BuildMailBody,
                      wake);
  }

 private:
  CMailQueue queue_;
  std::atomic<int> sent_{0};
  CMailWorker worker_;
};

TEST(MailWorker, ABlockedWorkerIsWokenByTheMailItselfOrOncePerBatchByWakeIfPending) {
  using Wake = CMailQueue::Wake;
  struct Case {
    const char* name;
    Wake wake;
    int batches;
    int mailsPerBatch;
  };
  const Case cases[] = {{"one mail, woken at once", Wake::kNow, 1, 1},
                        {"isolated mails, woken at once", Wake::kNow, 3, 1},
                        {"one mail, deferred", Wake::kDeferred, 1, 1},
                        {"batches, deferred", Wake::kDeferred, 3, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CountingWorker w;
    for (int batch = 0; batch < c.batches; ++batch) {
      ASSERT_TRUE(w.WaitUntilBlocked());
      const std::size_t before = w.Queue().WakeUps();
      for (int i = 0; i < c.mailsPerBatch; ++i) w.QueueEvent(c.wake);
      if (c.wake == Wake::kDeferred) {
        // The producer paid no wake-up; the mails wait for the flush.
        EXPECT_EQ(w.Queue().WakeUps(), before);
        w.Queue().WakeIfPending();
      }
      ASSERT_TRUE(w.WaitForSent((batch + 1) * c.mailsPerBatch));
      // One wake-up for the batch at most (none when the worker's 500 ms wait happened to end
      // right then and it saw the event itself).
      EXPECT_LE(w.Queue().WakeUps(), before + 1);
    }
    // Nothing deferred is left: a flush now wakes nobody.
    const std::size_t after = w.Queue().WakeUps();
    ASSERT_TRUE(w.WaitUntilBlocked());
    w.Queue().WakeIfPending();
    EXPECT_EQ(w.Queue().WakeUps(), after);
    EXPECT_EQ(w.Sent(), c.batches * c.mailsPerBatch);
  }
}

TEST(MailWorker, DeferredMailsQueuedWhileTheWorkerIsBusyNeedNoFlush) {
  // The worker is in a conversation (or a drain) when they come: it takes them after it,
  // without anyone calling WakeIfPending.
  std::atomic<bool> release{false};
  std::atomic<int> sent{0};
  CMailQueue queue;
  CMailWorker worker(queue, [&](const EMAIL_CONTEXT&) {
    while (!release) std::this_thread::sleep_for(1ms);
    ++sent;
    return MailOutcome::kSent;
  });
  worker.Start();
  queue.Queue(Mail(25, "admin@corp.test"));
  for (int i = 0; i < 1000 && queue.Size() != 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(queue.Size(), 0u);  // the worker holds the first one
  ServerSettings settings;
  for (int i = 0; i < 3; ++i) {
    queue.QueueEvent(settings, "d,t,c,a,Inserted Disk", 0, "10.0.0.9", &BuildMailBody,
                     CMailQueue::Wake::kDeferred);
  }
  release = true;
  for (int i = 0; i < 1000 && sent < 4; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(sent, 4);
}

TEST(MailWorker, StopEndsABlockedWorkerAndWhatIsQueuedAfterwardsStaysForTheOwner) {
  CountingWorker w;
  ASSERT_TRUE(w.WaitUntilBlocked());
  w.Worker().Stop();
  EXPECT_FALSE(w.Worker().Running());
  w.QueueEvent(CMailQueue::Wake::kDeferred);
  w.Queue().WakeIfPending();
  w.Queue().Queue(Mail(25, "admin@corp.test"));
  EXPECT_EQ(w.Queue().Size(), 2u);
  EXPECT_EQ(w.Sent(), 0);
  w.Queue().Clear();
  EXPECT_EQ(w.Queue().Size(), 0u);
}

TEST(MailQueue, EachQueuedEventCarriesTheSettingsInEffectWhenItWasQueuedAndItsOwnBody) {
  ServerSettings settings;
  settings.mailFrom = "console@pc17.test";
  settings.mailTo = "admin@corp.test";
  settings.serverMode = kServerModeIp;
  settings.ip = {10, 0, 0, 1};
  settings.smtpPort = "25";
  // Each change of a mail setting must reach the very next mail, and only it and those after.
  const std::vector<std::function<void(ServerSettings&)>> changes = {
      [](ServerSettings& s) { s.mailFrom = "other@pc17.test"; },
      [](ServerSettings& s) { s.mailTo = "security@corp.test"; },
      [](ServerSettings& s) { s.ip[3] = 2; },
      [](ServerSettings& s) {
        s.serverMode = kServerModeName;
        s.machineName = "mail.corp";
      },
      [](ServerSettings& s) { s.machineName = "relay.corp"; },
      [](ServerSettings& s) { s.smtpPort = "587"; },
      [](ServerSettings& s) { s.smtpAuth = true; },
      [](ServerSettings& s) { s.userName = "alice"; },
      [](ServerSettings& s) { s.password = "pw"; },
      [](ServerSettings& s) { s.smtpStartTls = true; },
  };
  CMailQueue queue;
  std::vector<EMAIL_CONTEXT> expected;
  const auto queueOne = [&](int i) {
    const std::string event = "d,t,PC\\u,10.0.0.9,Inserted Disk " + std::to_string(i);
    queue.QueueEvent(settings, event, 0, "10.0.0.9", &BuildMailBody);
    expected.push_back(MakeMailRecord(settings, BuildMailBody(event, 0, "10.0.0.9")));
  };
  queueOne(0);
  queueOne(1);
  for (std::size_t i = 0; i < changes.size(); ++i) {
    changes[i](settings);
    queueOne(static_cast<int>(i) + 2);
  }
  queue.QueueEvent(settings, "ignored", 1, "10.0.0.7", &BuildMailBody);  // version mismatch
  expected.push_back(MakeMailRecord(settings, BuildMailBody("ignored", 1, "10.0.0.7")));
  queue.Queue(Mail(25, "ready@corp.test"));  // a ready record goes through as it is
  expected.push_back(Mail(25, "ready@corp.test"));

  ASSERT_EQ(queue.Size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const std::optional<EMAIL_CONTEXT> mail = queue.TakeHead();
    ASSERT_TRUE(mail);
    EXPECT_EQ(*mail, expected[i]);
  }
  EXPECT_FALSE(queue.TakeHead());
}

// ---- in the console ----------------------------------------------------------------------------

constexpr const char* kVersion = "VERSION=1 6 0 0";

class ConsoleMail : public ::testing::Test {
 protected:
  void StoreSettings(std::uint16_t port, bool auth = true) {
    auto registry = machine_->OpenRegistry();
    ASSERT_TRUE(registry.ok());
    auto key = platform::RegKey::Create(**registry, kServerSettingsKey, platform::RegAccess::kAll);
    ASSERT_TRUE(key.ok());
    ASSERT_EQ(key->SetDword(kValSendMail, 1), 0u);
    ASSERT_EQ(key->SetString(kValMailTo, "admin@corp.test"), 0u);
    ASSERT_EQ(key->SetString(kValMailFrom, "console@pc17.test"), 0u);
    ASSERT_EQ(key->SetString(kValSmtpPort, std::to_string(port)), 0u);
    ASSERT_EQ(key->SetString(kValServerIp, "127.0.0.1"), 0u);
    ASSERT_EQ(key->SetDword(kValSmtpAuth, auth ? 1 : 0), 0u);
    ASSERT_EQ(key->SetString(kValSmtpAuthUserName, "alice"), 0u);
    ASSERT_EQ(key->SetString(kValSmtpAuthPasswd, "pw"), 0u);
  }

  void Open() {
    ConsoleOptions options;
    options.bindAddress = platform::Ipv4Address::Loopback();
    options.port = 0;
    window_ = std::make_unique<CNewOrmServerDlg>(*machine_, kVersion, options);
    ASSERT_EQ(window_->OnInitDialog(), InitOutcome::kRunning);
  }

  void Report(const std::string& text) {
    // The report goes through the console's own intake, on the UI thread.
    window_->OnEventReceived(std::string(kVersion) + "," + text, platform::Ipv4Address::Loopback());
  }

  // The report goes the way a client's does: over UDP to the listener, which hands it to the UI
  // thread and wakes the mail worker after.
  void SendOverNetwork(const std::string& text) {
    auto socket = platform::UdpSocket::Create();
    ASSERT_TRUE(socket.ok());
    ASSERT_TRUE(socket->SendTo(std::string(kVersion) + "," + text, window_->EventSocketAddress()));
  }

  // Runs the UI thread's events until the peer has seen `count` conversations end.
  static bool ServeUntilClosed(ScriptedPeer& peer, int count) {
    for (int i = 0; i < 2000; ++i) {
      QCoreApplication::processEvents();
      if (peer.WaitForClosed(count, 10ms)) return true;
    }
    return false;
  }

  uv::test::TempMachine temp_{"uv-mail"};
  platform::Machine* machine_ = &temp_.machine();
  std::unique_ptr<CNewOrmServerDlg> window_;
};

TEST_F(ConsoleMail, AnEventIsMailedWithTheSettingsInEffectAndAppliedOnesReachTheNextMail) {
  AiosmtpdServer server({.auth = std::pair<std::string, std::string>("alice", "pw")});
  ASSERT_NE(server.Port(), 0);
  StoreSettings(server.Port());
  Open();
  Report("07/03/2009,14:05:09,PC17\\alice,127.0.0.1,Inserted Kingston DataTraveler");
  auto messages = server.WaitForMessages(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].login, "alice");
  EXPECT_EQ(messages[0].rcptTos, std::vector<std::string>{"admin@corp.test"});
  const std::string& data = messages[0].data;
  EXPECT_EQ(data.substr(0, data.find("Message:")),
            "From: console@pc17.test\r\nTo: admin@corp.test\r\nSubject: USBVantrel! Alert\r\n\r\n"
            "Date:07/03/2009\nTime:14:05:09\nComputer Name\\User:PC17\\alice\n"
            "IP Address:127.0.0.1\nCategory:Inserted\n");

  // A new recipient, applied on the Settings tab, is where the next event goes.
  auto* mailTo = qobject_cast<QLineEdit*>(window_->Control(settings_id::kMailTo));
  ASSERT_NE(mailTo, nullptr);
  mailTo->setText(QStringLiteral("security@corp.test"));
  ASSERT_TRUE(window_->SettingsPage()->OnApplySettings());
  Report("07/03/2009,14:06:00,PC17\\alice,127.0.0.1,Removed Kingston DataTraveler");
  messages = server.WaitForMessages(2);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].rcptTos, std::vector<std::string>{"security@corp.test"});
  EXPECT_NE(messages[1].data.find("Category:Removed\n"), std::string::npos);
}

TEST_F(ConsoleMail, StartTlsIsOffByDefaultLoadedAtStartAndItsBoxReachesTheNextMailOnApply) {
  StoreSettings(25);
  EXPECT_FALSE(LoadServerSettings(*machine_, "console.log").smtpStartTls);

  // A server that offers STARTTLS but cannot start it: asking for it shows on the wire.
  ScriptedPeer peer(ReplyTable({{"EHLO", "250-peer\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n"},
                                {"STARTTLS", "454 not now\r\n"},
                                {"AUTH", "334 VXNlcm5hbWU6\r\n"},
                                {"YWxpY2U=", "334 UGFzc3dvcmQ6\r\n"},
                                {"cHc=", "235 ok\r\n"}}));
  ASSERT_NE(peer.Port(), 0);
  StoreSettings(peer.Port());
  Open();
  Report("d,t,PC17\\alice,127.0.0.1,Inserted Disk 1");
  ASSERT_TRUE(peer.WaitForClosed(1));
  EXPECT_EQ(peer.Lines()[0][1], "AUTH LOGIN\r\n");  // in clear, as ever

  auto* box = qobject_cast<QAbstractButton*>(window_->Control(settings_id::kSmtpStartTls));
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(box->isEnabled());
  box->click();
  ASSERT_TRUE(window_->SettingsPage()->OnApplySettings());
  Report("d,t,PC17\\alice,127.0.0.1,Inserted Disk 2");
  ASSERT_TRUE(peer.WaitForClosed(2));
  // The upgrade was asked for before any password; refused, the password stays home.
  const auto second = peer.Lines()[1];  // after "EHLO <this computer's name>"
  EXPECT_EQ(std::vector<std::string>(second.begin() + 1, second.end()),
            (std::vector<std::string>{"STARTTLS\r\n", "QUIT\r\n"}));
  EXPECT_TRUE(LoadServerSettings(*machine_, "console.log").smtpStartTls);
}

TEST_F(ConsoleMail, EventsArrivingOverTheNetworkAreMailedEachInItsOwnConversation) {
  ScriptedPeer peer(ReplyTable({}));
  ASSERT_NE(peer.Port(), 0);
  StoreSettings(peer.Port(), false);
  Open();
  SendOverNetwork("d,t,PC17\\alice,127.0.0.1,Inserted Disk 1");
  ASSERT_TRUE(ServeUntilClosed(peer, 1));
  // A burst: the listener may hand it over in one batch or several; each event is mailed.
  for (int i = 2; i <= 4; ++i) {
    SendOverNetwork("d,t,PC17\\alice,127.0.0.1,Inserted Disk " + std::to_string(i));
  }
  ASSERT_TRUE(ServeUntilClosed(peer, 4));
  const auto lines = peer.Lines();
  ASSERT_EQ(lines.size(), 4u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string disk = "Disk " + std::to_string(i + 1);
    const bool found = std::any_of(lines[i].begin(), lines[i].end(), [&](const std::string& l) {
      return l.find(disk) != std::string::npos;
    });
    EXPECT_TRUE(found);
    EXPECT_EQ(lines[i].back(), "QUIT\r\n");
  }
}

TEST_F(ConsoleMail, ClosingTheConsoleWithMailsQueuedEndsAfterTheCurrentConversation) {
  auto table = ReplyTable({});
  ScriptedPeer peer([table](const std::string& line, int connection) {
    if (line == "DATA") std::this_thread::sleep_for(300ms);
    return table(line, connection);
  });
  ASSERT_NE(peer.Port(), 0);
  StoreSettings(peer.Port(), false);
  Open();
  for (int i = 0; i < 5; ++i)
    Report("d,t,PC17\\alice,127.0.0.1,Inserted Disk " + std::to_string(i));
  ASSERT_TRUE(peer.WaitForLine("DATA"));
  window_.reset();  // teardown: stop the worker, free what is still queued
  ASSERT_TRUE(peer.WaitForClosed(1));
  EXPECT_EQ(peer.Lines().size(), 1u);
  EXPECT_EQ(peer.Lines()[0].back(), "QUIT\r\n");
}

}  // namespace
}  // namespace uv::server

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
