// Mail benchmarks (run in a network namespace of your own, e.g. unshare -n):
// - BM_MailsThroughAiosmtpd: whole SMTP conversations, one mail each, against a local aiosmtpd
//   (Debian's python3-aiosmtpd), with and without AUTH LOGIN; items/s = mails per second;
// - BM_MailsThroughWorker: the same through the queue and the worker thread;
// - BM_QueueOneMail: what the UI thread pays to mail one event: the event text's copy, the
//   append under the lock and the wake signal (the record's settings part is shared, the body is
//   built by the worker), with the worker draining the queue at the same time.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <atomic>
#include <memory>

#include "server/app/EventRules.h"
#include "server/mail/CMailWorker.h"
#include "server/mail/SmtpConversation.h"
#include "tests/server_mail/SmtpTestPeers.h"

namespace {

using namespace uv;
using namespace uv::server;

constexpr const char* kEvent =
    "07/03/2009,14:05:09,PC17\\alice,127.0.0.1,Inserted Kingston DataTraveler [ 127.0.0.1 ] at "
    "14:05:10";

test::AiosmtpdServer& Server(bool auth) {
  // One server of each kind for the whole run; count-only keeps the spool small.
  static std::unique_ptr<test::AiosmtpdServer> servers[2];
  auto& server = servers[auth ? 1 : 0];
  if (!server) {
    test::AiosmtpdServer::Options options;
    if (auth) options.auth = std::pair<std::string, std::string>("alice", "pw");
    options.countOnly = true;
    server = std::make_unique<test::AiosmtpdServer>(options);
  }
  return *server;
}

EMAIL_CONTEXT Mail(std::uint16_t port, bool auth) {
  EMAIL_CONTEXT mail;
  mail.From = "console@pc17.test";
  mail.To = "admin@corp.test";
  mail.Subject = kMailSubject;
  mail.Body = BuildMailBody(kEvent, 0, "127.0.0.1");
  mail.Server = "127.0.0.1";
  mail.Port = port;
  mail.Authenticate = auth;
  mail.UserName = "alice";
  mail.Password = "pw";
  return mail;
}

void BM_MailsThroughAiosmtpd(benchmark::State& state) {
  const bool auth = state.range(0) != 0;
  auto& server = Server(auth);
  if (server.Port() == 0) {
    state.SkipWithError("aiosmtpd did not start");
    return;
  }
  const EMAIL_CONTEXT mail = Mail(server.Port(), auth);
  SmtpOptions options;
  options.localHostName = "pc17";
  std::int64_t failed = 0;
  for (auto _ : state) {
    if (SendMail(mail, options) != MailOutcome::kSent) ++failed;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(BM_MailsThroughAiosmtpd)->Arg(0)->Arg(1)->ArgName("auth")->UseRealTime()->MinTime(3);

void BM_MailsThroughWorker(benchmark::State& state) {
  const bool auth = state.range(0) != 0;
  auto& server = Server(auth);
  if (server.Port() == 0) {
    state.SkipWithError("aiosmtpd did not start");
    return;
  }
  const EMAIL_CONTEXT mail = Mail(server.Port(), auth);
  SmtpOptions options;
  options.localHostName = "pc17";
  std::atomic<std::int64_t> sent{0};
  CMailQueue queue;
  CMailWorker worker(queue, [&](const EMAIL_CONTEXT& m) {
    const MailOutcome outcome = SendMail(m, options);
    if (outcome == MailOutcome::kSent) ++sent;
    return outcome;
  });
  worker.Start();
  const std::int64_t batch = 500;
  for (auto _ : state) {
    const std::int64_t target = sent + batch;
    for (std::int64_t i = 0; i < batch; ++i) queue.Queue(mail);
    while (sent < target) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  worker.Stop();
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_MailsThroughWorker)->Arg(0)->Arg(1)->ArgName("auth")->UseRealTime()->Iterations(4);

void BM_QueueOneMail(benchmark::State& state) {
  // paced 1: each mail is queued once the worker has taken the one before, so each meets a
  // waiting worker and pays its wake-up (the console's usual case: mails are rare); only the
  // queueing call is timed. paced 0: flat out, the worker draining at the same time (it falls
  // behind, and the queue's bound then drops the oldest).
  const bool paced = state.range(0) != 0;
  ServerSettings settings;
  settings.mailFrom = "console@pc17.test";
  settings.mailTo = "admin@corp.test";
  settings.serverMode = kServerModeIp;
  settings.ip = {127, 0, 0, 1};
  settings.smtpPort = "25";
  CMailQueue queue;
  // A sender that does nothing: the worker takes records as fast as the queue gives them.
  CMailWorker worker(queue, [](const EMAIL_CONTEXT& m) {
    benchmark::DoNotOptimize(m.Body.data());
    return MailOutcome::kSent;
  });
  worker.Start();
  const std::string sender = "127.0.0.1";
  for (auto _ : state) {
    if (!paced) {
      queue.QueueEvent(settings, kEvent, 0, sender, &BuildMailBody);
      continue;
    }
    const auto start = std::chrono::steady_clock::now();
    queue.QueueEvent(settings, kEvent, 0, sender, &BuildMailBody);
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    while (queue.Size() != 0) std::this_thread::yield();
  }
  worker.Stop();
  state.SetItemsProcessed(state.iterations());
  state.counters["dropped"] = static_cast<double>(queue.Dropped());
}
BENCHMARK(BM_QueueOneMail)->Arg(0)->ArgName("paced");
BENCHMARK(BM_QueueOneMail)->Arg(1)->ArgName("paced")->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
