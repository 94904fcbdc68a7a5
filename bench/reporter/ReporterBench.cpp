// The reporter's round trip against a console that answers at once: a probe ("RUT;" out,
// "IMA;" back) and the report datagram, each on a fresh socket from the computer's own loopback
// address, as every event costs it. Reports the median and the 99th percentile per call.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "client/agent/reporter/CEventReporter.h"
#include "client/agent/reporter/CReporterContext.h"
#include "tests/agent/reporter/FakeConsole.h"
#include "tests/agent/reporter/TestMachine.h"

namespace {

using uv::agent::CEventReporter;
using uv::agent::CReporterContext;
using Clock = std::chrono::steady_clock;

void SetPercentiles(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) {
    return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
  };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
}

// Runs `call` per iteration, timing each one; the console's record is cleared outside the timing
// now and then so that it does not grow without bound.
template <class Call>
void TimeEach(benchmark::State& state, uv::testing::FakeConsole& console, Call call) {
  std::vector<double> micros;
  micros.reserve(1 << 16);
  for (auto _ : state) {
    const auto start = Clock::now();
    call();
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (micros.size() % 4096 == 0) {
      state.PauseTiming();
      console.Clear();
      state.ResumeTiming();
    }
  }
  SetPercentiles(state, micros);
}

struct Setup {
  // Addresses of their own, away from those of the tests.
  uv::testing::TestMachine machine{"BENCHPC", "127.44.3.1"};
  uv::testing::FakeConsole console{uv::platform::Ipv4Address(127, 44, 2, 1)};
  CReporterContext context{machine.machine(), "VERSION=1 6 0 0"};
  CEventReporter reporter{context};
  const std::string server = console.Address();
};

// Probe and report only: what SendEventReport costs once the report is built.
void BM_ProbeAndReport(benchmark::State& state) {
  Setup setup;
  const std::string report =
      "VERSION=1 6 0 0,09/12/2026,10:00:00,BENCHPC\\LocalSystem,127.44.3.1,Added E:\\file.txt";
  TimeEach(state, setup.console, [&] { setup.reporter.SendEventReport(report, setup.server); });
}
BENCHMARK(BM_ProbeAndReport)->UseRealTime();

// A whole report as the watcher makes it: settings, computer name, name lookup in the hosts
// file, session user, clock, probe and send.
void BM_ReportToServer(benchmark::State& state) {
  Setup setup;
  setup.machine.Login("user1");
  TimeEach(state, setup.console,
           [&] { setup.reporter.ReportToServer("Added E:\\file.txt", setup.server); });
}
BENCHMARK(BM_ReportToServer)->UseRealTime();

// The probe alone.
void BM_Probe(benchmark::State& state) {
  Setup setup;
  TimeEach(state, setup.console, [&] {
    if (setup.reporter.ProbeServer(setup.server) != CEventReporter::kReachable) {
      state.SkipWithError("console did not answer");
    }
  });
}
BENCHMARK(BM_Probe)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
