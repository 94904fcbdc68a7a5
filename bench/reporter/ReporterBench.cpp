// The reporter's round trip against a console that answers at once: a probe ("RUT;" out,
// "IMA;" back) and the report datagram from the computer's own loopback address, as every event
// costs it. Reports the median and the 99th percentile per call, and beside them the reference:
// the bare ping-pong ("RUT;" out, "IMA;" back) on one reused blocking socket between the same
// two addresses, timed in the same run, interleaved call by call so that both see the same load,
// with the ratio of the two medians.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/agent/reporter/CEventReporter.h"
#include "client/agent/reporter/CReporterContext.h"
#include "platform/net/Socket.h"
#include "protocol/EventPort.h"
#include "tests/agent/reporter/FakeConsole.h"
#include "tests/agent/reporter/TestMachine.h"

namespace {

using uv::agent::CEventReporter;
using uv::agent::CReporterContext;
using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double>& micros, double q) {
  std::sort(micros.begin(), micros.end());
  return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
}

// The reference round trip: one socket for the whole run, a blocking receive of the answer.
class PingPong {
 public:
  PingPong(uv::platform::Ipv4Address from, uv::platform::Ipv4Address console)
      : to_{console, uv::protocol::kEventPort} {
    auto socket = uv::platform::UdpSocket::Create();
    if (!socket || socket->Bind({from, 0}) != uv::platform::kErrorSuccess) {
      throw std::runtime_error("cannot bind the ping-pong socket");
    }
    socket_ = std::move(*socket);
  }
  bool RoundTrip() {
    if (!socket_.SendTo(uv::protocol::kProbeRequest, to_)) return false;
    char buffer[uv::protocol::kProbeAnswerBuffer] = {};
    auto received = socket_.ReceiveFrom(std::span<char>(buffer, sizeof buffer));
    return received && uv::protocol::IsProbeAnswer(std::string_view(buffer, *received));
  }

 private:
  uv::platform::UdpSocket socket_;
  uv::platform::SocketAddress to_;
};

double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Runs `call` per iteration, timing each one, and after it (outside the benchmark's own timing)
// one reference round trip; the console's record is cleared now and then so that it does not
// grow without bound.
template <class Call>
void TimeEach(benchmark::State& state, uv::testing::FakeConsole& console, PingPong& reference,
              Call call) {
  std::vector<double> micros;
  std::vector<double> referenceMicros;
  micros.reserve(1 << 16);
  referenceMicros.reserve(1 << 16);
  for (auto _ : state) {
    const auto start = Clock::now();
    call();
    micros.push_back(MicrosSince(start));
    state.PauseTiming();
    const auto referenceStart = Clock::now();
    if (!reference.RoundTrip()) {
      state.SkipWithError("the reference round trip failed");
      break;
    }
    referenceMicros.push_back(MicrosSince(referenceStart));
    if (micros.size() % 4096 == 0) console.Clear();
    state.ResumeTiming();
  }
  if (micros.empty() || referenceMicros.empty()) return;
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  state.counters["pingpong_p50_us"] = Percentile(referenceMicros, 0.50);
  state.counters["x_pingpong"] = Percentile(micros, 0.50) / Percentile(referenceMicros, 0.50);
}

struct Setup {
  // Addresses of their own, away from those of the tests.
  uv::testing::TestMachine machine{"BENCHPC", "127.44.3.1"};
  uv::testing::FakeConsole console{uv::platform::Ipv4Address(127, 44, 2, 1)};
  CReporterContext context{machine.machine(), "VERSION=1 6 0 0"};
  CEventReporter reporter{context};
  const std::string server = console.Address();
  PingPong reference{uv::platform::Ipv4Address(127, 44, 3, 1),
                     uv::platform::Ipv4Address(127, 44, 2, 1)};
};

// Probe and report only: what SendEventReport costs once the report is built.
void BM_ProbeAndReport(benchmark::State& state) {
  Setup setup;
  const std::string report =
      "VERSION=1 6 0 0,09/12/2026,10:00:00,BENCHPC\\LocalSystem,127.44.3.1,Added E:\\file.txt";
  TimeEach(state, setup.console, setup.reference,
           [&] { setup.reporter.SendEventReport(report, setup.server); });
}
BENCHMARK(BM_ProbeAndReport)->UseRealTime();

// A whole report as the watcher makes it: settings, computer name, name lookup in the hosts
// file, session user, clock, probe and send.
void BM_ReportToServer(benchmark::State& state) {
  Setup setup;
  setup.machine.Login("user1");
  TimeEach(state, setup.console, setup.reference,
           [&] { setup.reporter.ReportToServer("Added E:\\file.txt", setup.server); });
}
BENCHMARK(BM_ReportToServer)->UseRealTime();

// The probe alone.
void BM_Probe(benchmark::State& state) {
  Setup setup;
  TimeEach(state, setup.console, setup.reference, [&] {
    if (setup.reporter.ProbeServer(setup.server) != CEventReporter::kReachable) {
      state.SkipWithError("console did not answer");
    }
  });
}
BENCHMARK(BM_Probe)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
