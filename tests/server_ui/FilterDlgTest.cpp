// "Apply filters": the sixty boxes, opening from the current words, Save and Cancel.

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "platform/registry/Registry.h"
#include "server/dialogs/filter/CFilterDlg.h"
#include "server/dialogs/settings/ServerSettings.h"
#include "tests/server_ui/UiTestSupport.h"

using uv::server::CFilterDlg;
using uv::server::kCategoryFilters;
using uv::server::Outlet;
using uv::server::ServerSettings;
using uv::server::test::PathIn;
using uv::server::test::TempMachine;

namespace {

std::optional<std::uint32_t> Stored(TempMachine& machine, const char* name) {
  auto reg = machine.machine().OpenRegistry();
  if (!reg.ok()) return std::nullopt;
  auto key = uv::platform::RegKey::Open(**reg, uv::server::kServerSettingsKey);
  if (!key.ok()) return std::nullopt;
  auto v = key->QueryDword(name);
  return v.ok() ? std::optional<std::uint32_t>(*v) : std::nullopt;
}

void Press(CFilterDlg& dlg, int controlId) {
  auto* button = qobject_cast<QPushButton*>(uv::server::test::FindById(&dlg, controlId));
  QVERIFY(button != nullptr);
  QTest::mouseClick(button, Qt::LeftButton);
}

}  // namespace

class FilterDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void layoutAndTexts() {
    TempMachine machine;
    ServerSettings settings;
    CFilterDlg dlg(settings, machine.machine());
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Apply filters"));
    QCOMPARE(dlg.property("dialogId").toInt(), 190);
    const auto labels = dlg.findChildren<QLabel*>();
    QStringList texts;
    for (const QLabel* l : labels) texts << l->text();
    QVERIFY(texts.contains(
        "Filters lets you choose which alerts you wish to recieve. You can also decide whether "
        "the alert should be seen in the log file, balloon pop-up, history window or sent by "
        "email."));
    for (const char* head : {"Alerts", "Log", "Balloon", "Email", "History"}) {
      QVERIFY2(texts.contains(head), head);
    }
    for (const auto& row : kCategoryFilters) {
      QVERIFY(texts.contains(QString::fromLatin1(row.caption.data(), row.caption.size())));
    }
    QCOMPARE(dlg.findChild<QGroupBox*>()->title(), QStringLiteral("Filters"));
    QCOMPARE(dlg.findChildren<QCheckBox*>().size(), 60);
    auto* save = qobject_cast<QPushButton*>(uv::server::test::FindById(&dlg, 1));
    auto* cancel = qobject_cast<QPushButton*>(uv::server::test::FindById(&dlg, 2));
    QVERIFY(save && cancel);
    QCOMPARE(save->text(), QStringLiteral("Save"));
    QCOMPARE(cancel->text(), QStringLiteral("Cancel"));
    // Every box is found by its identifier, in the row and column of its category and outlet.
    for (std::size_t r = 0; r < kCategoryFilters.size(); ++r) {
      for (int o = 0; o < uv::server::kOutletCount; ++o) {
        const int id = kCategoryFilters[r].bits[static_cast<std::size_t>(o)].controlId;
        QCheckBox* box = dlg.Box(id);
        QVERIFY(box != nullptr);
        QCOMPARE(uv::server::test::FindById(&dlg, id), box);
        QCOMPARE(dlg.Box(static_cast<int>(r), static_cast<Outlet>(o)), box);
      }
    }
    QCOMPARE(dlg.Box(1072), dlg.Box(10, Outlet::kLog));  // "Save energy:" Log
    QCOMPARE(dlg.Box(190), dlg.Box(5, Outlet::kEmail));  // "USB device removed:" Email
  }

  void firstUseTicksEveryBox() {
    TempMachine machine;
    ServerSettings settings;  // both words missing: all bits set
    CFilterDlg dlg(settings, machine.machine());
    for (QCheckBox* box : dlg.findChildren<QCheckBox*>()) QVERIFY(box->isChecked());
  }

  void eachBoxShowsItsOwnBit() {
    TempMachine machine;
    for (std::size_t r = 0; r < kCategoryFilters.size(); ++r) {
      for (std::size_t o = 0; o < kCategoryFilters[r].bits.size(); ++o) {
        const auto& bit = kCategoryFilters[r].bits[o];
        ServerSettings settings;
        settings.msgFilterFlags = bit.word == uv::server::FilterWord::kFlags ? bit.mask : 0;
        settings.msgFilterFlagsExtra = bit.word == uv::server::FilterWord::kExtra ? bit.mask : 0;
        CFilterDlg dlg(settings, machine.machine());
        for (QCheckBox* box : dlg.findChildren<QCheckBox*>()) {
          QCOMPARE(box->isChecked(), box == dlg.Box(bit.controlId));
        }
        QCOMPARE(dlg.WordsFromBoxes(),
                 (uv::server::FilterWords{settings.msgFilterFlags, settings.msgFilterFlagsExtra}));
      }
    }
  }

  void savingWithoutRemovalHistory() {
    TempMachine machine;
    ServerSettings settings;
    CFilterDlg dlg(settings, machine.machine());
    dlg.show();
    QTest::mouseClick(dlg.Box(1096), Qt::LeftButton);  // "USB device removed:" History
    QVERIFY(!dlg.Box(1096)->isChecked());
    Press(dlg, 1);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    // Bits 30 and 31 have no box: saving clears them.
    QCOMPARE(settings.msgFilterFlags, 0x3FFFFFFFu);
    QCOMPARE(settings.msgFilterFlagsExtra, 0x3FFFFFFFu & ~0x4000u);
    QCOMPARE(Stored(machine, "MsgFilterFlags"), std::optional<std::uint32_t>(0x3FFFFFFFu));
    QCOMPARE(Stored(machine, "MsgFilterFlagsExtra"),
             std::optional<std::uint32_t>(0x3FFFFFFFu & ~0x4000u));
    // What was saved loads back into the boxes.
    CFilterDlg again(settings, machine.machine());
    QVERIFY(!again.Box(1096)->isChecked());
    QVERIFY(again.Box(1070)->isChecked());
  }

  void savingWithEveryBoxClear() {
    TempMachine machine;
    ServerSettings settings;
    CFilterDlg dlg(settings, machine.machine());
    for (QCheckBox* box : dlg.findChildren<QCheckBox*>()) box->setChecked(false);
    dlg.OnOK();
    QCOMPARE(settings.msgFilterFlags, 0u);
    QCOMPARE(settings.msgFilterFlagsExtra, 0u);
    QCOMPARE(Stored(machine, "MsgFilterFlags"), std::optional<std::uint32_t>(0u));
    QCOMPARE(Stored(machine, "MsgFilterFlagsExtra"), std::optional<std::uint32_t>(0u));
  }

  void cancelChangesNothing() {
    TempMachine machine;
    ServerSettings settings;
    settings.msgFilterFlags = 0x12345;
    CFilterDlg dlg(settings, machine.machine());
    dlg.show();
    for (QCheckBox* box : dlg.findChildren<QCheckBox*>()) box->setChecked(true);
    Press(dlg, 2);
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QCOMPARE(settings.msgFilterFlags, 0x12345u);
    QCOMPARE(settings.msgFilterFlagsExtra, 0xFFFFFFFFu);
    QCOMPARE(Stored(machine, "MsgFilterFlags"), std::nullopt);
  }

  void grab() {
    TempMachine machine;
    ServerSettings settings;
    settings.msgFilterFlagsExtra = 0x3FFFBFFF;
    CFilterDlg dlg(settings, machine.machine());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QString file = PathIn(machine.root(), "filter-dialog.png");
    QVERIFY(dlg.grab().save(file));
    uv::server::test::KeepArtifact(file);
  }
};

QTEST_MAIN(FilterDlgTest)
#include "FilterDlgTest.moc"
