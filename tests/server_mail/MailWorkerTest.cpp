// The e-mail worker on its own (order, failures that do not stop the next mail, the stop
// handshake with records still queued) and in the console (an event report becomes a mail with
// the settings in effect; applied settings reach the next mail).
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"
#include "server/app/CNewOrmServerDlg.h"
#include "server/dialogs/settings/CSettingsPage.h"
#include "server/mail/CMailWorker.h"
#include "server/mail/SmtpConversation.h"
#include "tests/server_mail/SmtpTestPeers.h"

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
  return [options](const EMAIL_CONTEXT& mail) { SendMail(mail, options); };
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

// ---- in the console ----------------------------------------------------------------------------

constexpr const char* kVersion = "VERSION=1 6 0 0";

class ConsoleMail : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/uv-mail-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    ASSERT_NE(dir, nullptr);
    root_ = dir;
    machine_ = std::make_unique<platform::Machine>(root_);
  }
  void TearDown() override {
    window_.reset();
    machine_.reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

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

  std::filesystem::path root_;
  std::unique_ptr<platform::Machine> machine_;
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

TEST_F(ConsoleMail, StartTlsIsOffByDefaultLoadedAtStartAndTakenAgainOnApply) {
  StoreSettings(25);
  ServerSettings loaded = LoadServerSettings(*machine_, "console.log");
  EXPECT_FALSE(MakeMailRecord(loaded, "b").StartTls);
  {
    auto registry = machine_->OpenRegistry();
    ASSERT_TRUE(registry.ok());
    auto key = platform::RegKey::Create(**registry, kServerSettingsKey, platform::RegAccess::kAll);
    ASSERT_TRUE(key.ok());
    ASSERT_EQ(key->SetDword(kValSmtpStartTls, 1), 0u);
  }
  ServerSettings applied = loaded;
  ASSERT_FALSE(ApplyServerSettings(*machine_, applied));
  EXPECT_TRUE(MakeMailRecord(applied, "b").StartTls);
  EXPECT_TRUE(LoadServerSettings(*machine_, "console.log").smtpStartTls);
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
