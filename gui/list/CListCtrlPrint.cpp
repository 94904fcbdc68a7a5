#include "gui/list/CListCtrlPrint.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QPainter>
#include <QPrintDialog>
#include <QTextLayout>
#include <QTextOption>
#include <algorithm>
#include <numeric>

#include "gui/common/MachineText.h"
#include "gui/common/MessageBoxes.h"
#include "gui/list/CUVTListCtrl.h"

namespace uv::gui {
namespace {

constexpr int kDefaultRelativeWidths[] = {85, 70, 150, 130, 90, 350};
constexpr int kMissingRelativeWidth = 100;

// Margins in hundredths of a millimetre: factors 10, 10, 10, 10 times 200, 100, 150 and 1.
constexpr double kMarginLeftHiMetric = 10 * 200;
constexpr double kMarginTopHiMetric = 10 * 100;
constexpr double kMarginRightHiMetric = 10 * 150;
constexpr double kMarginBottomHiMetric = 10 * 1;

int HiMetricToDevice(double hundredthsMm, int dpi) {
  return static_cast<int>(hundredthsMm / 2540.0 * dpi + 0.5);
}

QString ToQString(const std::string& text) {
  return FromMachineText(text);
}

QFont MakeFont(const char* family, int points) {
  QFont font(QString::fromLatin1(family));
  font.setPointSize(points);
  return font;
}

QTextOption WrapOption(Qt::Alignment alignment) {
  QTextOption option(alignment);
  // Words are kept whole where they fit; a word longer than the column (a long path) is broken
  // rather than drawn across the neighbouring column.
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  return option;
}

}  // namespace

QString FormatPageFooter(const QString& format, int page, int pageCount) {
  QString out;
  int substituted = 0;
  for (qsizetype i = 0; i < format.size(); ++i) {
    const QChar c = format[i];
    if (c == u'%' && i + 1 < format.size()) {
      const QChar n = format[i + 1];
      if (n == u'%') {
        out += u'%';
        ++i;
        continue;
      }
      if (n == u'd' && substituted < 2) {
        out += QString::number(substituted == 0 ? page : pageCount);
        ++substituted;
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// CPrinterJob

CPrinterJob::CPrinterJob() : printer_(std::make_unique<QPrinter>(QPrinter::HighResolution)) {}

CPrinterJob::~CPrinterJob() = default;

void CPrinterJob::SetOutputFile(const QString& pdfFile) {
  outputFile_ = pdfFile;
  printer_->setOutputFormat(QPrinter::PdfFormat);
  printer_->setOutputFileName(pdfFile);
  printer_->setResolution(600);
}

PrintOutcome CPrinterJob::Prepare(QWidget* dialogParent) {
  prepared_ = false;
  if (!OnPreparePrinting()) return PrintOutcome::kNothingToPrint;
  if (outputFile_.isEmpty()) {
    QPrintDialog dialog(printer_.get(), dialogParent);
    // The whole report is printed, to the printer chosen.
    dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    dialog.setOption(QAbstractPrintDialog::PrintCurrentPage, false);
    if (dialog.exec() != QDialog::Accepted) return PrintOutcome::kCancelled;
  }
  printer_->setPrintRange(QPrinter::AllPages);
  prepared_ = true;
  return PrintOutcome::kPrinted;
}

PrintOutcome CPrinterJob::Run() {
  if (!prepared_) return PrintOutcome::kNothingToPrint;
  prepared_ = false;
  abort_.store(false);
  printer_->setDocName(documentName_);
  printer_->setFullPage(true);
  QPainter painter;
  if (!painter.begin(printer_.get())) return PrintOutcome::kStartFailed;
  const QRect pageRect = printer_->pageRect(QPrinter::DevicePixel).toRect();
  OnBeginPrinting(painter, pageRect);
  for (int page = FirstPage(); page <= LastPage(); ++page) {
    if (page > FirstPage() && !printer_->newPage()) {
      printer_->abort();
      return PrintOutcome::kAborted;
    }
    painter.save();
    OnPrintPage(painter, pageRect, page);
    painter.restore();
    if (abort_.load()) {
      printer_->abort();
      painter.end();
      return PrintOutcome::kAborted;
    }
  }
  return painter.end() ? PrintOutcome::kPrinted : PrintOutcome::kAborted;
}

PrintOutcome CPrinterJob::Print(QWidget* dialogParent) {
  const PrintOutcome prepared = Prepare(dialogParent);
  if (prepared != PrintOutcome::kPrinted) return prepared;
  const PrintOutcome outcome = Run();
  if (outcome == PrintOutcome::kStartFailed) {
    ShowMessageBox(dialogParent, QString::fromLatin1(kCouldNotStartPrintJob), caption_,
                   MB_OK | MB_ICONEXCLAMATION);
  }
  return outcome;
}

// ---------------------------------------------------------------------------------------------
// CListCtrlPrint

struct CListCtrlPrint::Layout {
  QFont rowFont = MakeFont("Arial", 9);
  QFont titleFont = MakeFont("Arial", 12);
  QFont smallFont = MakeFont("Times New Roman", 8);
  QFont headingFont = MakeFont("Arial", 11);
  int rowTextHeight = 0;
  int rowLineHeight = 0;
  int titleLineHeight = 0;
  int smallLineHeight = 0;
  int headingLineHeight = 0;
  int cellPad = 0;
  int penWidth = 1;
  QRect printable;
  std::vector<int> edges;  // edges[c] and edges[c + 1] bound column c
  int rowsTop = 0;
  int rowsBottom = 0;
  std::vector<int> lineCounts;  // lines of the tallest cell of each row
};

CListCtrlPrint::CListCtrlPrint()
    : relativeWidths_(std::begin(kDefaultRelativeWidths), std::end(kDefaultRelativeWidths)),
      footerFormat_(QStringLiteral("Page %d of %d")) {
  SetDocumentName(QStringLiteral("USB Vantrel!"));
}

CListCtrlPrint::~CListCtrlPrint() = default;

void CListCtrlPrint::SetRows(std::vector<EventRow> rows, std::vector<Heading> headings) {
  rows_ = std::move(rows);
  headings_ = std::move(headings);
  haveRows_ = true;
}

bool CListCtrlPrint::OnPreparePrinting() {
  if (!haveRows_) {
    if (list_ == nullptr) return false;
    rows_ = list_->Model().Snapshot();
    headings_.clear();
    const auto& model = list_->Model();
    for (int c = 0; c < model.columnCount(); ++c) {
      Heading h;
      h.text = model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
      h.alignment =
          model.headerData(c, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>() &
          Qt::AlignHorizontal_Mask;
      if (h.alignment == Qt::Alignment()) h.alignment = Qt::AlignLeft;
      headings_.push_back(h);
    }
  }
  return !rows_.empty() && !headings_.empty();
}

void CListCtrlPrint::OnBeginPrinting(QPainter& painter, const QRect& pageRect) {
  layout_ = std::make_unique<Layout>();
  Layout& l = *layout_;
  QPaintDevice* device = painter.device();
  const int dpi = device->logicalDpiY();

  const QFontMetrics rowMetrics(l.rowFont, device);
  l.rowTextHeight = rowMetrics.height();
  l.rowLineHeight = l.rowTextHeight + 4;
  l.titleLineHeight = QFontMetrics(l.titleFont, device).height() + 4;
  l.smallLineHeight = QFontMetrics(l.smallFont, device).height() + 4;
  l.headingLineHeight = QFontMetrics(l.headingFont, device).height() + 4;
  l.cellPad = std::max(1, l.rowTextHeight / 10);
  l.penWidth = std::max(1, dpi / 150);

  const int left = HiMetricToDevice(kMarginLeftHiMetric, device->logicalDpiX());
  const int top = HiMetricToDevice(kMarginTopHiMetric, dpi);
  const int right = HiMetricToDevice(kMarginRightHiMetric, device->logicalDpiX());
  const int bottom = HiMetricToDevice(kMarginBottomHiMetric, dpi);
  l.printable = pageRect.adjusted(left, top, -right, -bottom);

  // Running column edges, scaled so that the last one meets the right margin.
  const std::size_t columns = headings_.size();
  std::vector<int> widths(columns, kMissingRelativeWidth);
  for (std::size_t c = 0; c < columns && c < relativeWidths_.size(); ++c) {
    widths[c] = std::max(1, relativeWidths_[c]);
  }
  const long long total = std::accumulate(widths.begin(), widths.end(), 0LL);
  l.edges.assign(columns + 1, l.printable.left());
  long long running = 0;
  for (std::size_t c = 0; c < columns; ++c) {
    running += widths[c];
    l.edges[c + 1] = l.printable.left() + static_cast<int>(running * l.printable.width() / total);
  }

  l.rowsTop = l.printable.top() + l.titleLineHeight + l.smallLineHeight + 2 * l.headingLineHeight;
  l.rowsBottom = l.printable.bottom() - l.smallLineHeight - l.smallLineHeight / 2;

  // Lines each row needs: its tallest cell, the cells wrapped at their column's width.
  l.lineCounts.assign(rows_.size(), 1);
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    int lines = 1;
    for (std::size_t c = 0; c < columns && c < static_cast<std::size_t>(kListColumnCount); ++c) {
      const QString text = ToQString(ColumnText(rows_[r], static_cast<int>(c)));
      const int width = l.edges[c + 1] - l.edges[c] - 2 * l.cellPad;
      if (width <= 0 || rowMetrics.horizontalAdvance(text) <= width) continue;
      QTextLayout textLayout(text, l.rowFont, device);
      textLayout.setTextOption(WrapOption(Qt::AlignLeft));
      textLayout.beginLayout();
      int n = 0;
      for (QTextLine line = textLayout.createLine(); line.isValid();
           line = textLayout.createLine()) {
        line.setLineWidth(width);
        ++n;
      }
      textLayout.endLayout();
      lines = std::max(lines, n);
    }
    l.lineCounts[r] = lines;
  }

  // Pages: a row whose tallest cell would reach the bottom starts the next page. A row taller
  // than a whole page is still placed (cut at the page end) so that every page makes progress.
  pageFirstRow_.clear();
  rowsOnPage_.clear();
  std::size_t r = 0;
  do {
    pageFirstRow_.push_back(static_cast<int>(r));
    int y = l.rowsTop;
    int placed = 0;
    while (r < rows_.size()) {
      const int need = l.lineCounts[r] * l.rowTextHeight;
      if (y + need > l.rowsBottom && placed > 0) break;
      y += l.lineCounts[r] * l.rowLineHeight + 1;
      ++r;
      ++placed;
    }
    rowsOnPage_.push_back(placed);
  } while (r < rows_.size());
  SetLastPage(static_cast<int>(pageFirstRow_.size()));
}

void CListCtrlPrint::OnPrintPage(QPainter& painter, const QRect& /*pageRect*/, int page) {
  const Layout& l = *layout_;
  QPaintDevice* device = painter.device();
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.setPen(QPen(Qt::black, l.penWidth));
  const QRect& p = l.printable;

  // Header: the title, then the date of the report.
  int y = p.top();
  painter.setFont(l.titleFont);
  painter.drawText(QRect(p.left(), y, p.width(), l.titleLineHeight),
                   Qt::AlignHCenter | Qt::AlignVCenter, title_);
  y += l.titleLineHeight;
  const QDateTime now = QDateTime::currentDateTime();
  const QString date = QString::asprintf(
      "Report Date: %02d/%02d/%04d %02d:%02d:%02d", now.date().day(), now.date().month(),
      now.date().year(), now.time().hour(), now.time().minute(), now.time().second());
  painter.setFont(l.smallFont);
  painter.drawText(QRect(p.left(), y, p.width(), l.smallLineHeight),
                   Qt::AlignRight | Qt::AlignVCenter, date);
  y += l.smallLineHeight;

  // Heading row: two line heights, each column underlined at one and a half.
  const QFontMetrics headingMetrics(l.headingFont, device);
  for (std::size_t c = 0; c < headings_.size(); ++c) {
    const QRect cell(l.edges[c] + l.cellPad, y, l.edges[c + 1] - l.edges[c] - 2 * l.cellPad,
                     l.headingLineHeight);
    // A heading wider than its column ("Computer Name \ User" in 11 points) is narrowed to
    // fit rather than drawn over its neighbour.
    QFont font = l.headingFont;
    const int textWidth = headingMetrics.horizontalAdvance(headings_[c].text);
    if (textWidth > cell.width() && cell.width() > 0) {
      font.setStretch(std::max(50, 100 * cell.width() / textWidth));
    }
    painter.setFont(font);
    painter.drawText(cell, int(headings_[c].alignment | Qt::AlignVCenter | Qt::TextSingleLine),
                     headings_[c].text);
    const int lineY = y + l.headingLineHeight * 3 / 2;
    painter.drawLine(l.edges[c] + l.cellPad, lineY, l.edges[c + 1] - l.cellPad, lineY);
  }

  // Rows of this page.
  const auto first = static_cast<std::size_t>(pageFirstRow_[static_cast<std::size_t>(page - 1)]);
  const std::size_t end =
      static_cast<std::size_t>(page) < pageFirstRow_.size()
          ? static_cast<std::size_t>(pageFirstRow_[static_cast<std::size_t>(page)])
          : rows_.size();
  painter.setFont(l.rowFont);
  y = l.rowsTop;
  painter.save();
  painter.setClipRect(
      QRect(p.left(), l.rowsTop, p.width(), l.rowsBottom - l.rowsTop + l.rowLineHeight));
  for (std::size_t r = first; r < end; ++r) {
    const int rowHeight = l.lineCounts[r] * l.rowLineHeight;
    for (std::size_t c = 0; c < headings_.size() && c < static_cast<std::size_t>(kListColumnCount);
         ++c) {
      const QString text = ToQString(ColumnText(rows_[r], static_cast<int>(c)));
      if (text.isEmpty()) continue;
      const int width = l.edges[c + 1] - l.edges[c] - 2 * l.cellPad;
      if (width <= 0) continue;
      QTextLayout textLayout(text, l.rowFont, device);
      textLayout.setTextOption(WrapOption(headings_[c].alignment));
      textLayout.beginLayout();
      int n = 0;
      for (QTextLine line = textLayout.createLine(); line.isValid();
           line = textLayout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, n * l.rowTextHeight));
        ++n;
      }
      textLayout.endLayout();
      const int blockTop = y + (rowHeight - n * l.rowTextHeight) / 2;
      textLayout.draw(&painter, QPointF(l.edges[c] + l.cellPad, blockTop));
    }
    y += rowHeight + 1;
  }
  painter.restore();

  // Footer.
  painter.setFont(l.smallFont);
  painter.drawText(QRect(p.left(), p.bottom() - l.smallLineHeight, p.width(), l.smallLineHeight),
                   Qt::AlignRight | Qt::AlignBottom,
                   FormatPageFooter(footerFormat_, page, LastPage()));
}

// ---------------------------------------------------------------------------------------------
// ListPrintRunner

ListPrintRunner::ListPrintRunner(QString caption, QObject* parent)
    : QObject(parent), caption_(std::move(caption)) {
  qRegisterMetaType<uv::gui::PrintOutcome>();
  connect(this, &ListPrintRunner::workerDone, this, &ListPrintRunner::OnWorkerDone,
          Qt::QueuedConnection);
}

ListPrintRunner::~ListPrintRunner() {
  if (worker_.joinable()) {
    job_->RequestAbort();
    worker_.join();
  }
}

bool ListPrintRunner::Start(const CUVTListCtrl& list, QWidget* dialogParent) {
  if (printing_.load()) return false;
  if (worker_.joinable()) worker_.join();  // a job that ended but whose report is still queued
  auto job = std::make_unique<CListCtrlPrint>();
  job->SetTitle(title_);
  job->SetFooterFormat(footerFormat_);
  job->SetCaption(caption_);
  job->SetList(&list);
  if (!outputFile_.isEmpty()) job->SetOutputFile(outputFile_);
  if (job->Prepare(dialogParent) != PrintOutcome::kPrinted) return false;
  job_ = std::move(job);
  printing_.store(true);
  CListCtrlPrint* running = job_.get();
  worker_ = std::thread([this, running] {
    try {
      outcome_ = running->Run();
    } catch (...) {
      outcome_ = PrintOutcome::kAborted;
    }
    // Delivered on the UI thread (the connection is queued); dropped if the runner is gone by
    // then. The outcome travels in the member, read there after joining this thread: nothing
    // this thread writes is handed over through Qt's queue alone, which the thread sanitizer
    // cannot see into.
    emit workerDone(QPrivateSignal());
  });
  return true;
}

void ListPrintRunner::Wait() {
  if (worker_.joinable()) worker_.join();
}

void ListPrintRunner::OnWorkerDone() {
  if (worker_.joinable()) worker_.join();
  const PrintOutcome outcome = outcome_;
  job_.reset();
  printing_.store(false);
  if (outcome == PrintOutcome::kStartFailed) {
    ShowMessageBox(nullptr, QString::fromLatin1(kCouldNotStartPrintJob), caption_,
                   MB_OK | MB_ICONEXCLAMATION);
  }
  emit finished(outcome);
}

}  // namespace uv::gui
