// One text from the stick to the administrator: the real agent watches a simulated stick on which
// a file with a non-ASCII name is written, and the console (in this process, offscreen, on a real
// loopback socket) shows the name in its list and its balloon and writes it to its log file, all
// as the same UTF-8 text.

#include <signal.h>

#include <QApplication>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "gui/list/CUVTListCtrl.h"
#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/registry/Registry.h"
#include "protocol/VersionText.h"
#include "server/app/CNewOrmServerDlg.h"
#include "tests/e2e/agent/AgentProcess.h"
#include "tests/support/FileText.h"

using namespace uv;
using namespace uv::e2e;

namespace {

constexpr const char* kConsoleAddress = "127.48.0.90";
constexpr const char* kClientAddress = "127.48.1.90";
constexpr std::string_view kConsoleSettings = "Software\\Quorrel\\USB Vantrel Server\\Settings";

// "résumé-日本.txt" as the bytes every part must carry.
const std::string kName = "r\xC3\xA9sum\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC.txt";

using uv::test::ReadFile;

}  // namespace

class CodePageEndToEndTest : public QObject {
  Q_OBJECT

 private slots:
  void nonAsciiNameReachesListBalloonAndLogAsOneText() {
    // The console's computer.
    TestMachine console("ADMIN", kConsoleAddress);
    const auto log = console.root() / "console.log";
    {
      auto key = console.Key(kConsoleSettings);
      QCOMPARE(key.SetDword("EnableLog", 1), platform::kErrorSuccess);
      QCOMPARE(key.SetString("LogFilePath", log.string()), platform::kErrorSuccess);
    }
    server::ConsoleOptions options;
    options.systemTray = false;
    options.bindAddress = *platform::Ipv4Address::Parse(kConsoleAddress);
    auto version = protocol::OwnVersionText();
    QVERIFY(version.ok());
    server::CNewOrmServerDlg window(console.machine(), version.value(), options);
    QCOMPARE(int(window.OnInitDialog()), int(server::InitOutcome::kRunning));

    // The client computer, its agent reporting to that console.
    TestMachine client("PC17", kClientAddress);
    QCOMPARE(client.Settings().SetString("ServerIP", kConsoleAddress), platform::kErrorSuccess);
    client.Login("alice");
    const pid_t agent = Spawn(client.root(), {"-debug"});
    QVERIFY(agent > 0);
    struct Reaper {
      pid_t pid;
      ~Reaper() {
        ::kill(pid, SIGKILL);
        Wait(pid);
      }
    } reaper{agent};

    auto plugged = platform::Plug(client.machine(), Stick('E'));
    QVERIFY2(plugged.ok(), plugged.error.message.c_str());
    // The watcher holds the volume once it watches it; its change read follows at once.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
          for (const auto& hold : platform::ListHolds(client.machine())) {
            if (hold.volume == plugged.value->volumeName &&
                hold.pid == static_cast<std::uint32_t>(agent)) {
              return true;
            }
          }
          return false;
        }(),
        20000);
    QTest::qWait(200);
    std::ofstream(plugged.value->backing / kName).flush();

    const std::string added = "Added E:\\" + kName;
    const QString shown = QString::fromUtf8(added);
    const auto rowShown = [&] {
      for (int i = 0; i < window.List().RowCount(); ++i) {
        if (window.List().Row(i).message.starts_with(added)) return i;
      }
      return -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(rowShown() >= 0, 20000);

    // The list: the row's bytes and the text the view shows.
    const int row = rowShown();
    QCOMPARE(window.List().Row(row).message.substr(0, added.size()), added);
    const QStringList columns = gui::CUVTListCtrl::ColumnTexts(window.List().Row(row));
    QVERIFY2(columns.last().startsWith(shown), qPrintable(columns.last()));
    QVERIFY(!columns.last().contains(QChar::ReplacementCharacter));

    // The balloon of the same report.
    bool balloonShown = false;
    for (const auto& request : window.Balloons().Requests()) {
      if (request.text.contains(shown)) balloonShown = true;
    }
    QVERIFY(balloonShown);

    // The log file: the name's bytes as the agent sent them.
    QTRY_VERIFY_WITH_TIMEOUT(ReadFile(log).find(added) != std::string::npos, 10000);
    const std::string text = ReadFile(log);
    const std::size_t at = text.find(added);
    QCOMPARE(text.substr(at, added.size()), added);
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  CodePageEndToEndTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "CodePageEndToEndTest.moc"
