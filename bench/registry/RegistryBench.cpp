// The agent reads its switches by opening the settings key and reading one DWORD each time
// (keys are opened per operation and closed at once), so that path must stay cheap; writes
// come from the command listener and the console and are rarer.

#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "platform/registry/Registry.h"
#include "tests/support/TempDir.h"

namespace {

using uv::platform::kErrorSuccess;
using uv::platform::RegAccess;
using uv::platform::Registry;
using uv::platform::RegKey;

constexpr const char* kSettings = "Software\\Quorrel\\USB Vantrel Client\\Settings";

// One registry in a temporary root, with a realistic settings key, for one benchmark run.
class BenchRegistry {
 public:
  BenchRegistry() {
    auto opened = Registry::Open(dir_.path() / "registry.db");
    if (!opened) return;
    registry_ = std::move(opened).value();
    auto key = RegKey::Create(*registry_, kSettings);
    if (!key) return;
    ok_ = key->SetString("ServerIP", "127.0.0.2") == kErrorSuccess &&
          key->SetDword("BlockUSB", 1) == kErrorSuccess &&
          key->SetDword("SendOfflineMsg", 0) == kErrorSuccess &&
          key->SetDword("SystemIdleTime", 10) == kErrorSuccess;
  }
  BenchRegistry(const BenchRegistry&) = delete;
  BenchRegistry& operator=(const BenchRegistry&) = delete;

  bool ok() const { return ok_; }
  Registry& registry() { return *registry_; }

 private:
  uv::test::TempDir dir_{"uvregbench"};
  std::unique_ptr<Registry> registry_;  // closed before its folder goes
  bool ok_ = false;
};

void BM_DwordReadOpeningTheKey(benchmark::State& state) {
  BenchRegistry bench;
  if (!bench.ok()) {
    state.SkipWithError("cannot set up the registry");
    return;
  }
  for (auto _ : state) {
    auto key = RegKey::Open(bench.registry(), kSettings);
    auto value = key->QueryDword("SystemIdleTime");
    benchmark::DoNotOptimize(value);
    if (!value) state.SkipWithError("read failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DwordReadOpeningTheKey);

void BM_DwordReadOnOpenKey(benchmark::State& state) {
  BenchRegistry bench;
  if (!bench.ok()) {
    state.SkipWithError("cannot set up the registry");
    return;
  }
  auto key = RegKey::Open(bench.registry(), kSettings);
  for (auto _ : state) {
    auto value = key->QueryDword("BlockUSB");
    benchmark::DoNotOptimize(value);
    if (!value) state.SkipWithError("read failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DwordReadOnOpenKey);

// The worst case for a reader: another connection committed since the last read, so nothing
// read before may be reused and the read goes to the database (with SQLite's file locks).
void BM_DwordReadAfterACommitElsewhere(benchmark::State& state) {
  BenchRegistry bench;
  if (!bench.ok()) {
    state.SkipWithError("cannot set up the registry");
    return;
  }
  auto other = Registry::Open(bench.registry().File());
  if (!other) {
    state.SkipWithError("cannot open a second connection");
    return;
  }
  auto writer = RegKey::Create(**other, "Software\\Elsewhere");
  std::uint32_t n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const bool written = writer->SetDword("n", ++n) == kErrorSuccess;
    state.ResumeTiming();
    auto key = RegKey::Open(bench.registry(), kSettings);
    auto value = key->QueryDword("SystemIdleTime");
    benchmark::DoNotOptimize(value);
    if (!written || !value) state.SkipWithError("read or write failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DwordReadAfterACommitElsewhere);

void BM_DwordWrite(benchmark::State& state) {
  BenchRegistry bench;
  if (!bench.ok()) {
    state.SkipWithError("cannot set up the registry");
    return;
  }
  auto key = RegKey::Open(bench.registry(), kSettings, RegAccess::kWrite);
  std::uint32_t n = 0;
  for (auto _ : state) {
    if (key->SetDword("SystemIdleTime", ++n) != kErrorSuccess) state.SkipWithError("write failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DwordWrite);

// The command listener's path: open for writing, write, close.
void BM_DwordWriteOpeningTheKey(benchmark::State& state) {
  BenchRegistry bench;
  if (!bench.ok()) {
    state.SkipWithError("cannot set up the registry");
    return;
  }
  std::uint32_t n = 0;
  for (auto _ : state) {
    auto key = RegKey::Open(bench.registry(), kSettings, RegAccess::kWrite);
    if (!key || key->SetDword("BlockUSB", ++n & 1) != kErrorSuccess) {
      state.SkipWithError("write failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DwordWriteOpeningTheKey);

}  // namespace

BENCHMARK_MAIN();
