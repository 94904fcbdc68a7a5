// The client agent's main road in-process: the hidden dialog on a temporary machine, the device
// tree driven as the simulator drives it, the reports read by a loopback console stand-in.
//
//   agent_bench   (run it in a network namespace of its own, e.g. unshare -n)
//
// BM_PlugToMounted: one stick plugged (the tree's plug, measured in-process), the time until its
//   "Mounted drive" report has arrived at the console; counters p50_ms, p90_ms, max_ms.
// BM_PlugBurst: 100 sticks plugged and unplugged, 20 at a time; every report must arrive;
//   counters events_per_s (plugs and unplugs per second) and reports.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/agent/dialog/CNewOrmClientDlg.h"
#include "client/agent/reporter/CReporterContext.h"
#include "client/agent/settings/CClientSettings.h"
#include "platform/pnp/DeviceManager.h"
#include "tests/agent/reporter/TestMachine.h"
#include "tests/agent/support/AgentPeers.h"

namespace {

using Clock = std::chrono::steady_clock;
using uv::testing::AgentPeers;

uv::platform::PlugRequest Stick(char letter, int serial) {
  uv::platform::PlugRequest request;
  request.vendorId = 0x0951;
  request.productId = 0x1666;
  request.serial = "BENCH" + std::to_string(serial);
  request.vendorName = "Kingston";
  request.productName = "DataTraveler 3.0";
  request.letter = letter;
  return request;
}

// A running agent dialog on its own machine, reporting to its own console stand-in.
class Agent {
 public:
  explicit Agent(int n)
      : machine_("PC17", "127.47.1." + std::to_string(n)),
        peers_("127.47.0." + std::to_string(n), ""),
        context_(machine_.machine(), "VERSION=1 6 0 0"),
        settings_(machine_.machine()),
        dialog_(settings_, context_) {
    (void)machine_.Settings().SetString("ServerIP", "127.47.0." + std::to_string(n));
    thread_ = std::thread([this] { dialog_.DoModal(); });
    peers_.WaitForCount(1);  // "Started client"
    peers_.Clear();
  }
  ~Agent() {
    dialog_.EndFromService();
    thread_.join();
  }
  uv::platform::Machine& machine() { return machine_.machine(); }
  AgentPeers& peers() { return peers_; }

 private:
  uv::testing::TestMachine machine_;
  AgentPeers peers_;
  uv::agent::CReporterContext context_;
  uv::agent::CClientSettings settings_;
  uv::agent::CNewOrmClientDlg dialog_;
  std::thread thread_;
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void BM_PlugToMounted(benchmark::State& state) {
  Agent agent(1);
  std::vector<double> latencies;
  int serial = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    auto plugged = uv::platform::Plug(agent.machine(), Stick('E', ++serial));
    if (!plugged.ok()) {
      state.SkipWithError(plugged.error.message.c_str());
      return;
    }
    const auto sequence = agent.peers().WaitFor("R Mounted drive E:\\ on PC17\\LocalSystem");
    const auto end = Clock::now();
    if (sequence.size() < 2) {
      state.SkipWithError("no Mounted report");
      return;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    // Out of the measurement: the stick leaves again.
    (void)uv::platform::Unplug(agent.machine(), "E");
    agent.peers().WaitForCount(4);
    agent.peers().Clear();
  }
  state.counters["p50_ms"] = Percentile(latencies, 0.5);
  state.counters["p90_ms"] = Percentile(latencies, 0.9);
  state.counters["max_ms"] = Percentile(latencies, 1.0);
}
BENCHMARK(BM_PlugToMounted)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

void BM_PlugBurst(benchmark::State& state) {
  constexpr int kRounds = 5;
  constexpr int kPerRound = 20;  // letters E: to X:
  Agent agent(2);
  int serial = 0;
  std::size_t reports = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
      agent.peers().Clear();
      for (int i = 0; i < kPerRound; ++i) {
        (void)uv::platform::Plug(agent.machine(), Stick(static_cast<char>('E' + i), ++serial));
      }
      // Inserted and Mounted of each.
      if (agent.peers().WaitForCount(2 * kPerRound, std::chrono::seconds(60)).size() <
          2 * kPerRound) {
        state.SkipWithError("reports missing after the plugs");
        return;
      }
      for (int i = 0; i < kPerRound; ++i) {
        (void)uv::platform::Unplug(agent.machine(), std::string(1, static_cast<char>('E' + i)));
      }
      // Unmounted and Removed of each.
      const auto all = agent.peers().WaitForCount(4 * kPerRound, std::chrono::seconds(60));
      if (all.size() < 4 * kPerRound) {
        state.SkipWithError("reports missing after the unplugs");
        return;
      }
      reports += all.size();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["events_per_s"] = 2.0 * kRounds * kPerRound / seconds;
  }
  state.counters["reports"] = static_cast<double>(reports);
}
BENCHMARK(BM_PlugBurst)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
