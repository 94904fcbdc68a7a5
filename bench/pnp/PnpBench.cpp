// Speed of the emulated device tree:
// - a plug until the WM_DEVICECHANGE of its USB interface arrives in another process, made in
//   this process (the verb's work) and by running the usbvantrel-sim program;
// - GetDeviceDescription with 1,000 devices in the tree, the device sought plugged last, for a
//   fleet of one model (one USBSTOR type key) and of 1,000 models (1,000 type keys).
// Latencies are reported as p50/p90 counters in milliseconds.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client/agent/identification/UsbDriveIdentification.h"
#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/pnp/DeviceTypes.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

using namespace uv::platform;
using Clock = std::chrono::steady_clock;

class Child {
 public:
  explicit Child(std::vector<std::string> args, bool captureOutput) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (captureOutput) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Child() { Wait(); }
  int Wait() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (stdout_ >= 0) ::close(stdout_);
    stdout_ = -1;
    return status;
  }
  std::string Line() {
    while (true) {
      const std::size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return {};
      char chunk[4096];
      const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
};

void ReportPercentiles(benchmark::State& state, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  state.counters["p50_ms"] = ms[ms.size() / 2];
  state.counters["p90_ms"] = ms[ms.size() * 9 / 10];
  state.counters["max_ms"] = ms.back();
}

PlugRequest Request(std::uint16_t pid, std::string serial) {
  PlugRequest r;
  r.vendorId = 0x0781;
  r.productId = pid;
  r.serial = std::move(serial);
  r.vendorName = "SanDisk";
  r.productName = "Cruzer Blade";
  return r;
}

// The verb's work in this process; the message counted is the USB interface arrival.
void BM_PlugToDeviceChangeInAnotherProcess(benchmark::State& state) {
  const uv::test::TempDir dir("uv-pnp-bench");  // removed on every way out
  const std::filesystem::path& root = dir.path();
  Machine machine(root);
  Child peer({PNP_PEER_PATH, root.string()}, true);
  if (peer.Line() != "ready") {
    state.SkipWithError("peer did not start");
    return;
  }
  std::vector<double> samples;
  int n = 0;
  for (auto _ : state) {
    const std::string serial = "BENCH" + std::to_string(n++ % 4);
    const auto start = Clock::now();
    auto outcome = Plug(machine, Request(0x5567, serial));
    const std::string line = peer.Line();
    const auto end = Clock::now();
    if (!outcome.ok() || line.rfind("8000 iface", 0) != 0) {
      state.SkipWithError("plug or delivery failed");
      break;
    }
    samples.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    state.PauseTiming();
    (void)peer.Line();  // the volume arrival
    (void)Unplug(machine, serial);
    (void)peer.Line();
    (void)peer.Line();
    state.ResumeTiming();
  }
  ReportPercentiles(state, samples);
  peer.Wait();
}
BENCHMARK(BM_PlugToDeviceChangeInAnotherProcess)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMillisecond);

// The whole command: usbvantrel-sim starts, plugs, and the peer gets the message.
void BM_SimPlugCommandToDeviceChange(benchmark::State& state) {
  const uv::test::TempDir dir("uv-pnp-bench");  // removed on every way out
  const std::filesystem::path& root = dir.path();
  ::setenv("USBVANTREL_ROOT", root.c_str(), 1);
  Machine machine(root);
  Child peer({PNP_PEER_PATH, root.string()}, true);
  if (peer.Line() != "ready") {
    state.SkipWithError("peer did not start");
    return;
  }
  std::vector<double> samples;
  int n = 0;
  for (auto _ : state) {
    const std::string serial = "SIM" + std::to_string(n++ % 4);
    const auto start = Clock::now();
    Child sim({SIM_PATH, "plug", "--vid", "0781", "--pid", "5567", "--serial", serial, "--vendor",
               "SanDisk", "--product", "Cruzer"},
              true);
    const std::string line = peer.Line();
    const auto end = Clock::now();
    sim.Wait();
    if (line.rfind("8000 iface", 0) != 0) {
      state.SkipWithError("no delivery");
      break;
    }
    samples.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    state.PauseTiming();
    (void)peer.Line();
    (void)Unplug(machine, serial);
    (void)peer.Line();
    (void)peer.Line();
    state.ResumeTiming();
  }
  ReportPercentiles(state, samples);
  peer.Wait();
  ::unsetenv("USBVANTREL_ROOT");
}
BENCHMARK(BM_SimPlugCommandToDeviceChange)
    ->UseManualTime()
    ->Iterations(50)
    ->Unit(benchmark::kMillisecond);

// 1,000 devices; arg 0: one model, arg 1: a model each.
void BM_GetDeviceDescription1000(benchmark::State& state) {
  const bool distinctModels = state.range(0) != 0;
  const uv::test::TempDir dir("uv-pnp-bench");  // removed on every way out
  const std::filesystem::path& root = dir.path();
  Machine machine(root);
  std::string lastInstance;
  for (int i = 0; i < 1000; ++i) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "FLEET%05d", i);
    auto outcome =
        Plug(machine, Request(distinctModels ? static_cast<std::uint16_t>(i + 1) : 0x5567, serial));
    if (!outcome.ok()) {
      state.SkipWithError(outcome.error.message.c_str());
      return;
    }
    lastInstance = outcome.value->usbInstanceId;
  }
  std::string name = "\\\\?\\" + lastInstance + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  for (std::size_t i = 4; i < name.size(); ++i)
    if (name[i] == '\\') name[i] = '#';
  const DevBroadcastDeviceInterface broadcast{kGuidUsbDeviceInterface, name};
  uv::agent::WhiteListDetails details;
  std::string description;
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool ok = uv::agent::GetDeviceDescription(machine, broadcast, kDbtDeviceArrival,
                                                    description, details);
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (!ok || description.empty()) {
      state.SkipWithError("not described");
      break;
    }
  }
  ReportPercentiles(state, samples);
}
BENCHMARK(BM_GetDeviceDescription1000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
