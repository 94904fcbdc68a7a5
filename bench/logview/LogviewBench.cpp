// Writes a journal of N lines (default 1,000,000) on a temporary machine root, then measures
// the viewer's window loading and showing it, its resident memory, and a sort by "Date".
// Run offscreen: QT_QPA_PLATFORM=offscreen logview_bench [lines]

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "gui/common/MessageBoxes.h"
#include "gui/list/CUVTListCtrl.h"
#include "logview/CLogscopeDlg.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/TempMachine.h"

namespace {

long PeakResidentKiB() {
  return uv::test::ProcessStatusField("VmHWM");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const long lines = argc > 1 ? std::stol(argv[1]) : 1000000;
  uv::test::TempMachine temp("uv-logview-bench");
  uv::platform::Machine& machine = temp.machine();
  {
    std::ofstream out(machine.SystemDirectory() / "OfflineMsg.log", std::ios::binary);
    char line[256];
    for (long i = 0; i < lines; ++i) {
      const int n = std::snprintf(
          line, sizeof line,
          "VERSION=1 6 0 0,%02ld/%02ld/%04ld,%02ld:%02ld:%02ld,PC-%04ld\\user%ld,10.0.%ld.%ld,"
          "Added E:\\folder\\file%ld.txt on PC-%04ld\\user%ld\r\n",
          i % 28 + 1, i % 12 + 1, 2000 + i % 25, i % 24, i % 60, (i / 60) % 60, i % 1000, i % 7,
          i % 256, (i / 256) % 256, i, i % 1000, i % 7);
      out.write(line, n);
    }
  }
  const long before = PeakResidentKiB();
  uv::gui::ScopedMessageBoxAnswerer boxes;
  QElapsedTimer timer;
  timer.start();
  std::clock_t cpu = std::clock();
  uv::logview::CLogscopeDlg dlg(machine);
  dlg.OnInitDialog();
  dlg.show();
  QApplication::processEvents();
  dlg.grab();  // paints the list once
  const qint64 loadMs = timer.elapsed();
  const long loadCpuMs = (std::clock() - cpu) * 1000 / CLOCKS_PER_SEC;
  const long afterLoad = PeakResidentKiB();

  timer.restart();
  cpu = std::clock();
  dlg.List().OnColumnClick(0);
  dlg.grab();
  const qint64 sortMs = timer.elapsed();
  const long sortCpuMs = (std::clock() - cpu) * 1000 / CLOCKS_PER_SEC;
  std::printf("lines %ld rows %d boxes %zu\n", lines, dlg.List().RowCount(), boxes.Texts().size());
  std::printf("load and show: %lld ms wall, %ld ms CPU (goal <= 3000)\n",
              static_cast<long long>(loadMs), loadCpuMs);
  std::printf("peak resident: %ld MiB (before the window %ld MiB; goal <= 500 MB)\n",
              afterLoad / 1024, before / 1024);
  std::printf("sort by Date: %lld ms wall, %ld ms CPU (goal <= 1500), peak resident then %ld MiB\n",
              static_cast<long long>(sortMs), sortCpuMs, PeakResidentKiB() / 1024);
  return dlg.List().RowCount() == lines ? 0 : 1;
}
