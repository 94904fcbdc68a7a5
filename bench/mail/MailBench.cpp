// Mail benchmarks (run in a network namespace of your own, e.g. unshare -n):
// - BM_MailsThroughAiosmtpd: whole SMTP conversations, one mail each, against a local aiosmtpd
//   (Debian's python3-aiosmtpd), with and without AUTH LOGIN; items/s = mails per second;
// - BM_MailsThroughWorker: the same through the queue and the worker thread;
// - BM_QueueOneMail: what the UI thread pays to mail one event: the event text's copy, the
//   append under the lock and, when the worker is blocked and the wake-up is not deferred, its
//   wake-up (the record's settings part is shared, the body is built by the worker); in a batch
//   and isolated;
// - BM_WakeIfPending: what the listener thread pays after a batch to wake the worker for the
//   mail the UI thread queued deferred.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <thread>

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

ServerSettings MailSettings() {
  ServerSettings settings;
  settings.mailFrom = "console@pc17.test";
  settings.mailTo = "admin@corp.test";
  settings.serverMode = kServerModeIp;
  settings.ip = {127, 0, 0, 1};
  settings.smtpPort = "25";
  return settings;
}

// A worker whose sender does nothing: it takes records as fast as the queue gives them.
CMailWorker IdleWorker(CMailQueue& queue) {
  return CMailWorker(queue, [](const EMAIL_CONTEXT& m) {
    benchmark::DoNotOptimize(m.Body.data());
    return MailOutcome::kSent;
  });
}

// Waits until the worker has taken everything and is blocked in its wait again.
void UntilWorkerBlocked(const CMailQueue& queue) {
  while (queue.Size() != 0 || !queue.ConsumerWaiting()) std::this_thread::yield();
}

// Runs `call` and adds its CPU time on this thread, and its wall time, to the totals. A read of
// the CPU clock is a system call: what one costs, taken right before, is taken off.
template <typename Call>
void Timed(Call&& call, double& cpu, double& wall) {
  const double cpuBefore = ThreadCpuSeconds();
  const double cpuStart = ThreadCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  call();
  const auto end = std::chrono::steady_clock::now();
  const double cpuEnd = ThreadCpuSeconds();
  cpu += (cpuEnd - cpuStart) - (cpuStart - cpuBefore);
  wall += std::chrono::duration<double>(end - start).count();
}

void BM_QueueOneMail(benchmark::State& state) {
  // mails: how many the UI thread queues in one go, the worker blocked in its wait at the start
  // (1: an isolated mail; 64: a batch the listener handed over). deferred: 0 wakes the worker
  // as the first mail is queued, on the UI thread; 1 leaves the wake-up to the listener thread
  // (WakeIfPending after the batch, not counted here). Only the queueing is timed; cpu_us is the
  // UI thread's CPU time per mail, wall_us its wall time per mail.
  const std::int64_t mails = state.range(0);
  const auto wake = state.range(1) != 0 ? CMailQueue::Wake::kDeferred : CMailQueue::Wake::kNow;
  const ServerSettings settings = MailSettings();
  CMailQueue queue;
  CMailWorker worker = IdleWorker(queue);
  worker.Start();
  const std::string sender = "127.0.0.1";
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    UntilWorkerBlocked(queue);
    const double wallBefore = wall;
    Timed(
        [&] {
          for (std::int64_t i = 0; i < mails; ++i) {
            queue.QueueEvent(settings, kEvent, 0, sender, &BuildMailBody, wake);
          }
        },
        cpu, wall);
    state.SetIterationTime(wall - wallBefore);
    queue.WakeIfPending();  // the listener thread's part
  }
  UntilWorkerBlocked(queue);
  worker.Stop();
  const auto queued = static_cast<double>(state.iterations() * mails);
  state.SetItemsProcessed(state.iterations() * mails);
  state.counters["cpu_us"] = cpu * 1e6 / queued;
  state.counters["wall_us"] = wall * 1e6 / queued;
  state.counters["wakeups"] = static_cast<double>(queue.WakeUps());
  state.counters["dropped"] = static_cast<double>(queue.Dropped());
}
BENCHMARK(BM_QueueOneMail)
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({64, 0})
    ->Args({64, 1})
    ->ArgNames({"mails", "deferred"})
    ->UseManualTime()
    ->Iterations(2000);

void BM_WakeIfPending(benchmark::State& state) {
  // pending 1: the UI thread queued one mail deferred while the worker was blocked, and the call
  // wakes it (the cross-thread wake-up); pending 0: a batch without mail, nothing to wake for.
  // cpu_us is the calling thread's CPU time per call.
  const bool pending = state.range(0) != 0;
  const ServerSettings settings = MailSettings();
  CMailQueue queue;
  CMailWorker worker = IdleWorker(queue);
  worker.Start();
  const std::string sender = "127.0.0.1";
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    UntilWorkerBlocked(queue);
    if (pending) {
      queue.QueueEvent(settings, kEvent, 0, sender, &BuildMailBody, CMailQueue::Wake::kDeferred);
    }
    const double wallBefore = wall;
    Timed([&] { queue.WakeIfPending(); }, cpu, wall);
    state.SetIterationTime(wall - wallBefore);
  }
  UntilWorkerBlocked(queue);
  worker.Stop();
  state.counters["cpu_us"] = cpu * 1e6 / static_cast<double>(state.iterations());
  state.counters["wakeups"] = static_cast<double>(queue.WakeUps());
}
BENCHMARK(BM_WakeIfPending)->Arg(0)->Arg(1)->ArgName("pending")->UseManualTime()->Iterations(2000);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
