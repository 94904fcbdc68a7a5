// Mail benchmarks (run in a network namespace of your own, e.g. unshare -n):
// - BM_MailsThroughAiosmtpd: whole SMTP conversations, one mail each, against a local aiosmtpd
//   (Debian's python3-aiosmtpd), with and without AUTH LOGIN; items/s = mails per second;
// - BM_MailsThroughWorker: the same through the queue and the worker thread;
// - BM_QueueOneMail: what the UI thread pays to mail one event: the event text's copy, the
//   append under the lock and, when the worker is blocked, its wake-up (the record's settings
//   part is shared, the body is built by the worker); flat out, within a burst, and isolated.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>

#include "server/app/EventRules.h"
#include "server/mail/CMailWorker.h"
#include "server/mail/SmtpConversation.h"
#include "tests/server_mail/SmtpTestPeers.h"

namespace {

using namespace std::chrono_literals;
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

// The calling thread's CPU time.
double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_QueueOneMail(benchmark::State& state) {
  // paced 0: flat out, the worker draining at the same time (it falls behind, and the queue's
  // bound then drops the oldest). paced 1: each mail is queued once the worker has taken the one
  // before (mails of a burst that the worker keeps up with). paced 2: each mail is queued once
  // the worker has taken the one before and has gone back to blocking in its wait, its linger
  // over (isolated mails: each pays the wake-up). In the paced modes only the queueing call is
  // timed, and cpu_us is the calling thread's CPU time of that call alone. linger: the worker's
  // linger after a drain in ms; 0 makes every mail that finds the worker blocked wake it.
  const int paced = static_cast<int>(state.range(0));
  const std::chrono::milliseconds linger(state.range(1));
  ServerSettings settings;
  settings.mailFrom = "console@pc17.test";
  settings.mailTo = "admin@corp.test";
  settings.serverMode = kServerModeIp;
  settings.ip = {127, 0, 0, 1};
  settings.smtpPort = "25";
  CMailQueue queue;
  // A sender that does nothing: the worker takes records as fast as the queue gives them.
  CMailWorker worker(
      queue,
      [](const EMAIL_CONTEXT& m) {
        benchmark::DoNotOptimize(m.Body.data());
        return MailOutcome::kSent;
      },
      {}, linger);
  worker.Start();
  const std::string sender = "127.0.0.1";
  double cpu = 0;
  for (auto _ : state) {
    if (paced == 0) {
      queue.QueueEvent(settings, kEvent, 0, sender, &BuildMailBody);
      continue;
    }
    // A read of the CPU clock is a system call: what one costs, taken right before, is taken
    // off the call's CPU time.
    const double cpuBefore = ThreadCpuSeconds();
    const double cpuStart = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    queue.QueueEvent(settings, kEvent, 0, sender, &BuildMailBody);
    const auto end = std::chrono::steady_clock::now();
    const double cpuEnd = ThreadCpuSeconds();
    cpu += (cpuEnd - cpuStart) - (cpuStart - cpuBefore);
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    while (queue.Size() != 0) std::this_thread::yield();
    if (paced == 2) std::this_thread::sleep_for(linger + 20ms);
  }
  worker.Stop();
  state.SetItemsProcessed(state.iterations());
  state.counters["dropped"] = static_cast<double>(queue.Dropped());
  state.counters["wakeups"] = static_cast<double>(queue.WakeUps());
  if (paced != 0) {
    state.counters["cpu_us"] = cpu * 1e6 / static_cast<double>(state.iterations());
  }
}
constexpr std::int64_t kLinger = CMailWorker::kDefaultLinger.count();
BENCHMARK(BM_QueueOneMail)->Args({0, kLinger})->ArgNames({"paced", "linger"});
BENCHMARK(BM_QueueOneMail)
    ->Args({1, kLinger})
    ->Args({1, 0})
    ->ArgNames({"paced", "linger"})
    ->UseManualTime()
    ->Iterations(3000);  // a lingering worker takes each mail within about a millisecond
BENCHMARK(BM_QueueOneMail)
    ->Args({2, kLinger})
    ->ArgNames({"paced", "linger"})
    ->UseManualTime()
    ->Iterations(200);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
