// Start -> running, stop -> stopped (the test service, status polled every 100 us) and the
// interrogate round trip, on a temporary machine root.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/machine/Machine.h"
#include "platform/service/ServiceControlManager.h"
#include "tests/support/TempMachine.h"

namespace {

using namespace uv::platform;

struct Fixture {
  Fixture() {
    auto m = ServiceControlManager::Open(*machine, ScmAccess::kAll);
    manager = std::make_unique<ServiceControlManager>(std::move(m.value()));
    ServiceConfig config;
    config.imagePath = UV_TEST_SERVICE;
    (void)manager->CreateService("UVTestService", config);
  }
  ServiceHandle Open() { return std::move(manager->OpenService("UVTestService").value()); }
  uv::test::TempMachine temp{"uv-svcbench"};
  Machine* machine = &temp.machine();
  std::unique_ptr<ServiceControlManager> manager;
};

void WaitFor(ServiceHandle& service, ServiceState state) {
  while (service.QueryStatus().value_or(ServiceStatus{}).currentState != state) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

void BM_StartToRunningAndStopToStopped(benchmark::State& state) {
  Fixture f;
  auto service = f.Open();
  double startTotal = 0;
  double stopTotal = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (service.Start() != kErrorSuccess) state.SkipWithError("start failed");
    WaitFor(service, ServiceState::kRunning);
    const auto t1 = std::chrono::steady_clock::now();
    (void)service.Control(kServiceControlStop);
    WaitFor(service, ServiceState::kStopped);
    const auto t2 = std::chrono::steady_clock::now();
    startTotal += std::chrono::duration<double, std::milli>(t1 - t0).count();
    stopTotal += std::chrono::duration<double, std::milli>(t2 - t1).count();
    // Let the stopped process leave before the next start claims the service.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  state.counters["start_ms"] = startTotal / static_cast<double>(state.iterations());
  state.counters["stop_ms"] = stopTotal / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StartToRunningAndStopToStopped)->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_InterrogateRoundTrip(benchmark::State& state) {
  Fixture f;
  auto service = f.Open();
  (void)service.Start();
  WaitFor(service, ServiceState::kRunning);
  for (auto _ : state) {
    auto status = service.Control(kServiceControlInterrogate);
    if (!status) state.SkipWithError("interrogate failed");
    benchmark::DoNotOptimize(status);
  }
  (void)service.Control(kServiceControlStop);
  WaitFor(service, ServiceState::kStopped);
}
BENCHMARK(BM_InterrogateRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
