// The watcher with the real reporter and a loopback console stand-in: a burst of file creations
// on a watched drive, each reported with its probe ("RUT;" answered "IMA;") and its datagram.
// The counter is reports per second from the first creation to the last report's arrival, which
// is bounded by one probe round trip per report, or by the creations themselves on a slow file
// system (creations_per_s says so). The volume lies below the temporary directory (TMPDIR).
//
//   watcher_reporter_bench

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "client/agent/reporter/CEventReporter.h"
#include "client/agent/reporter/CReporterContext.h"
#include "client/agent/watcher/CDirectoryWatcher.h"
#include "tests/agent/reporter/FakeConsole.h"
#include "tests/agent/reporter/TestMachine.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void BM_ReportsThroughTheReporter(benchmark::State& state) {
  const auto files = static_cast<std::size_t>(state.range(0));
  // Addresses of their own, away from those of the tests and the reporter's benchmark.
  uv::testing::TestMachine machine{"WATCHBENCH", "127.44.6.1"};
  uv::testing::FakeConsole console{uv::platform::Ipv4Address(127, 44, 5, 1)};
  uv::agent::CReporterContext context{machine.machine(), "VERSION=1 6 0 0"};
  uv::agent::CEventReporter reporter{context};
  const fs::path volume = machine.root() / "Volumes" / "bench";
  for (auto _ : state) {
    state.PauseTiming();
    fs::create_directories(volume);
    console.Clear();
    uv::platform::DriveMap drives;
    drives.Set('E', volume);
    uv::agent::CDirectoryWatcher watcher(reporter, drives);
    if (watcher.Watch('E', console.Address(), nullptr) != 0) {
      state.SkipWithError("cannot watch the volume");
      return;
    }
    state.ResumeTiming();

    const auto start = Clock::now();
    const std::string base = volume.string() + "/report-";
    for (std::size_t i = 0; i < files; ++i) {
      const int fd = open((base + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) close(fd);
    }
    const auto created = Clock::now();
    // A probe and a report datagram per change.
    const bool all = console.WaitForDatagrams(2 * files, std::chrono::seconds(60));
    const auto end = Clock::now();

    state.PauseTiming();
    const std::size_t reports = console.Reports().size();
    state.counters["reports"] = static_cast<double>(reports);
    state.counters["reports_per_s"] =
        static_cast<double>(reports) / std::chrono::duration<double>(end - start).count();
    state.counters["share"] = static_cast<double>(reports) / static_cast<double>(files);
    // The creations alone: when they take about as long as the whole run, the file system (not
    // the reporter) set the pace.
    state.counters["creations_per_s"] =
        static_cast<double>(files) / std::chrono::duration<double>(created - start).count();
    if (!all) state.counters["incomplete"] = 1;
    watcher.UnwatchAll();
    std::error_code ignored;
    fs::remove_all(volume, ignored);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ReportsThroughTheReporter)
    ->Arg(2000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
