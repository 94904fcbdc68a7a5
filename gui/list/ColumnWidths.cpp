#include "gui/list/ColumnWidths.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QStyle>
#include <algorithm>
#include <cmath>

#include "gui/list/CUVTListCtrl.h"

namespace uv::gui {

namespace {

// The widest digit stands for every digit, so that every date and time fits, not only these.
int WidestTextOfPattern(const QFontMetrics& metrics, const QString& pattern) {
  QChar widest = u'0';
  int widestAdvance = 0;
  for (char16_t d = u'0'; d <= u'9'; ++d) {
    const int advance = metrics.horizontalAdvance(QChar(d));
    if (advance > widestAdvance) {
      widestAdvance = advance;
      widest = QChar(d);
    }
  }
  QString text = pattern;
  text.replace(u'0', widest);
  return metrics.horizontalAdvance(text);
}

}  // namespace

std::vector<int> ScaleColumnWidthsToFont(const QFontMetrics& metrics, std::span<const int> widths,
                                         int cellMargins) {
  std::vector<int> scaled(widths.begin(), widths.end());
  double factor = 1.0;
  const auto need = [&](int column, const QString& pattern) {
    if (static_cast<std::size_t>(column) >= widths.size() || widths[column] <= 0) return;
    const int wanted = WidestTextOfPattern(metrics, pattern) + std::max(0, cellMargins);
    factor = std::max(factor, static_cast<double>(wanted) / widths[column]);
  };
  need(static_cast<int>(ListColumn::kDate), QStringLiteral("00/00/0000"));
  need(static_cast<int>(ListColumn::kTime), QStringLiteral("00:00:00"));
  for (int& width : scaled) width = static_cast<int>(std::ceil(width * factor));
  return scaled;
}

std::vector<int> FitColumnWidthsToFont(CUVTListCtrl& list, std::span<const int> widths) {
  // A view's cell keeps the focus frame's margin and one pixel on each side of its text.
  const int margin = list.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1;
  const std::vector<int> scaled =
      ScaleColumnWidthsToFont(QFontMetrics(list.font()), widths, 2 * margin);
  for (std::size_t c = 0; c < scaled.size(); ++c) {
    list.setColumnWidth(static_cast<int>(c), scaled[c]);
  }
  return scaled;
}

}  // namespace uv::gui
