// History list speed and size: a million rows in the list (resident memory), sorting them by
// every column, and printing ten thousand rows to a PDF file.
//
// Run: QT_QPA_PLATFORM=offscreen bench_server_list   (the program sets offscreen itself when no
// platform is chosen).

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "gui/list/CListCtrlPrint.h"
#include "gui/list/CUVTListCtrl.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/TempDir.h"

namespace {

using uv::server::CListCtrlPrint;
using uv::server::CUVTListCtrl;
using uv::server::EventRow;

long ResidentKiB() {
  return uv::test::ProcessStatusField("VmRSS");
}

// The peak resident memory since the last ResetPeakResident() (or the start).
long PeakResidentKiB() {
  return uv::test::ProcessStatusField("VmHWM");
}

// Lets the next PeakResidentKiB() report the peak from now on.
void ResetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// Rows like the ones a busy network sends: a few hundred computers, the usual categories, file
// paths of varying length.
EventRow MakeRow(std::mt19937& engine, int i) {
  const auto rng = [&engine] { return static_cast<unsigned>(engine()); };
  static const char* kCategories[] = {"Inserted", "Removed",  "Mounted",    "Unmounted",
                                      "Added",    "Deleted",  "Renamed",    "Modified",
                                      "Started",  "Shutdown", "Save-Energy"};
  char date[16], time[16], who[48], addr[24], msg[256];
  std::snprintf(date, sizeof date, "%02u/%02u/%04u", 1 + rng() % 28, 1 + rng() % 12,
                2000 + rng() % 27);
  std::snprintf(time, sizeof time, "%02u:%02u:%02u", rng() % 24, rng() % 60, rng() % 60);
  const unsigned pc = rng() % 400u;
  std::snprintf(who, sizeof who, "PC-%03u\\user%02u", pc, rng() % 40);
  std::snprintf(addr, sizeof addr, "10.%u.%u.%u", pc / 250, pc % 250, 1 + rng() % 9);
  const char* category = kCategories[rng() % (sizeof kCategories / sizeof *kCategories)];
  std::snprintf(msg, sizeof msg, "%s E:\\Projects\\Report %d\\chapter-%u.docx on %s [ %s ] at %s",
                category, i % 977, rng() % 100, who, addr, time);
  return EventRow{date, time, who, addr, msg, category};
}

struct Fixture {
  std::unique_ptr<CUVTListCtrl> list;
};

Fixture& Million() {
  static Fixture fixture;
  return fixture;
}

void BM_InsertMillionRows(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    Million().list.reset();
    const long before = ResidentKiB();
    state.ResumeTiming();
    auto list = std::make_unique<CUVTListCtrl>();
    list->resize(900, 500);
    list->show();
    std::mt19937 rng(42);
    for (int i = 0; i < 1000000; ++i) list->InsertRow(MakeRow(rng, i));
    list->Publish();
    QCoreApplication::processEvents();
    state.PauseTiming();
    state.counters["rss_MiB"] = static_cast<double>(ResidentKiB()) / 1024.0;
    state.counters["list_MiB"] = static_cast<double>(ResidentKiB() - before) / 1024.0;
    Million().list = std::move(list);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_InsertMillionRows)->Unit(benchmark::kMillisecond)->Iterations(1);

// Events arriving at a list that already holds a million rows, with the event loop running
// between them as it does when the listener hands events over one by one.
void BM_ArrivalsOnAMillionRows(benchmark::State& state) {
  CUVTListCtrl* list = Million().list.get();
  if (list == nullptr) {
    state.SkipWithError("the million-row list was not built");
    return;
  }
  std::mt19937 rng(5);
  int i = 0;
  for (auto _ : state) {
    list->InsertRow(MakeRow(rng, i++));
    QCoreApplication::processEvents();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ArrivalsOnAMillionRows)->Iterations(20000);

void SortBench(benchmark::State& state, int column, int scrambleColumn) {
  CUVTListCtrl* list = Million().list.get();
  if (list == nullptr) {
    state.SkipWithError("the million-row list was not built");
    return;
  }
  long peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    list->Model().SortRows(scrambleColumn, true);  // start from an order unrelated to the key
    QCoreApplication::processEvents();
    ResetPeakResident();
    state.ResumeTiming();
    list->Model().SortRows(column, true);
    QCoreApplication::processEvents();
    state.PauseTiming();
    peak = std::max(peak, PeakResidentKiB());
    state.ResumeTiming();
  }
  state.counters["rss_MiB"] = static_cast<double>(ResidentKiB()) / 1024.0;
  state.counters["peak_MiB"] = static_cast<double>(peak) / 1024.0;
}

// Every column, each from the order of another one.
void BM_SortMillionByColumn(benchmark::State& state) {
  const int column = static_cast<int>(state.range(0));
  state.SetLabel(uv::server::ListHeadings()[static_cast<std::size_t>(column)].toStdString());
  SortBench(state, column, column == 5 ? 2 : 5);
}
BENCHMARK(BM_SortMillionByColumn)->DenseRange(0, 5)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PrintTenThousandRows(benchmark::State& state) {
  Million().list.reset();
  const uv::test::TempDir dir("uv-print-bench");
  const QString pdf = QString::fromStdString((dir.path() / "report.pdf").string());
  std::mt19937 rng(7);
  std::vector<EventRow> rows;
  for (int i = 0; i < 10000; ++i) rows.push_back(MakeRow(rng, i));
  std::vector<CListCtrlPrint::Heading> headings;
  for (const QString& h : uv::server::ListHeadings()) headings.push_back({h, Qt::AlignLeft});
  int pages = 0;
  for (auto _ : state) {
    CListCtrlPrint job;
    job.SetTitle(QStringLiteral("USB Vantrel!"));
    job.SetRows(rows, headings);
    job.SetOutputFile(pdf);
    if (job.Print() != uv::server::PrintOutcome::kPrinted) state.SkipWithError("print failed");
    pages = job.LastPage();
  }
  state.counters["pages"] = pages;
}
BENCHMARK(BM_PrintTenThousandRows)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  // The list is a widget: it must go before the application does, whichever benchmarks ran.
  Million().list.reset();
  benchmark::Shutdown();
  return 0;
}
