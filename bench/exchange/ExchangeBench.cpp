// Figures of the console's command exchange (run it in a network namespace of its own):
//  1. Get Status round trips against a local peer that answers as the agent does: p50, p99;
//  1a. the same against the real agent, started in the console on a machine root of its own;
//  2. the status view over 100 known clients of which 10 never answer: its whole duration,
//     against the bound of 10 reply limits plus 1 s.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "gui/common/MessageBoxes.h"
#include "server/dialogs/blockusb/CViewStatusDlg.h"
#include "tests/e2e/agent/AgentProcess.h"
#include "tests/server_ui/StandInAgent.h"
#include "tests/support/TempMachine.h"

using namespace std::chrono;
using namespace uv;

namespace {

// `count` Get Status round trips to `request`'s target, sorted; empty when one fails.
std::vector<double> RoundTrips(server::CommandExchange& exchange,
                               const server::ExchangeRequest& request, int count) {
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    const auto start = steady_clock::now();
    if (exchange.Run(request) != server::ExchangeStatus::kDone || !exchange.Holders().stored) {
      return {};
    }
    ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms;
}

// The real agent in the console on a machine root of its own at 127.48.1.90, ended on return.
int RealAgentRoundTrips(platform::Machine& console) {
  testing::TestMachine client("PCBENCH", "127.48.1.90");
  (void)client.Settings().SetString("ServerIP", "127.48.0.90");
  const pid_t pid = e2e::Spawn(client.root(), {"-debug"});
  if (pid <= 0) return 3;
  server::CommandExchange exchange(console);
  const server::ExchangeRequest request{
      "127.48.1.90", server::ExchangePhase::kQuery, 0, server::ExchangeKind::kBlockState, {}};
  // Its listener answers once the start-up is done.
  for (int i = 0; i < 200 && RoundTrips(exchange, request, 1).empty(); ++i) {
    std::this_thread::sleep_for(milliseconds(25));
  }
  const std::vector<double> ms = RoundTrips(exchange, request, 2000);
  ::kill(pid, SIGTERM);
  e2e::Wait(pid);
  if (ms.empty()) return 3;
  std::printf("Get Status round trip, real agent: p50 %.3f ms, p99 %.3f ms (%zu exchanges)\n",
              ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.size());
  return ms[ms.size() / 2] <= 5.0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  uv::test::TempMachine temp("uv-exchange-bench");
  platform::Machine& machine = temp.machine();
  server::test::StandInAgent agent;
  agent.blocked = true;

  server::ExchangeLimits limits;
  limits.port = agent.Port();
  server::CommandExchange exchange(machine, limits);
  const server::ExchangeRequest request{
      "127.0.0.1", server::ExchangePhase::kQuery, 0, server::ExchangeKind::kBlockState, {}};
  const std::vector<double> ms = RoundTrips(exchange, request, 2000);
  if (ms.empty()) return 1;
  std::printf("Get Status round trip: p50 %.3f ms, p99 %.3f ms (%zu exchanges)\n",
              ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.size());
  if (const int failed = RealAgentRoundTrips(machine); failed != 0) return failed;

  std::vector<std::string> clients;
  for (int i = 1; i <= 100; ++i) {
    clients.push_back("127.0.0." + std::to_string(i));
    if (i % 10 == 5)
      agent.silentAddresses.insert(
          platform::Ipv4Address(127, 0, 0, static_cast<std::uint8_t>(i)).HostOrder());
  }
  server::ScopedMessageBoxAnswerer boxes;
  server::CViewStatusDlg view(exchange, clients);
  const auto start = steady_clock::now();
  view.CollectRows();
  const double seconds = duration<double>(steady_clock::now() - start).count();
  const double bound = 10 * duration<double>(limits.reply).count() + 1.0;
  std::printf("status view, 100 clients, 10 silent: %.2f s (bound %.1f s), %zu messages\n", seconds,
              bound, boxes.Texts().size());
  return seconds <= bound ? 0 : 2;
}
