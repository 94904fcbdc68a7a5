// The journal viewer end to end on a temporary machine root: what a journal shows, sorting,
// Refresh, clearing (as administrator and as a user who is not), and the bad journals.

#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QTest>
#include <fstream>

#include "gui/common/MessageBoxes.h"
#include "gui/list/CUVTListCtrl.h"
#include "logview/CLogscopeDlg.h"
#include "logview/JournalReader.h"
#include "platform/machine/Machine.h"
#include "platform/trace/Trace.h"
#include "resources/logview/LogscopeResources.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

extern char** environ;

using uv::gui::CUVTListCtrl;
using uv::gui::EventRow;
using uv::gui::ScopedMessageBoxAnswerer;
using uv::logview::CLogscopeDlg;

namespace {

constexpr const char* kRoleVariable = "UV_LOGSCOPE_TEST_ROLE";
constexpr const char* kRootVariable = "UV_LOGSCOPE_TEST_ROOT";
constexpr uid_t kNobody = 65534;

const char* const kThreeLines =
    "VERSION=1 6 0 0,31/12/2007,23:59:00,PC1\\ann,10.0.0.9,Inserted USB Disk on PC1\\ann\r\n"
    "VERSION=1 6 0 0,01/01/2008,00:00:01,PC2\\bob,10.0.0.10,Mounted drive E:\\ on PC2\\bob\r\n"
    "VERSION=1 6 0 0,15/06/2007,12:00:00,PC3\\cy,10.0.0.2,Removed USB Disk on PC3\\cy\r\n";

class Root {
 public:
  Root() {
    ::chmod(dir_.path().c_str(), 0755);  // an unprivileged child walks in
  }
  const std::filesystem::path& Path() const { return dir_.path(); }
  std::filesystem::path Journal() const {
    uv::platform::Machine machine(Path());
    return uv::logview::JournalPath(machine.SystemDirectory());
  }
  void Write(const std::string& bytes) const { uv::test::WriteFile(Journal(), bytes); }
  std::string Read() const { return uv::test::ReadFile(Journal()); }

 private:
  uv::test::TempDir dir_{"uv-logscope"};
};

QStringList Column(const CUVTListCtrl& list, int column) {
  QStringList texts;
  for (int r = 0; r < list.RowCount(); ++r) texts << CUVTListCtrl::ColumnTexts(list.Row(r))[column];
  return texts;
}

// Starts this binary running one test function with the given environment; returns its exit
// code, or -1 when it could not be started.
int RunChild(const char* function, const std::vector<std::string>& variables) {
  std::vector<std::string> storage = variables;
  for (char** e = environ; *e != nullptr; ++e) storage.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& entry : storage) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string exe = "/proc/self/exe";
  std::string name = function;
  char* argv[] = {exe.data(), name.data(), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool IsChild() {
  return qEnvironmentVariable(kRoleVariable) == QLatin1String("nobody");
}

}  // namespace

class LogscopeTest : public QObject {
  Q_OBJECT

 private slots:
  void linesAreReadAsThePartsSay_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("row");  // date, time, computer, address, category, message
    QTest::newRow("whole") << QByteArray("V,01/02/2008,10:11:12,PC\\u,1.2.3.4,Added E:\\a.txt\r\n")
                           << QStringList{"01/02/2008", "10:11:12", "PC\\u",
                                          "1.2.3.4",    "Added",    "Added E:\\a.txt"};
    QTest::newRow("empty field shifts left")
        << QByteArray("V,01/02/2008,,PC\\u,1.2.3.4,Added x\r\n")
        << QStringList{"01/02/2008", "PC\\u", "1.2.3.4", "Added x", "", ""};
    QTest::newRow("comma cuts the message")
        << QByteArray("V,01/02/2008,10:11:12,PC\\u,1.2.3.4,Renamed a,b to c\r\n")
        << QStringList{"01/02/2008", "10:11:12", "PC\\u", "1.2.3.4", "Renamed", "Renamed a"};
    QTest::newRow("short line") << QByteArray("V,01/02/2008\n")
                                << QStringList{"01/02/2008", "", "", "", "", ""};
  }

  void linesAreReadAsThePartsSay() {
    QFETCH(QByteArray, line);
    QFETCH(QStringList, row);
    const auto parsed = uv::logview::ParseJournalLine(line.toStdString());
    QVERIFY(parsed.has_value());
    QCOMPARE(CUVTListCtrl::ColumnTexts(*parsed), row);
  }

  void aJournalShowsNewestFirstFromItsFirstLineAndSortsByDate() {
    Root root;
    root.Write(kThreeLines);
    uv::platform::Machine machine(root.Path());
    ScopedMessageBoxAnswerer boxes;
    CLogscopeDlg dlg(machine);
    dlg.OnInitDialog();
    QVERIFY(boxes.Texts().empty());
    QCOMPARE(dlg.windowTitle(), QStringLiteral("USB Vantrel! Logscope"));
    // All three, the first line of the file too, the last line on top.
    QCOMPARE(Column(dlg.List(), 0), (QStringList{"15/06/2007", "01/01/2008", "31/12/2007"}));
    QCOMPARE(Column(dlg.List(), 4), (QStringList{"Removed", "Mounted", "Inserted"}));
    dlg.List().OnColumnClick(0);
    QCOMPARE(Column(dlg.List(), 0), (QStringList{"15/06/2007", "31/12/2007", "01/01/2008"}));
    dlg.List().OnColumnClick(0);
    QCOMPARE(Column(dlg.List(), 0), (QStringList{"01/01/2008", "31/12/2007", "15/06/2007"}));

    // Refresh picks up what the agent appended, keeping the order the arrow shows.
    std::ofstream(root.Journal(), std::ios::app)
        << "VERSION=1 6 0 0,02/02/2009,08:00:00,PC4\\di,10.0.0.4,Added E:\\x on PC4\\di\r\n";
    QVERIFY(dlg.Command(uv::logview::res::ID_VIEW_REFRESH) != nullptr);
    QCOMPARE(dlg.Command(uv::logview::res::ID_VIEW_REFRESH)->shortcut(), QKeySequence(Qt::Key_F5));
    dlg.Command(uv::logview::res::ID_VIEW_REFRESH)->trigger();
    QCOMPARE(Column(dlg.List(), 0),
             (QStringList{"02/02/2009", "01/01/2008", "31/12/2007", "15/06/2007"}));
    QVERIFY(boxes.Texts().empty());

    // The window as a user sees it.
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.grab().save(QStringLiteral(LOGSCOPE_GRAB_DIR "/logscope.png"));
  }

  void badJournalsAreShownWithoutHarm() {
    Root root;
    std::string bytes = ",,,,,,\r\n";  // only commas: nothing to show
    bytes += "V,01/01/2008,00:00:00,PC\\u,1.1.1.1," + std::string(5000, 'x') + "\r\n";
    bytes += std::string("V,02/01/2008,00:00:00,PC\\u,1.1.1.1,bin\0\xff\x01\xfe end\r\n", 49);
    bytes += "\r\n\n";
    std::string utf8 = "V,03/01/2008,00:00:00,PC\\u,1.1.1.1,";
    while (utf8.size() < 3000) utf8 += "\xc3\xa9";  // e acute, across piece boundaries
    bytes += utf8 + "\r\nV,04/01/2008,00:00:00,PC\\u,1.1.1.1,no line end";
    root.Write(bytes);
    uv::platform::Machine machine(root.Path());
    ScopedMessageBoxAnswerer boxes;
    CLogscopeDlg dlg(machine);
    dlg.OnInitDialog();
    QVERIFY(boxes.Texts().empty());
    const QStringList dates = Column(dlg.List(), 0);
    QCOMPARE(dates.front(), QStringLiteral("04/01/2008"));  // the last line, without its end
    QVERIFY(dates.contains("01/01/2008") && dates.contains("02/01/2008") &&
            dates.contains("03/01/2008"));
    // Long lines come in pieces of 1023 bytes, each a row of its own; no piece splits a
    // character, so every piece of the accented line is whole text.
    for (int r = 0; r < dlg.List().RowCount(); ++r) {
      const EventRow& row = dlg.List().Row(r);
      QVERIFY(row.date.size() + row.time.size() + row.message.size() <= 1023);
      if (row.message.find('\xc3') != std::string::npos || row.date.find('\xa9') == 0) {
        QVERIFY(!QString::fromUtf8(row.date + row.message).contains(QChar::ReplacementCharacter));
      }
    }
  }

  void aJournalAppendedToWhileReadIsReadToWhereItStoodWithWholeLines() {
    Root root;
    // The agent is in the middle of writing the third line when the reading begins.
    root.Write(std::string(kThreeLines) + "VERSION=1 6 0 0,09/09/2009,09:09");
    auto reader = uv::logview::JournalReader::Open(root.Journal());
    QVERIFY(reader.has_value());
    std::ofstream(root.Journal(), std::ios::app)
        << ":09,PC9\\zed,10.0.0.99,Added E:\\late on PC9\\zed\r\n"
        << "VERSION=1 6 0 0,10/10/2010,10:10:10,PC9\\zed,10.0.0.99,Added after\r\n";
    std::vector<EventRow> rows;
    reader->ReadRows([&](EventRow&& row) { rows.push_back(std::move(row)); });
    QCOMPARE(rows.size(), std::size_t{4});
    QCOMPARE(rows.back().time, std::string("09:09:09"));
    QCOMPARE(rows.back().message, std::string("Added E:\\late on PC9\\zed"));
  }

  void aMissingJournalIsSaidAndTheWindowGoesOn() {
    Root root;
    uv::platform::Machine machine(root.Path());
    ScopedMessageBoxAnswerer boxes;
    CLogscopeDlg dlg(machine);
    dlg.OnInitDialog();
    QCOMPARE(boxes.Texts(), std::vector<QString>{QStringLiteral("Unable to open the log file")});
    QCOMPARE(boxes.Records().front().caption, QStringLiteral("USB Vantrel! Logscope"));
    QCOMPARE(boxes.Records().front().flags, uv::gui::MB_OK | uv::gui::MB_ICONEXCLAMATION);
    QCOMPARE(dlg.List().RowCount(), 0);
    dlg.OnClearFile();
    QCOMPARE(boxes.Texts().size(), std::size_t{2});
    QCOMPARE(boxes.Texts().back(), QStringLiteral("Unable to open the log file"));
  }

  void anAdministratorClearsTheJournal() {
    Root root;
    root.Write(kThreeLines);
    uv::platform::Machine machine(root.Path());
    ScopedMessageBoxAnswerer boxes;
    std::vector<std::string> traces;
    uv::platform::ScopedTraceSink sink([&](std::string_view t) { traces.emplace_back(t); });
    CLogscopeDlg dlg(machine);
    dlg.OnInitDialog();
    dlg.Command(uv::logview::res::ID_FILE_CLEARFILE)->trigger();
    QCOMPARE(boxes.Texts(),
             std::vector<QString>{QStringLiteral("Log file is cleared successfully")});
    QCOMPARE(boxes.Records().front().flags, uv::gui::MB_OK);
    QCOMPARE(dlg.List().RowCount(), 0);
    QCOMPARE(root.Read(), std::string());
    QVERIFY(std::find(traces.begin(), traces.end(),
                      "Current User is having Administrator rights") != traces.end());
    // Now empty: cleared again without a message.
    dlg.OnClearFile();
    QCOMPARE(boxes.Texts().size(), std::size_t{1});
  }

  void aUserWhoIsNotAnAdministratorLeavesFileAndListAsTheyWere() {
    if (IsChild()) {
      // Unprivileged from here on; the journal itself is writable by anyone, so only the
      // administrator check keeps it.
      QCOMPARE(::setgroups(0, nullptr), 0);
      QCOMPARE(::setgid(kNobody), 0);
      QCOMPARE(::setuid(kNobody), 0);
      uv::platform::Machine machine(qEnvironmentVariable(kRootVariable).toStdString());
      ScopedMessageBoxAnswerer boxes;
      CLogscopeDlg dlg(machine);
      dlg.OnInitDialog();
      QCOMPARE(dlg.List().RowCount(), 3);
      dlg.OnClearFile();
      QCOMPARE(boxes.Texts(), std::vector<QString>{QStringLiteral(
                                  "Administrator privileges are required to clear the log file.")});
      QCOMPARE(dlg.List().RowCount(), 3);
      return;
    }
    if (::geteuid() != 0) QSKIP("needs root to start a process as nobody");
    Root root;
    uv::platform::Machine machine(root.Path());
    QVERIFY(machine.OpenRegistry());  // a root-owned registry: root administers this machine
    root.Write(kThreeLines);
    ::chmod(root.Journal().c_str(), 0666);
    for (auto dir = root.Journal().parent_path(); dir != root.Path(); dir = dir.parent_path()) {
      ::chmod(dir.c_str(), 0755);
    }
    const int code = RunChild("aUserWhoIsNotAnAdministratorLeavesFileAndListAsTheyWere",
                              {std::string(kRoleVariable) + "=nobody", "QT_QPA_PLATFORM=offscreen",
                               std::string(kRootVariable) + "=" + root.Path().string()});
    QCOMPARE(code, 0);
    QCOMPARE(root.Read(), std::string(kThreeLines));
  }

  void aJournalThatCannotBeTruncatedIsSaidAndKept() {
    if (IsChild()) {
      ClearAsNobody("Unable to clear the log file");
      return;
    }
    if (::geteuid() != 0) QSKIP("needs root to start a process as nobody");
    Root root;
    uv::platform::Machine machine(root.Path());
    QVERIFY(machine.OpenRegistry());
    // nobody administers this machine (may write its registry and take the lock), but the
    // journal is root's and only readable to others.
    QCOMPARE(::chown(machine.RegistryFile().c_str(), kNobody, kNobody), 0);
    QCOMPARE(::chown(machine.RunDirectory().c_str(), kNobody, kNobody), 0);
    root.Write(kThreeLines);
    ::chmod(root.Journal().c_str(), 0644);
    for (auto dir = root.Journal().parent_path(); dir != root.Path(); dir = dir.parent_path()) {
      ::chmod(dir.c_str(), 0755);
    }
    const int code = RunChild("aJournalThatCannotBeTruncatedIsSaidAndKept",
                              {std::string(kRoleVariable) + "=nobody", "QT_QPA_PLATFORM=offscreen",
                               std::string(kRootVariable) + "=" + root.Path().string()});
    QCOMPARE(code, 0);
    QCOMPARE(root.Read(), std::string(kThreeLines));
  }

 private:
  // In the child: gives up root, loads the journal, clears it, and expects `box` with the list
  // as it was.
  static void ClearAsNobody(const char* box) {
    QCOMPARE(::setgroups(0, nullptr), 0);
    QCOMPARE(::setgid(kNobody), 0);
    QCOMPARE(::setuid(kNobody), 0);
    uv::platform::Machine machine(qEnvironmentVariable(kRootVariable).toStdString());
    ScopedMessageBoxAnswerer boxes;
    CLogscopeDlg dlg(machine);
    dlg.OnInitDialog();
    QCOMPARE(dlg.List().RowCount(), 3);
    dlg.OnClearFile();
    QCOMPARE(boxes.Texts(), std::vector<QString>{QString::fromLatin1(box)});
    QCOMPARE(boxes.Records().front().flags, uv::gui::MB_OK | uv::gui::MB_ICONEXCLAMATION);
    QCOMPARE(dlg.List().RowCount(), 3);
  }
};

QTEST_MAIN(LogscopeTest)
#include "LogscopeTest.moc"
