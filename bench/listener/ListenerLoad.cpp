// Load tool for the agent's command listener, in-process on loopback with the real settings
// module over a temporary machine root:
//   1. round trip (connect, GET, reply, close): 2,000 exchanges one after another, p50 and p99;
//   3. (below) the CPU an idle listener and idle detector use over 10 s.
//   2. 1,000 connections per second for 10 s, each a GET exchange: how many were answered, the
//      most connection threads alive at once, threads and resident memory before and after.
// Prints one line per figure. Run it in its own network namespace (e.g. unshare -n).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "client/agent/listener/CCommandListener.h"
#include "client/agent/settings/CClientSettings.h"
#include "platform/net/Socket.h"
#include "platform/session/IdleDetector.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/TempMachine.h"

namespace {

using namespace std::chrono;
using uv::platform::TcpSocket;

long StatusField(const char* name) {
  return uv::test::ProcessStatusField(name);
}

bool Exchange(uv::platform::SocketAddress to) {
  auto socket = TcpSocket::Connect(to, 2s);
  if (!socket) return false;
  (void)socket->SetReceiveTimeout(2s);
  if (!socket->Send(std::string("0004GET;\0\0", 10))) return false;
  char buffer[64];
  auto n = socket->Receive(std::span<char>(buffer));
  return n && *n == 9 && buffer[4] == 'G';
}

}  // namespace

int main() {
  uv::test::TempMachine temp("uv-listener-load");
  uv::platform::Machine& machine = temp.machine();
  uv::agent::CClientSettings settings(machine);
  uv::agent::CommandListenerOptions options;
  uv::agent::CCommandListener listener(machine, settings, nullptr, options);
  if (listener.Start() != uv::platform::kErrorSuccess) return 1;
  auto to = listener.LocalAddress();
  to.address = uv::platform::Ipv4Address::Loopback();

  std::vector<double> micros;
  for (int i = 0; i < 2000; ++i) {
    const auto start = steady_clock::now();
    if (!Exchange(to)) std::printf("round trip %d failed\n", i);
    micros.push_back(duration<double, std::micro>(steady_clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  std::printf("round trip connect+GET+reply+close: p50 %.0f us, p99 %.0f us\n",
              micros[micros.size() / 2], micros[micros.size() * 99 / 100]);

  const long threadsBefore = StatusField("Threads");
  const long rssBefore = StatusField("VmRSS");
  int answered = 0, failed = 0;
  std::size_t mostAlive = 0;
  long rssMax = rssBefore;
  const auto begin = steady_clock::now();
  for (int i = 0; i < 10000; ++i) {
    std::this_thread::sleep_until(begin + microseconds(1000 * i));
    (Exchange(to) ? answered : failed)++;
    mostAlive = std::max(mostAlive, listener.ConnectionCount());
    if (i % 1000 == 999) rssMax = std::max(rssMax, StatusField("VmRSS"));
  }
  const double seconds = duration<double>(steady_clock::now() - begin).count();
  std::printf(
      "flood: %d answered, %d failed in %.1f s (%.0f/s); at most %zu connection "
      "threads; threads %ld -> %ld; RSS %ld kB -> max %ld kB\n",
      answered, failed, seconds, (answered + failed) / seconds, mostAlive, threadsBefore,
      StatusField("Threads"), rssBefore, rssMax);

  // 3. Idle: the listener and an idle detector wait 10 s with nothing happening.
  uv::platform::IdleDetector detector(machine);
  (void)detector.Begin([](uv::platform::IdleState) {}, 10);
  const std::clock_t cpuBefore = std::clock();
  std::this_thread::sleep_for(10s);
  std::printf("idle listener + idle detection: %.1f ms CPU over 10 s\n",
              1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC);
  detector.End();
  listener.Stop();
  return 0;
}
