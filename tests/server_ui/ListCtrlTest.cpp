// The event list: rows at the top, column sorting with the shared direction, the header arrow,
// selection, and printing the list to PDF files.

#include <QFile>
#include <QImage>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QtTest>

#include "gui/common/MessageBoxes.h"
#include "gui/list/CListCtrlPrint.h"
#include "gui/list/CUVTListCtrl.h"
#include "tests/server_ui/UiTestSupport.h"

using uv::server::CListCtrlPrint;
using uv::server::CSortHeaderCtrl;
using uv::server::CUVTListCtrl;
using uv::server::EventRow;
using uv::server::ListPrintRunner;
using uv::server::PrintOutcome;

Q_DECLARE_METATYPE(std::vector<int>)

namespace {

EventRow Row(const char* date, const char* time, const char* who, const char* ip, const char* msg,
             const char* category) {
  return EventRow{date, time, who, ip, msg, category};
}

// Five rows inserted oldest first; the list shows them newest first.
void Fill(CUVTListCtrl& list) {
  list.InsertRow(Row("31/12/2007", "23:59:59", "PC1\\ann", "10.0.0.9", "Inserted a", "Inserted"));
  list.InsertRow(Row("01/01/2008", "00:00:01", "pc2\\bob", "10.0.0.10", "removed b", "Removed"));
  list.InsertRow(Row("15/06/2007", "12:00:00", "PC3\\cid", "10.0.0.1", "Added c", "Added"));
  list.InsertRow(Row("01/02/2008", "08:30:00", "Pc4\\dan", "192.168.0.2", "Mounted d", "Mounted"));
  list.InsertRow(
      Row("02/01/2008", "09:15:00", "PC5\\eve", "10.0.0.2", "Save-Energy e", "Save-Energy"));
}

QStringList Column(const CUVTListCtrl& list, int column) {
  QStringList out;
  for (int i = 0; i < list.RowCount(); ++i) {
    out << QString::fromStdString(uv::server::ColumnText(list.Row(i), column));
  }
  return out;
}

void ClickHeading(CUVTListCtrl& list, int column) {
  QHeaderView* header = list.header();
  const QPoint at(header->sectionViewportPosition(column) + 5, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

EventRow Numbered(int i, const std::string& message) {
  char marker[16];
  std::snprintf(marker, sizeof marker, "ROW%04d", i);
  return EventRow{"09/12/2026", "10:00:00", "PC\\user", "10.0.0.1", marker + message, "Added"};
}

// Texts that take the comparison's special roads: case, bytes of UTF-8 (accents), equal texts,
// the empty text, digits, ignored characters, texts ending right at or just past eight and
// sixteen weights, and long shared beginnings that differ only far in.
const std::vector<std::string>& TrickyTexts() {
  static const std::vector<std::string> kTexts = {
      "abc",
      "ABC",
      "Abc",
      "aBc",
      "caf\xc3\xa9",
      "Caf\xc3\xa9",
      "cafe",
      "\xc3\xa9t\xc3\xa9",
      "\xe9t\xe9",
      "zebra",
      "same",
      "same",
      "same",
      "",
      "",
      "10",
      "9",
      "100",
      "file 2",
      "file 10",
      "co-op",
      "coop",
      "co'op",
      "-",
      "12345678",
      "1234567812345678",
      "12345678123456781",
      "1234567812345678-",
      "12345678-12345678",
      "Inserted E:\\Projects\\Report 12\\chapter-3.docx on PC-01\\ann",
      "Inserted E:\\Projects\\Report 12\\chapter-3.docx on PC-01\\Ann",
      "inserted E:\\Projects\\Report 12\\chapter-3.docx on PC-01\\ann",
      "Inserted E:\\Projects\\Report 12\\chapter-3.docx on PC-01\\ann ",
      "Inserted E:\\Projects\\Report 12\\chapter-3.docx on PC-0-1\\ann",
      "Inserted E:\\Projects\\Report 12\\chapter-3.docx on PC-01\\ann",
  };
  return kTexts;
}

const std::vector<std::string>& TrickyDates() {
  static const std::vector<std::string> kDates = {"31/12/2007", "01/01/2008", "1/1/2008",
                                                  "",           " 5/ 6/2001", "01/01/999",
                                                  "xx/yy/zzzz", "01/01/2008", "02/03/2008"};
  return kDates;
}

// Row i of the tricky table: every text column takes a different text of the table, so equal
// texts in one column come with different rows (which shows whether ties keep their order).
EventRow TrickyRow(std::size_t i) {
  const auto& t = TrickyTexts();
  const auto& d = TrickyDates();
  const auto at = [&](std::size_t k) { return t[(i * k + k) % t.size()]; };
  return EventRow{d[i % d.size()], at(1), at(2), at(3), t[i % t.size()], at(5)};
}

std::vector<CListCtrlPrint::Heading> Headings() {
  std::vector<CListCtrlPrint::Heading> h;
  for (const QString& text : uv::server::ListHeadings()) h.push_back({text, Qt::AlignLeft});
  return h;
}

}  // namespace

class ListCtrlTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { CUVTListCtrl::SetSortAscending(true); }

  void newestRowOnTopAndViewsLearnInBatches() {
    CUVTListCtrl list;
    Fill(list);
    QCOMPARE(list.RowCount(), 5);
    QCOMPARE(Column(list, 5).first(), QStringLiteral("Save-Energy e"));
    // Views learn of the rows a little later, all at once.
    QCOMPARE(list.model()->rowCount(), 0);
    QSignalSpy inserted(list.model(), &QAbstractItemModel::rowsInserted);
    QTRY_COMPARE(list.model()->rowCount(), 5);
    QCOMPARE(inserted.count(), 1);
    // Columns show category before message.
    QCOMPARE(list.model()->index(0, 4).data().toString(), QStringLiteral("Save-Energy"));
    QCOMPARE(list.model()->index(0, 5).data().toString(), QStringLiteral("Save-Energy e"));
    QCOMPARE(list.model()->headerData(2, Qt::Horizontal).toString(),
             QStringLiteral("Computer Name \\ User"));
    QCOMPARE(list.columnWidth(5), 370);
    list.DeleteAllItems();
    QCOMPARE(list.RowCount(), 0);
    QCOMPARE(list.model()->rowCount(), 0);
  }

  // A producer may hand the list a row's texts as views in display order instead of a record;
  // the list keeps the same row either way, empty and long texts included.
  void rowsFromViewsAreTheRowsOfTheirRecords() {
    const std::vector<EventRow> rows = {
        Row("31/12/2007", "23:59:59", "PC1\\ann", "10.0.0.9", "Inserted a", "Inserted"),
        Row("", "", "", "", "", ""),
        Row("d", "", "c", "", "Offline replay", "Offline"),
        EventRow{"01/01/2008", "00:00:01", "pc2\\bob", "10.0.0.10", std::string(1000, 'm'), "x"},
    };
    CUVTListCtrl fromRecords;
    CUVTListCtrl fromViews;
    for (const EventRow& row : rows) {
      fromRecords.InsertRow(row);
      fromViews.Model().InsertTextsAtTop(
          {row.date, row.time, row.computerUser, row.address, row.category, row.message});
    }
    QCOMPARE(fromViews.RowCount(), static_cast<int>(rows.size()));
    for (int i = 0; i < fromViews.RowCount(); ++i) {
      QCOMPARE(fromViews.Row(i), fromRecords.Row(i));
      QCOMPARE(fromViews.Row(i), rows[rows.size() - 1 - static_cast<std::size_t>(i)]);
    }
    QCOMPARE(fromViews.Model().RowText(0, 4), std::string_view("x"));
  }

  void columnClicks_data() {
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<int>("keyColumn");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("date ascending: chronological across years")
        << QList<int>{0} << 0
        << QStringList{"15/06/2007", "31/12/2007", "01/01/2008", "02/01/2008", "01/02/2008"};
    QTest::newRow("same heading twice: reversed")
        << QList<int>{0, 0} << 0
        << QStringList{"01/02/2008", "02/01/2008", "01/01/2008", "31/12/2007", "15/06/2007"};
    QTest::newRow("addresses as text")
        << QList<int>{3} << 3
        << QStringList{"10.0.0.1", "10.0.0.10", "10.0.0.2", "10.0.0.9", "192.168.0.2"};
    QTest::newRow("another heading after a descending one sorts ascending")
        << QList<int>{0, 0, 3} << 3
        << QStringList{"10.0.0.1", "10.0.0.10", "10.0.0.2", "10.0.0.9", "192.168.0.2"};
    QTest::newRow("computer names without regard to case")
        << QList<int>{2} << 2
        << QStringList{"PC1\\ann", "pc2\\bob", "PC3\\cid", "Pc4\\dan", "PC5\\eve"};
    QTest::newRow("heading 4 is the category")
        << QList<int>{4} << 4
        << QStringList{"Added", "Inserted", "Mounted", "Removed", "Save-Energy"};
    QTest::newRow("heading 5 is the message, descending")
        << QList<int>{5, 5} << 5
        << QStringList{"Save-Energy e", "removed b", "Mounted d", "Inserted a", "Added c"};
    QTest::newRow("time") << QList<int>{1} << 1
                          << QStringList{"00:00:01", "08:30:00", "09:15:00", "12:00:00",
                                         "23:59:59"};
  }

  void columnClicks() {
    QFETCH(QList<int>, clicks);
    QFETCH(int, keyColumn);
    QFETCH(QStringList, expected);
    CUVTListCtrl list;
    Fill(list);
    list.resize(900, 300);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    for (int column : clicks) ClickHeading(list, column);
    QCOMPARE(Column(list, keyColumn), expected);
    QCOMPARE(list.SortColumn(), clicks.last());
    QCOMPARE(list.SortHeader().SortColumn(), clicks.last());
    QCOMPARE(list.SortHeader().SortAscending(), CUVTListCtrl::SortAscending());
    // The view shows the same order.
    for (int r = 0; r < expected.size(); ++r) {
      QCOMPARE(list.model()->index(r, keyColumn).data().toString(), expected[r]);
    }
  }

  void directionIsSharedByAllLists() {
    CUVTListCtrl a;
    CUVTListCtrl b;
    Fill(a);
    Fill(b);
    a.OnColumnClick(0);  // ascending
    a.OnColumnClick(0);  // descending
    b.OnColumnClick(3);  // a new column for b: ascending, for every list
    a.OnColumnClick(0);  // flips the shared direction: descending again
    QCOMPARE(CUVTListCtrl::SortAscending(), false);
    QCOMPARE(Column(a, 0).first(), QStringLiteral("01/02/2008"));
  }

  void rowsArriveOnTopOfASortedList() {
    CUVTListCtrl list;
    Fill(list);
    list.OnColumnClick(0);
    list.InsertRow(Row("01/01/2000", "00:00:00", "X\\x", "1.1.1.1", "newest", "Started"));
    QCOMPARE(Column(list, 5).first(), QStringLiteral("newest"));
    QCOMPARE(Column(list, 0).mid(1),
             (QStringList{"15/06/2007", "31/12/2007", "01/01/2008", "02/01/2008", "01/02/2008"}));
  }

  void selectionFollowsItsRows() {
    CUVTListCtrl list;
    Fill(list);
    list.Publish();
    // Select "Inserted a" and "Mounted d".
    const QStringList before = Column(list, 5);
    list.SelectRow(static_cast<int>(before.indexOf("Inserted a")));
    list.SelectRow(static_cast<int>(before.indexOf("Mounted d")));
    list.OnColumnClick(5);
    std::vector<int> selected = list.SelectedRows();
    QCOMPARE(selected.size(), std::size_t{2});
    QCOMPARE(QString::fromStdString(list.Row(selected[0]).message), QStringLiteral("Inserted a"));
    QCOMPARE(QString::fromStdString(list.Row(selected[1]).message), QStringLiteral("Mounted d"));
    // A row that arrives meanwhile moves the selection down without being selected itself.
    list.InsertRow(Row("01/01/2000", "00:00:00", "X\\x", "1.1.1.1", "newest", "Started"));
    selected = list.SelectedRows();
    QCOMPARE(QString::fromStdString(list.Row(selected[0]).message), QStringLiteral("Inserted a"));
    list.Publish();
    selected = list.SelectedRows();
    QCOMPARE(QString::fromStdString(list.Row(selected[0]).message), QStringLiteral("Inserted a"));
    QVERIFY(list.HasSelection());
    list.SelectAllRows();
    QCOMPARE(list.SelectedRows().size(), std::size_t{6});
    list.ClearSelectedRows();
    QVERIFY(!list.HasSelection());
    QCOMPARE(CUVTListCtrl::ColumnTexts(list.Row(0)),
             (QStringList{"01/01/2000", "00:00:00", "X\\x", "1.1.1.1", "Started", "newest"}));
  }

  void everyColumnSortsAsTheComparisonDoes() {
    // The list's own sort (keys taken once per row) against a stable sort with the comparison
    // itself, both ways round, for every column, from the order the previous sort left.
    CUVTListCtrl list;
    std::vector<EventRow> expected;
    for (std::size_t i = 0; i < 2 * TrickyTexts().size(); ++i) {
      list.InsertRow(TrickyRow(i));
      expected.insert(expected.begin(), TrickyRow(i));
    }
    for (int column = 0; column < uv::server::kListColumnCount; ++column) {
      for (bool ascending : {true, false}) {
        std::stable_sort(expected.begin(), expected.end(),
                         [&](const EventRow& a, const EventRow& b) {
                           const int c = uv::server::CompareRows(a, b, column);
                           return ascending ? c < 0 : c > 0;
                         });
        list.OnColumnClick(column);
        QCOMPARE(CUVTListCtrl::SortAscending(), ascending);
        QCOMPARE(list.RowCount(), static_cast<int>(expected.size()));
        for (int r = 0; r < list.RowCount(); ++r) {
          if (!(list.Row(r) == expected[static_cast<std::size_t>(r)])) {
            QFAIL(qPrintable(
                QStringLiteral("column %1 %2, row %3: \"%4\"")
                    .arg(column)
                    .arg(ascending ? "ascending" : "descending")
                    .arg(r)
                    .arg(QString::fromStdString(uv::server::ColumnText(list.Row(r), column)))));
          }
        }
      }
    }
  }

  void boundDropsTheOldestRowsAndKeepsSelectionAndOrder() {
    CUVTListCtrl list;
    list.Model().SetMaxRows(6);
    // Messages that sort the rows out of their order of arrival: ROW0000 "f", ROW0001 "c", ...
    const std::string letters = "fcadbe";
    for (int i = 0; i < 8; ++i) {
      EventRow row = Numbered(i, "");
      row.category = std::string(1, letters[static_cast<std::size_t>(i) % letters.size()]);
      list.InsertRow(row);
    }
    list.Publish();
    // The two oldest left; the newest is on top.
    QCOMPARE(list.RowCount(), 6);
    QCOMPARE(list.model()->rowCount(), 6);
    QCOMPARE(Column(list, 5),
             (QStringList{"ROW0007", "ROW0006", "ROW0005", "ROW0004", "ROW0003", "ROW0002"}));
    // Sorted by category, the oldest rows lie in the middle of the list.
    list.OnColumnClick(4);
    QCOMPARE(Column(list, 4), (QStringList{"a", "b", "c", "d", "e", "f"}));
    QCOMPARE(Column(list, 5),
             (QStringList{"ROW0002", "ROW0004", "ROW0007", "ROW0003", "ROW0005", "ROW0006"}));
    list.SelectRow(1);                                               // ROW0004
    list.SelectRow(2);                                               // ROW0007
    const QPersistentModelIndex keeps = list.model()->index(5, 5);   // ROW0006
    const QPersistentModelIndex leaves = list.model()->index(3, 5);  // ROW0003
    QSignalSpy removed(list.model(), &QAbstractItemModel::rowsRemoved);
    // Three new rows: ROW0002, ROW0003 and ROW0004 leave, from three places of the list.
    for (int i = 8; i < 11; ++i) list.InsertRow(Numbered(i, ""));
    list.Publish();
    QCOMPARE(Column(list, 5),
             (QStringList{"ROW0010", "ROW0009", "ROW0008", "ROW0007", "ROW0005", "ROW0006"}));
    QCOMPARE(removed.count(), 2);  // ROW0002 and ROW0004 lie together, ROW0003 apart
    // The view shows what the list holds; the selection and indexes follow their rows.
    QCOMPARE(list.model()->rowCount(), 6);
    for (int r = 0; r < 6; ++r) {
      QCOMPARE(list.model()->index(r, 5).data().toString(), Column(list, 5)[r]);
    }
    const std::vector<int> selected = list.SelectedRows();
    QCOMPARE(selected.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(list.Row(selected[0]).message), QStringLiteral("ROW0007"));
    QVERIFY(keeps.isValid());
    QCOMPARE(keeps.data().toString(), QStringLiteral("ROW0006"));
    QVERIFY(!leaves.isValid());
    // Once the sorted rows are gone the list is in order of arrival again.
    for (int i = 11; i < 20; ++i) list.InsertRow(Numbered(i, ""));
    list.Publish();
    QCOMPARE(Column(list, 5),
             (QStringList{"ROW0019", "ROW0018", "ROW0017", "ROW0016", "ROW0015", "ROW0014"}));
    // Sorting again and printing see only the rows kept.
    list.OnColumnClick(5);
    QCOMPARE(list.Model().Snapshot().front().message, std::string("ROW0014"));
    QCOMPARE(list.Model().Snapshot().size(), std::size_t{6});
  }

  void boundHoldsInABurstAndZeroKeepsEveryRow() {
    CUVTListCtrl list;
    list.Model().SetMaxRows(3);
    int most = 0;
    for (int i = 0; i < 50; ++i) {
      list.InsertRow(Numbered(i, ""));
      most = std::max(most, list.RowCount());
    }
    QVERIFY(most <= 6);  // never twice the bound, even before the views learn of the rows
    QTRY_COMPARE(list.RowCount(), 3);
    QCOMPARE(Column(list, 5), (QStringList{"ROW0049", "ROW0048", "ROW0047"}));
    QCOMPARE(list.model()->rowCount(), 3);
    // Lowering the bound takes effect at the next batch; 0 keeps every row from then on.
    list.Model().SetMaxRows(1);
    QTRY_COMPARE(list.RowCount(), 1);
    QCOMPARE(Column(list, 5), QStringList{"ROW0049"});
    list.Model().SetMaxRows(0);
    for (int i = 50; i < 60; ++i) list.InsertRow(Numbered(i, ""));
    list.Publish();
    QCOMPARE(list.RowCount(), 11);
    list.DeleteAllItems();
    list.InsertRow(Numbered(60, ""));
    QCOMPARE(Column(list, 5), QStringList{"ROW0060"});
  }

  void arrowGeometry_data() {
    QTest::addColumn<QRect>("item");
    QTest::addColumn<bool>("ascending");
    QTest::addColumn<QPolygon>("expected");
    // o = 21 / 3 = 7; right and bottom are the edges just outside the item.
    QTest::newRow("ascending points up")
        << QRect(0, 0, 100, 21) << true << QPolygon({{86, 8}, {91, 12}, {81, 12}});
    QTest::newRow("descending points down")
        << QRect(0, 0, 100, 21) << false << QPolygon({{81, 8}, {91, 8}, {86, 12}});
    QTest::newRow("an item further right")
        << QRect(200, 0, 90, 30) << true << QPolygon({{270, 11}, {278, 18}, {262, 18}});
  }

  void arrowGeometry() {
    QFETCH(QRect, item);
    QFETCH(bool, ascending);
    QFETCH(QPolygon, expected);
    QCOMPARE(CSortHeaderCtrl::ArrowPolygon(item, ascending), expected);
  }

  void textLeavesRoomForTheArrow() {
    const QRect item(0, 0, 120, 21);
    QCOMPARE(CSortHeaderCtrl::TextRect(item, false), QRect(7, 0, 106, 21));
    QCOMPARE(CSortHeaderCtrl::TextRect(item, true), QRect(7, 0, 85, 21));
  }

  void headerDrawsTheArrowOnlyInTheSortColumn() {
    CUVTListCtrl list;
    Fill(list);
    list.resize(900, 300);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    list.OnColumnClick(2);
    list.OnColumnClick(4);
    CSortHeaderCtrl& header = list.SortHeader();
    QVERIFY(header.IsOwnerDrawn(2));  // stays owner-drawn, now without arrow
    QVERIFY(header.IsOwnerDrawn(4));
    QVERIFY(!header.IsOwnerDrawn(0));
    const QImage image = header.grab().toImage();
    const auto blackAtArrow = [&](int column) {
      const QRect item(header.sectionViewportPosition(column), 0, header.sectionSize(column),
                       header.height());
      const QPoint centre = CSortHeaderCtrl::ArrowPolygon(item, true).boundingRect().center();
      return image.pixelColor(centre * image.devicePixelRatio()) == QColor(Qt::black);
    };
    QVERIFY(blackAtArrow(4));
    QVERIFY(!blackAtArrow(2));
    QVERIFY(!blackAtArrow(0));
    uv::test::TempDir dir;
    const QString file = uv::server::test::PathIn(dir.path(), "event-list.png");
    QVERIFY(list.grab().save(file));
    uv::server::test::KeepArtifact(file);
  }

  // --- printing --------------------------------------------------------------------------------

  void footerFormat() {
    using uv::server::FormatPageFooter;
    QCOMPARE(FormatPageFooter("Page %d of %d", 3, 12), QStringLiteral("Page 3 of 12"));
    QCOMPARE(FormatPageFooter("%d%% done (%d) %d %s", 1, 2), QStringLiteral("1% done (2) %d %s"));
    QCOMPARE(FormatPageFooter("no numbers", 1, 2), QStringLiteral("no numbers"));
    QCOMPARE(FormatPageFooter("trailing %", 1, 2), QStringLiteral("trailing %"));
  }

  void emptyListPrintsNothing() {
    uv::test::TempDir dir;
    CUVTListCtrl list;
    CListCtrlPrint job;
    job.SetList(&list);
    job.SetOutputFile(uv::server::test::PathIn(dir.path(), "empty.pdf"));
    uv::server::ScopedMessageBoxAnswerer boxes;
    QCOMPARE(job.Print(), PrintOutcome::kNothingToPrint);
    QVERIFY(!QFile::exists(uv::server::test::PathIn(dir.path(), "empty.pdf")));
    QVERIFY(boxes.Texts().empty());
    CListCtrlPrint noColumns;
    noColumns.SetRows({Numbered(1, "")}, {});
    noColumns.SetOutputFile(uv::server::test::PathIn(dir.path(), "nocolumns.pdf"));
    QCOMPARE(noColumns.Print(), PrintOutcome::kNothingToPrint);
  }

  void printsPagesWithTitleDateHeadingsAndFooter() {
    uv::test::TempDir dir;
    CUVTListCtrl list;
    for (int i = 0; i < 300; ++i) list.InsertRow(Numbered(i, " Added E:\\file.txt on PC"));
    CListCtrlPrint job;
    job.SetTitle("USB Vantrel!");
    job.SetList(&list);
    const QString pdf = uv::server::test::PathIn(dir.path(), "report.pdf");
    job.SetOutputFile(pdf);
    QCOMPARE(job.Print(), PrintOutcome::kPrinted);
    uv::server::test::KeepArtifact(pdf);
    const int pages = job.LastPage();
    QVERIFY(pages >= 2);
    QCOMPARE(uv::server::test::PdfPages(pdf), pages);
    const QString first = uv::server::test::PdfText(pdf, 1);
    QVERIFY(first.contains("USB Vantrel!"));
    QVERIFY(
        first.contains(QRegularExpression(R"(Report Date: \d\d/\d\d/\d\d\d\d \d\d:\d\d:\d\d)")));
    for (const QString& heading : uv::server::ListHeadings())
      QVERIFY2(first.contains(heading), qPrintable(heading));
    QVERIFY(first.contains(QStringLiteral("Page 1 of %1").arg(pages)));
    QVERIFY(
        uv::server::test::PdfText(pdf, pages).contains(QStringLiteral("Page %1 of %1").arg(pages)));
    // The list's top row is printed first.
    QVERIFY(first.indexOf("ROW0299") < first.indexOf("ROW0298"));
  }

  void everyRowIsPrintedOnceAndAFullPagePushesTheNextRowOn() {
    uv::test::TempDir dir;
    std::vector<EventRow> rows;
    // Short rows with long ones among them: the long messages wrap over several lines.
    const std::string words =
        " Added E:\\Projects\\Quarterly report for the board of directors\\appendix with "
        "many tables and figures that do not fit one line.docx on PC-017\\someone";
    for (int i = 0; i < 150; ++i) rows.push_back(Numbered(i, i % 3 == 0 ? words : " short"));
    CListCtrlPrint job;
    job.SetRows(rows, Headings());
    const QString pdf = uv::server::test::PathIn(dir.path(), "wrap.pdf");
    job.SetOutputFile(pdf);
    QCOMPARE(job.Print(), PrintOutcome::kPrinted);
    uv::server::test::KeepArtifact(pdf);
    const int pages = job.LastPage();
    QVERIFY(pages >= 2);
    QCOMPARE(uv::server::test::PdfPages(pdf), pages);

    // Every row lands on the page the layout gave it, exactly once.
    int row = 0;
    for (int page = 1; page <= pages; ++page) {
      const QString text = uv::server::test::PdfText(pdf, page);
      const int onPage = job.RowsPerPage()[static_cast<std::size_t>(page - 1)];
      QVERIFY(onPage > 0);
      for (int k = 0; k < onPage; ++k, ++row) {
        const QString marker = QStringLiteral("ROW%1").arg(row, 4, 10, QLatin1Char('0'));
        QVERIFY2(text.count(marker) == 1, qPrintable(marker + " on page " + QString::number(page)));
      }
      // The next row did not fit here: it is not on this page.
      if (page < pages) {
        QVERIFY(!text.contains(QStringLiteral("ROW%1").arg(row, 4, 10, QLatin1Char('0'))));
      }
    }
    QCOMPARE(row, 150);

    // The same number of short rows needs fewer pages: wrapping pushed rows down.
    std::vector<EventRow> shortRows;
    for (int i = 0; i < 150; ++i) shortRows.push_back(Numbered(i, " short"));
    CListCtrlPrint shortJob;
    shortJob.SetRows(shortRows, Headings());
    shortJob.SetOutputFile(uv::server::test::PathIn(dir.path(), "short.pdf"));
    QCOMPARE(shortJob.Print(), PrintOutcome::kPrinted);
    QVERIFY(shortJob.RowsPerPage()[0] > job.RowsPerPage()[0]);

    // A wrapped message keeps its words, over several lines.
    const QString all = uv::server::test::PdfText(pdf);
    QVERIFY(all.contains("Quarterly"));
    QVERIFY(all.contains("tables"));
    const qsizetype at = all.indexOf("ROW0000");
    QVERIFY(all.indexOf('\n', at) < all.indexOf("tables", at));
  }

  void aRowTallerThanAPageStillEnds() {
    uv::test::TempDir dir;
    std::string huge;
    for (int i = 0; i < 4000; ++i) huge += " word";
    CListCtrlPrint job;
    job.SetRows({Numbered(0, huge), Numbered(1, " after")}, Headings());
    job.SetOutputFile(uv::server::test::PathIn(dir.path(), "huge.pdf"));
    QCOMPARE(job.Print(), PrintOutcome::kPrinted);
    QCOMPARE(job.LastPage(), 2);
    QVERIFY(uv::server::test::PdfText(uv::server::test::PathIn(dir.path(), "huge.pdf"), 2)
                .contains("ROW0001"));
  }

  void aDocumentThatCannotStartSaysSo() {
    CUVTListCtrl list;
    Fill(list);
    ListPrintRunner runner(QStringLiteral("USB Vantrel! Server"));
    runner.SetOutputFile("/nonexistent-dir/for/sure/report.pdf");
    uv::server::ScopedMessageBoxAnswerer boxes;
    QSignalSpy finished(&runner, &ListPrintRunner::finished);
    QVERIFY(runner.Start(list, nullptr));
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().first().value<PrintOutcome>(), PrintOutcome::kStartFailed);
    QCOMPARE(boxes.Texts(), std::vector<QString>{QStringLiteral("Could not start print job.")});
    QCOMPARE(boxes.Records().front().caption, QStringLiteral("USB Vantrel! Server"));
    QVERIFY(!runner.IsPrinting());
  }

  void runnerPrintsOnItsThreadOneJobAtATime() {
    uv::test::TempDir dir;
    CUVTListCtrl list;
    for (int i = 0; i < 500; ++i) list.InsertRow(Numbered(i, " Added"));
    ListPrintRunner runner(QStringLiteral("USB Vantrel! Server"));
    runner.SetOutputFile(uv::server::test::PathIn(dir.path(), "runner.pdf"));
    QSignalSpy finished(&runner, &ListPrintRunner::finished);
    QVERIFY(runner.Start(list, nullptr));
    QVERIFY(runner.IsPrinting());
    // Until the end is reported on this thread, a second job is refused.
    QVERIFY(!runner.Start(list, nullptr));
    // Rows that arrive while printing are not in this report.
    list.InsertRow(Numbered(9999, " late"));
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.first().first().value<PrintOutcome>(), PrintOutcome::kPrinted);
    QVERIFY(!runner.IsPrinting());
    const QString text =
        uv::server::test::PdfText(uv::server::test::PathIn(dir.path(), "runner.pdf"));
    QVERIFY(text.contains("ROW0499"));
    QVERIFY(!text.contains("ROW9999"));
    // Empty list: nothing starts.
    CUVTListCtrl empty;
    QVERIFY(!runner.Start(empty, nullptr));
  }

  void destroyingTheRunnerMidJobEndsIt() {
    uv::test::TempDir dir;
    CUVTListCtrl list;
    for (int i = 0; i < 3000; ++i) list.InsertRow(Numbered(i, " Added"));
    auto runner = std::make_unique<ListPrintRunner>(QStringLiteral("USB Vantrel! Server"));
    runner->SetOutputFile(uv::server::test::PathIn(dir.path(), "aborted.pdf"));
    int reported = 0;
    QObject receiver;
    QObject::connect(runner.get(), &ListPrintRunner::finished, &receiver,
                     [&reported](uv::server::PrintOutcome) { ++reported; });
    QVERIFY(runner->Start(list, nullptr));
    QVERIFY(runner->IsPrinting());
    runner.reset();  // aborts and joins; the queued report is dropped with the runner
    QCoreApplication::processEvents();
    QCOMPARE(reported, 0);
  }
};

QTEST_MAIN(ListCtrlTest)
#include "ListCtrlTest.moc"
