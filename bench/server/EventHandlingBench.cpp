// The UI-thread cost of one report: the handler's outlets with logging on, separately and
// together, so the intake figures can be traced to their parts.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <filesystem>

#include "gui/list/CUVTListCtrl.h"
#include "server/app/EventListener.h"
#include "server/app/EventLogFile.h"
#include "server/app/EventProcessor.h"
#include "server/app/EventRules.h"
#include "tests/support/TempDir.h"

using namespace uv::server;

namespace {

const std::string kReport =
    "VERSION=1 6 0 0,07/03/2009,14:05:09,PC17\\user1,192.168.1.23,Added E:\\bench\\file123.txt";

struct ListSink : IHistorySink {
  explicit ListSink(EventListModel& m) : model(m) {}
  void InsertRowAtTop(EventRow row) override { model.InsertAtTop(std::move(row)); }
  // As the window does: the texts go into the list's record without an EventRow in between.
  void InsertRowTextsAtTop(const HistoryRowTexts& t) override {
    model.InsertTextsAtTop({t.date, t.time, t.computerUser, t.address, t.category, t.message});
  }
  EventListModel& model;
};

struct NoSound : ISoundPlayer {
  void PlayAsync(const std::string&) override {}
};

// A log file in a folder of its own, removed with the folder when the benchmark ends.
struct TempLog {
  explicit TempLog(const char* prefix) : dir(prefix) {}
  uv::test::TempDir dir;
  const std::string path = (dir.path() / "console.log").string();
};

// Opened, appended to and closed for every line.
void BM_LogLineAppend(benchmark::State& state) {
  const TempLog log("uv-bench-append");
  const std::string& path = log.path;
  const std::string line = std::string(kReport) + "\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(AppendLogLine(path, line));
}
BENCHMARK(BM_LogLineAppend);

// The console's writer: the file kept open, its identity checked against the path per line.
void BM_LogLineKeptOpen(benchmark::State& state) {
  const TempLog file("uv-bench-kept");
  const std::string& path = file.path;
  const std::string line = std::string(kReport) + "\r\n";
  EventLogFile log;
  for (auto _ : state) benchmark::DoNotOptimize(log.Append(path, line));
}
BENCHMARK(BM_LogLineKeptOpen);

void BM_RulesOnly(benchmark::State& state) {
  const FilterWords words;
  for (auto _ : state) {
    std::string text = kReport;
    const int flag = SplitVersion(text, "VERSION=1 6 0 0");
    const std::string alert = AlertText(text, "127.0.0.1");
    const std::string full = AppendArrivalTime(alert, 14, 5, 11);
    benchmark::DoNotOptimize(BalloonText(alert, flag, "127.0.0.1", words));
    benchmark::DoNotOptimize(BuildHistoryRow(full, flag, "127.0.0.1", words));
    benchmark::DoNotOptimize(BuildLogLine(full, flag, "127.0.0.1", words));
  }
}
BENCHMARK(BM_RulesOnly);

// The console's handling with a real History model and a log file, mail and sound idle.
struct HandlingConsole {
  explicit HandlingConsole(const char* logPrefix) : log(logPrefix) {
    settings.enableLog = true;
    settings.logFilePath = log.path;
  }
  EventListModel model;
  ListSink history{model};
  BalloonRecorder balloons;
  NoSound sound;
  CMailQueue mail;
  CEventProcessor processor{"VERSION=1 6 0 0", history, balloons, sound, mail};
  ServerSettings settings;
  const TempLog log;
};

void BM_HandleWithListAndLog(benchmark::State& state) {
  HandlingConsole console("uv-bench-handle");
  for (auto _ : state) console.processor.Handle(kReport, "127.0.0.1", console.settings);
  state.counters["rows"] = console.model.RowCount();
}
BENCHMARK(BM_HandleWithListAndLog);

// What the console does with a burst: the listener's batch handed over whole, its log lines in
// one write. The argument is the batch size (the listener's batches hold up to 1,024 reports);
// the time per report is the figure to compare with BM_HandleWithListAndLog.
void BM_HandleBatchWithListAndLog(benchmark::State& state) {
  HandlingConsole console("uv-bench-batch");
  std::vector<EventListener::Report> batch(static_cast<std::size_t>(state.range(0)));
  for (auto& report : batch) {
    report.text = kReport;
    report.from = uv::platform::SocketAddress{uv::platform::Ipv4Address(127, 0, 0, 1), 40007};
  }
  for (auto _ : state) {
    console.processor.HandleBatch(batch, console.settings);
    // Rows go to the view in batches too; without one the model's unpublished rows only grow.
    console.model.Publish();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["rows"] = console.model.RowCount();
}
BENCHMARK(BM_HandleBatchWithListAndLog)->Arg(1)->Arg(64)->Arg(1024);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
