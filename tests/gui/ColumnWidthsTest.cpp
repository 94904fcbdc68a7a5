// Column widths that follow the list's font: dates and times fit whole, proportions are kept,
// and a small font leaves the designed widths as they are.

#include <QFontMetrics>
#include <QTest>

#include "gui/list/CUVTListCtrl.h"
#include "gui/list/ColumnWidths.h"

using uv::gui::CUVTListCtrl;
using uv::gui::kDefaultColumnWidths;

class ColumnWidthsTest : public QObject {
  Q_OBJECT

 private slots:
  void datesAndTimesFitWholeAtEveryFontSize_data() {
    QTest::addColumn<int>("points");
    for (int points : {6, 9, 12, 18, 28})
      QTest::newRow(qPrintable(QString::number(points))) << points;
  }

  void datesAndTimesFitWholeAtEveryFontSize() {
    QFETCH(int, points);
    CUVTListCtrl list;
    QFont font = list.font();
    font.setPointSize(points);
    list.setFont(font);
    const std::vector<int> widths = uv::gui::FitColumnWidthsToFont(list, kDefaultColumnWidths);
    QCOMPARE(widths.size(), std::size(kDefaultColumnWidths));

    const QFontMetrics metrics(font);
    for (const char* date : {"31/12/2007", "08/08/2088", "00/00/0000"}) {
      QVERIFY2(metrics.horizontalAdvance(QString::fromLatin1(date)) < list.columnWidth(0), date);
    }
    QVERIFY(metrics.horizontalAdvance(QStringLiteral("23:59:59")) < list.columnWidth(1));
    QVERIFY(metrics.horizontalAdvance(QStringLiteral("88:88:88")) < list.columnWidth(1));

    // One factor for every column (within the rounding up of each), never below the design; the
    // widest column tells it most precisely.
    const double factor = static_cast<double>(widths[5]) / kDefaultColumnWidths[5];
    QVERIFY(factor >= 1.0);
    for (std::size_t c = 0; c < widths.size(); ++c) {
      QCOMPARE(list.columnWidth(static_cast<int>(c)), widths[c]);
      QVERIFY(widths[c] >= kDefaultColumnWidths[c]);
      QVERIFY(std::abs(widths[c] - kDefaultColumnWidths[c] * factor) <= 2.0);
    }
  }

  void aFontThatFitsKeepsTheDesignedWidths() {
    const QFontMetrics tiny(QFont(QStringLiteral("DejaVu Sans"), 5));
    const std::vector<int> widths = uv::gui::ScaleColumnWidthsToFont(tiny, kDefaultColumnWidths, 8);
    QCOMPARE(widths,
             std::vector<int>(std::begin(kDefaultColumnWidths), std::end(kDefaultColumnWidths)));
  }

  void aListWithoutDateOrTimeColumnsIsLeftAlone() {
    const QFontMetrics big(QFont(QStringLiteral("DejaVu Sans"), 40));
    QCOMPARE(uv::gui::ScaleColumnWidthsToFont(big, {}, 8), std::vector<int>{});
    const int zero[] = {0, 0, 100};
    QCOMPARE(uv::gui::ScaleColumnWidthsToFont(big, zero, 8), (std::vector<int>{0, 0, 100}));
  }
};

QTEST_MAIN(ColumnWidthsTest)
#include "ColumnWidthsTest.moc"
