// Speed of the wire formats on the paths every event and every command takes: building a report
// on the client, reading it on the console, and reading command frames on the agent.

#include <benchmark/benchmark.h>

#include <string>

#include "protocol/CommandFrame.h"
#include "protocol/EventReport.h"

namespace uv::protocol {
namespace {

ReportFields Fields() {
  ReportFields fields;
  fields.version = "VERSION=1 6 0 0";
  fields.time = {7, 3, 2009, 14, 5, 9};
  fields.computer = "PC17";
  fields.user = "user1";
  fields.address = "192.168.1.23";
  fields.message = "Inserted Kingston DataTraveler 2.0 USB Device on PC17\\user1";
  return fields;
}

void BM_BuildReport(benchmark::State& state) {
  EventReport report;
  ReportFields fields = Fields();
  int second = 0;
  for (auto _ : state) {
    fields.time.second = second++ % 60;
    report.Build(fields);
    benchmark::DoNotOptimize(report.text().data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildReport);

void BM_ParseReport(benchmark::State& state) {
  const std::string report = BuildEventReport(Fields()) + " [ 192.168.1.23 ] at 14:05:11";
  for (auto _ : state) {
    const VersionSplit split = SplitVersion(report, "VERSION=1 6 0 0");
    const EventFields fields = ParseReportBody(split.text);
    benchmark::DoNotOptimize(fields.category.data());
    benchmark::DoNotOptimize(fields.message.size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseReport);

void BM_LogLine(benchmark::State& state) {
  const std::string text = std::string(BuildReportBody(Fields())) + " [ 192.168.1.23 ] at 14:05:11";
  std::string line;
  for (auto _ : state) {
    BuildLogLine(line, text);
    benchmark::DoNotOptimize(line.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLine);

// Counts frames without acting on them.
class CountingVisitor final : public FrameVisitor {
 public:
  bool OnFrame(const Frame& frame) override {
    count += frame.argument.size() > 0 ? 1 : 0;
    return true;
  }
  long long count = 0;
};

void BM_ReadFrame(benchmark::State& state) {
  const std::string read = "0006SET;1;";
  for (auto _ : state) {
    const FrameRead frame = ReadFrameAt(read, 0, FrameRole::kCommand);
    benchmark::DoNotOptimize(frame.frame.argument.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadFrame);

// A read packed with setting frames, walked as the agent does.
void BM_WalkFrames(benchmark::State& state) {
  std::string read;
  while (read.size() + 30 < kCommandReadBuffer) read += "0006SET;1;   7SIT;30;   6SOM;2;";
  const std::size_t frames = read.size() / 31 * 3;
  CountingVisitor visitor;
  for (auto _ : state) {
    benchmark::DoNotOptimize(WalkFrames(read, WalkMode::kSettings, visitor));
  }
  benchmark::DoNotOptimize(visitor.count);
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(frames));
}
BENCHMARK(BM_WalkFrames);

void BM_ReadReply(benchmark::State& state) {
  const std::string reply = BuildGwhReply(WhiteLists{"ann,bob", "Cruzer 0123", "Cruzer"});
  for (auto _ : state) {
    const auto read = ReadCommandReply(reply);
    benchmark::DoNotOptimize(read->listText.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadReply);

}  // namespace
}  // namespace uv::protocol

BENCHMARK_MAIN();
