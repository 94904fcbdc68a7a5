// The agent program itself, in console mode (-debug) on a temporary machine root, against a
// loopback console stand-in:
//   - start to "Started client" report: from the spawn of the process until the report has
//     arrived, over 10 starts (p50, max);
//   - idle: processor time (user + system, from /proc/<pid>/stat) over 10 s with nothing
//     happening, and the resident memory (VmRSS) afterwards.
//
//   agent_process_bench   (run it in a network namespace of its own, e.g. unshare -n)

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/agent/reporter/TestMachine.h"
#include "tests/agent/support/AgentPeers.h"
#include "tests/support/FileText.h"
#include "tests/support/ProcessStatus.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t SpawnAgent(const std::filesystem::path& root) {
  std::vector<std::string> env{"USBVANTREL_ROOT=" + root.string()};
  for (char** e = environ; *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with("USBVANTREL_ROOT=")) env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(USBVANTREL_CLIENT_PATH), const_cast<char*>("-debug"), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, USBVANTREL_CLIENT_PATH, nullptr, nullptr, argv, envp.data()) != 0) {
    return -1;
  }
  return pid;
}

// utime + stime of the process, in clock ticks.
long CpuTicks(pid_t pid) {
  const std::string text = uv::test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto end = text.rfind(')');
  if (end == std::string::npos) return -1;
  std::istringstream fields(text.substr(end + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

long RssKb(pid_t pid) {
  return uv::test::ProcessStatusField("VmRSS", std::to_string(pid));
}

void Stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

}  // namespace

int main() {
  uv::testing::TestMachine machine("PC17", "127.49.1.1");
  uv::testing::AgentPeers peers("127.49.0.1", "");
  (void)machine.Settings().SetString("ServerIP", "127.49.0.1");

  std::vector<double> startMs;
  for (int run = 0; run < 10; ++run) {
    peers.Clear();
    const auto start = Clock::now();
    const pid_t pid = SpawnAgent(machine.root());
    if (pid < 0) {
      std::fprintf(stderr, "cannot start %s\n", USBVANTREL_CLIENT_PATH);
      return 1;
    }
    const auto seen = peers.WaitFor("R Started client [ Drives  ] on PC17\\LocalSystem");
    const auto end = Clock::now();
    if (seen.empty()) {
      std::fprintf(stderr, "no Started report\n");
      Stop(pid);
      return 1;
    }
    startMs.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    if (run < 9) {
      Stop(pid);
      continue;
    }
    // The last one stays idle for 10 s.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long before = CpuTicks(pid);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const long after = CpuTicks(pid);
    const long rss = RssKb(pid);
    Stop(pid);
    const double tickMs = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::sort(startMs.begin(), startMs.end());
    std::printf("start to Started report: p50 %.1f ms, max %.1f ms (10 starts)\n",
                startMs[startMs.size() / 2], startMs.back());
    std::printf("idle 10 s: %.0f ms of processor time; resident memory %ld kB\n",
                static_cast<double>(after - before) * tickMs, rss);
  }
  return 0;
}
