// A flood of reports into the console window (offscreen): every report goes through the
// window's handler as the listener hands it over, with the log file on, while the History keeps
// at most its bound. Prints the resident memory at intervals, so that it can be seen to stay flat
// once the bound is reached, and at the end the rows kept and the log lines written.
//
// Run: bench_history_flood [--reports N] [--bound ROWS] [--every N] [--no-log]
// (defaults: 5,000,000 reports, the console's default bound, a line every 250,000 reports).

#include <QApplication>
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "gui/list/CUVTListCtrl.h"
#include "platform/net/Ipv4Address.h"
#include "platform/registry/Registry.h"
#include "server/app/CNewOrmServerDlg.h"
#include "server/dialogs/settings/ServerSettings.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/TempMachine.h"

namespace {

using namespace uv::server;

long ResidentKiB() {
  return uv::test::ProcessStatusField("VmRSS");
}

long CountLines(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  long lines = 0;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) lines += buffer[i] == '\n';
  }
  return lines;
}

struct Options {
  long reports = 5000000;
  long bound = 0;  // 0: the console's default
  long every = 250000;
  bool log = true;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const auto number = [&](long& out) {
      if (i + 1 >= argc) return false;
      char* end = nullptr;
      out = std::strtol(argv[++i], &end, 10);
      return end != argv[i] && *end == '\0' && out >= 0;
    };
    if (std::strcmp(argv[i], "--reports") == 0) {
      if (!number(options.reports)) return false;
    } else if (std::strcmp(argv[i], "--bound") == 0) {
      if (!number(options.bound) || options.bound > 0xFFFFFFFFL) return false;
    } else if (std::strcmp(argv[i], "--every") == 0) {
      if (!number(options.every) || options.every == 0) return false;
    } else if (std::strcmp(argv[i], "--no-log") == 0) {
      options.log = false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: %s [--reports N] [--bound ROWS] [--every N] [--no-log]\n",
                 argv[0]);
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  uv::test::TempMachine temp("uv-flood");
  uv::platform::Machine& machine = temp.machine();
  const std::filesystem::path log = temp.root() / "flood.log";
  {
    auto registry = machine.OpenRegistry();
    if (!registry.ok()) return 1;
    auto key = uv::platform::RegKey::Create(**registry, kServerSettingsKey);
    if (!key.ok()) return 1;
    if (options.bound != 0) {
      (void)key->SetDword(kValMaxHistoryRows, static_cast<std::uint32_t>(options.bound));
    }
    (void)key->SetDword(kValEnableLog, options.log ? 1u : 0u);
    (void)key->SetString(kValLogFilePath, log.string());
  }
  ConsoleOptions console;
  console.systemTray = false;
  console.bindAddress = uv::platform::Ipv4Address::Loopback();
  console.port = 0;
  CNewOrmServerDlg window(machine, "VERSION=1 6 0 0", console);
  if (window.OnInitDialog() != InitOutcome::kRunning) return 1;
  std::printf("bound %u rows, %ld reports, log %s\n", window.Settings().maxHistoryRows,
              options.reports, options.log ? "on" : "off");
  std::printf("%12s %10s %10s %8s\n", "reports", "rows", "RSS MiB", "s");

  const auto sender = uv::platform::Ipv4Address::Loopback();
  const auto start = std::chrono::steady_clock::now();
  char report[256];
  for (long i = 1; i <= options.reports; ++i) {
    std::snprintf(report, sizeof report,
                  "VERSION=1 6 0 0,07/03/2009,14:%02ld:%02ld,PC%03ld\\user%ld,10.0.%ld.%ld,"
                  "Added E:\\Projects\\Report %ld\\chapter-%ld.docx",
                  (i / 60) % 60, i % 60, i % 400, i % 40, (i / 250) % 250, i % 250, i % 977, i);
    window.OnEventReceived(report, sender);
    // The window's event loop runs between reports; letting it run every hundred keeps the
    // batches of new rows (and the removal of the oldest) as they are in the console.
    if (i % 100 == 0) QCoreApplication::processEvents();
    if (i % options.every == 0 || i == options.reports) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("%12ld %10d %10.1f %8.1f\n", i, window.List().RowCount(),
                  static_cast<double>(ResidentKiB()) / 1024.0, seconds);
      std::fflush(stdout);
    }
  }
  window.List().Publish();
  const long lines = options.log ? CountLines(log) - 1 : 0;  // less the header
  std::printf("rows kept %d, log lines %ld\n", window.List().RowCount(), lines);
  if (window.List().RowCount() !=
          static_cast<int>(std::min<long>(options.reports, window.Settings().maxHistoryRows)) ||
      (options.log && lines != options.reports)) {
    std::printf("FAILED: rows or log lines missing\n");
    return 1;
  }
  return 0;
}
