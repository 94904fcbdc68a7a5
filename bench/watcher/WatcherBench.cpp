// The watcher against a burst of file creations on a local disk directory, with a counting sink
// in place of the reporter. In the same run, `inotifywait -m -r` watches the same directory, so
// both see the same burst; each side's event rate (events / time from the first creation to its
// last event) and the share of the burst it reported are the counters.
//
//   watcher_bench --benchmark_filter=Burst     (needs inotifywait: Debian package inotify-tools)

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "client/agent/watcher/CDirectoryWatcher.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Counts reports and remembers when the last one came.
class CountingSink : public uv::agent::IEventReporter {
 public:
  void ReportToServer(const std::string& text, const std::string&, std::string*) override {
    if (text.rfind("Added ", 0) == 0) {
      added_.fetch_add(1, std::memory_order_relaxed);
      last_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    }
  }
  std::size_t Added() const { return added_.load(); }
  Clock::time_point Last() const { return Clock::time_point(Clock::duration(last_.load())); }

 private:
  std::atomic<std::size_t> added_{0};
  std::atomic<Clock::rep> last_{0};
};

// `inotifywait -m -r` on a directory, counting the CREATE lines it prints.
class InotifyWait {
 public:
  explicit InotifyWait(const fs::path& directory) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::string dir = directory.string();
    char arg0[] = "inotifywait";
    char monitor[] = "-m";
    char recursive[] = "-r";
    char events[] = "-e";
    char which[] = "create,delete,modify,move";
    char format[] = "--format";
    char layout[] = "%e %w%f";
    char* argv[] = {arg0, monitor, recursive, events, which, format, layout, dir.data(), nullptr};
    const int spawned = posix_spawnp(&pid_, "inotifywait", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
      pid_ = -1;
      close(out[0]);
      close(err[0]);
      return;
    }
    // It says on stderr when its watches are in place; the burst must not start before.
    std::string said;
    char chunk[256];
    while (said.find("Watches established") == std::string::npos) {
      const ssize_t got = read(err[0], chunk, sizeof chunk);
      if (got <= 0) break;
      said.append(chunk, static_cast<std::size_t>(got));
    }
    ready_ = said.find("Watches established") != std::string::npos;
    errFd_ = err[0];
    reader_ = std::thread([this, fd = out[0]] { Read(fd); });
  }

  ~InotifyWait() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (errFd_ >= 0) close(errFd_);
  }

  bool ready() const { return ready_; }
  std::size_t Created() const { return created_.load(); }
  std::size_t Overflows() const { return overflows_.load(); }
  Clock::time_point Last() const { return Clock::time_point(Clock::duration(last_.load())); }

 private:
  void Read(int fd) {
    std::string line;
    char chunk[64 * 1024];
    for (;;) {
      const ssize_t got = read(fd, chunk, sizeof chunk);
      if (got <= 0) break;
      for (ssize_t i = 0; i < got; ++i) {
        if (chunk[i] != '\n') {
          line.push_back(chunk[i]);
          continue;
        }
        if (line.rfind("CREATE", 0) == 0) {
          created_.fetch_add(1, std::memory_order_relaxed);
          last_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        } else if (line.find("Q_OVERFLOW") != std::string::npos) {
          overflows_.fetch_add(1);
        }
        line.clear();
      }
    }
    close(fd);
  }

  pid_t pid_ = -1;
  int errFd_ = -1;
  bool ready_ = false;
  std::thread reader_;
  std::atomic<std::size_t> created_{0};
  std::atomic<std::size_t> overflows_{0};
  std::atomic<Clock::rep> last_{0};
};

double Rate(std::size_t events, Clock::time_point start, Clock::time_point last) {
  const double seconds = std::chrono::duration<double>(last - start).count();
  return seconds > 0 ? static_cast<double>(events) / seconds : 0.0;
}

void BM_BurstOfCreations(benchmark::State& state) {
  const auto files = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    uv::test::TempDir dir("uvwatch-bench");
    uv::platform::DriveMap drives;
    drives.Set('E', dir.path());
    CountingSink sink;
    uv::agent::CDirectoryWatcher watcher(sink, drives);
    if (watcher.Watch('E', "127.0.0.1", nullptr) != 0) {
      state.SkipWithError("cannot watch the directory");
      return;
    }
    InotifyWait inotifywait(dir.path());
    if (!inotifywait.ready()) {
      state.SkipWithError("inotifywait did not start (Debian package inotify-tools)");
      return;
    }
    state.ResumeTiming();

    const auto start = Clock::now();
    const std::string base = dir.path().string() + "/file-";
    for (std::size_t i = 0; i < files; ++i) {
      const int fd = open((base + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) close(fd);
    }
    const auto created = Clock::now();
    // Both have had their chance once neither has moved for a second.
    std::size_t seenWatcher = 0;
    std::size_t seenInotify = 0;
    auto lastProgress = Clock::now();
    while (Clock::now() - lastProgress < std::chrono::seconds(1) &&
           (sink.Added() < files || inotifywait.Created() < files)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (sink.Added() != seenWatcher || inotifywait.Created() != seenInotify) {
        seenWatcher = sink.Added();
        seenInotify = inotifywait.Created();
        lastProgress = Clock::now();
      }
    }
    state.PauseTiming();
    const std::size_t watcherEvents = sink.Added();
    const std::size_t inotifyEvents = inotifywait.Created();
    const double watcherRate = Rate(watcherEvents, start, sink.Last());
    const double inotifyRate = Rate(inotifyEvents, start, inotifywait.Last());
    state.counters["create_per_s"] = Rate(files, start, created);
    state.counters["watcher_per_s"] = watcherRate;
    state.counters["watcher_share"] =
        static_cast<double>(watcherEvents) / static_cast<double>(files);
    state.counters["inotifywait_per_s"] = inotifyRate;
    state.counters["inotifywait_share"] =
        static_cast<double>(inotifyEvents) / static_cast<double>(files);
    state.counters["inotifywait_overflows"] = static_cast<double>(inotifywait.Overflows());
    state.counters["rate_vs_inotifywait"] = inotifyRate > 0 ? watcherRate / inotifyRate : 0.0;
    watcher.UnwatchAll();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_BurstOfCreations)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
