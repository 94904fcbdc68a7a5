#pragma once
// Printing the event list as a paged report: a title, "Report Date: ...", the heading row, the
// rows word-wrapped in their columns, "Page %d of %d" at the bottom of each page.
//
// A job has two halves. Prepare() runs on the UI thread: it copies the rows and headings out of
// the list (so the UI may keep adding rows while the job prints) and shows the print dialog.
// Run() paints the document and may run on a worker thread. ListPrintRunner does both and owns
// the worker thread; only one job runs at a time.
//
// Pages are laid out before the first one is printed, with the same wrapping the rows are drawn
// with, so the page count in the footer is exact and no row is left out: a row that would
// reach the bottom of a page starts the next one, and a row taller than a whole page is still
// printed (cut at that page's end) rather than holding the job up.

#include <QMetaType>
#include <QObject>
#include <QPrinter>
#include <QString>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "gui/list/EventRow.h"

class QPainter;
class QWidget;

namespace uv::gui {

class CUVTListCtrl;

inline constexpr const char* kCouldNotStartPrintJob = "Could not start print job.";

enum class PrintOutcome {
  kPrinted,         // the document was completed (from Prepare: ready to run)
  kNothingToPrint,  // no rows or no columns: nothing printed, nothing shown
  kCancelled,       // the print dialog was cancelled
  kStartFailed,     // the document could not be started ("Could not start print job.")
  kAborted,         // a page failed or the job was aborted
};

// The print-job base: page loop, start and end of the document, abort.
class CPrinterJob {
 public:
  CPrinterJob();
  virtual ~CPrinterJob();
  CPrinterJob(const CPrinterJob&) = delete;
  CPrinterJob& operator=(const CPrinterJob&) = delete;

  // Prints to this PDF file without a dialog (tests, benchmarks, scripted runs).
  void SetOutputFile(const QString& pdfFile);
  // Document name ("USB Vantrel!").
  void SetDocumentName(const QString& name) { documentName_ = name; }
  // Caption of the "Could not start print job." box Print() shows: the program's own.
  void SetCaption(const QString& caption) { caption_ = caption; }

  // UI thread: OnPreparePrinting and, unless an output file is set, the print dialog.
  PrintOutcome Prepare(QWidget* dialogParent);
  // Any thread: paints every page. Prepare() must have returned kPrinted.
  PrintOutcome Run();
  // Both, on the calling thread (UI thread).
  PrintOutcome Print(QWidget* dialogParent = nullptr);

  // Thread-safe: ends the job after the current page.
  void RequestAbort() { abort_.store(true); }

  int FirstPage() const { return 1; }
  int LastPage() const { return lastPage_; }
  QPrinter& Printer() { return *printer_; }

 protected:
  // Takes what is to be printed; false ends the job silently.
  virtual bool OnPreparePrinting() = 0;
  // Measures and paginates; sets the last page with SetLastPage.
  virtual void OnBeginPrinting(QPainter& painter, const QRect& pageRect) = 0;
  // Paints one page (1-based).
  virtual void OnPrintPage(QPainter& painter, const QRect& pageRect, int page) = 0;
  void SetLastPage(int page) { lastPage_ = page; }

 private:
  std::unique_ptr<QPrinter> printer_;
  QString outputFile_;
  QString documentName_;
  QString caption_;
  int lastPage_ = 0;
  bool prepared_ = false;
  std::atomic<bool> abort_{false};
};

// The report of an event list.
class CListCtrlPrint : public CPrinterJob {
 public:
  struct Heading {
    QString text;
    Qt::Alignment alignment = Qt::AlignLeft;
  };

  CListCtrlPrint();
  ~CListCtrlPrint() override;

  void SetTitle(const QString& title) { title_ = title; }
  // A printf format with two %d: page number and page count.
  void SetFooterFormat(const QString& format) { footerFormat_ = format; }
  // The list to print (UI thread; its rows and headings are copied at prepare time).
  void SetList(const CUVTListCtrl* list) { list_ = list; }
  // Or the rows and headings directly (the list is then not used).
  void SetRows(std::vector<EventRow> rows, std::vector<Heading> headings);

  // Relative column widths (defaults 85, 70, 150, 130, 90, 350); a column without one gets 100.
  void SetRelativeWidths(std::vector<int> widths) { relativeWidths_ = std::move(widths); }

  // Report of the last job, for tests: rows placed on each page (0-based page index).
  const std::vector<int>& RowsPerPage() const { return rowsOnPage_; }

 protected:
  bool OnPreparePrinting() override;
  void OnBeginPrinting(QPainter& painter, const QRect& pageRect) override;
  void OnPrintPage(QPainter& painter, const QRect& pageRect, int page) override;

 private:
  struct Layout;
  const CUVTListCtrl* list_ = nullptr;
  bool haveRows_ = false;
  std::vector<EventRow> rows_;
  std::vector<Heading> headings_;
  std::vector<int> relativeWidths_;
  QString title_;
  QString footerFormat_;
  std::unique_ptr<Layout> layout_;
  std::vector<int> rowsOnPage_;
  std::vector<int> pageFirstRow_;
};

// Formats a footer: the first "%d" gets the page, the second the page count, "%%" is "%"; any
// other "%" is kept as it is (the format is never handed to printf).
QString FormatPageFooter(const QString& format, int page, int pageCount);

// Runs one print job at a time on a worker thread it owns. The print dialog is shown on the UI
// thread before the worker starts; a document that cannot be started shows "Could not start
// print job." on the UI thread. Destroying the runner aborts a running job and joins its thread.
class ListPrintRunner : public QObject {
  Q_OBJECT

 public:
  // `caption` is the program's own, for the "Could not start print job." box.
  explicit ListPrintRunner(QString caption, QObject* parent = nullptr);
  ~ListPrintRunner() override;

  // Title "USB Vantrel!" and footer "Page %d of %d" unless changed before Start.
  void SetTitle(const QString& title) { title_ = title; }
  void SetFooterFormat(const QString& format) { footerFormat_ = format; }
  // Print into a PDF file instead of asking (tests).
  void SetOutputFile(const QString& pdfFile) { outputFile_ = pdfFile; }

  // UI thread. False when nothing was started: a job is running, nothing to print, or the
  // dialog was cancelled.
  bool Start(const CUVTListCtrl& list, QWidget* dialogParent);
  // True from a successful Start until finished() is emitted.
  bool IsPrinting() const { return printing_.load(); }
  // Blocks until the current job (if any) has ended; its finished() is still delivered later.
  void Wait();

 signals:
  void finished(uv::gui::PrintOutcome outcome);
  // The worker's "I have ended", queued to the UI thread.
  void workerDone(QPrivateSignal);

 private:
  void OnWorkerDone();
  QString title_ = QStringLiteral("USB Vantrel!");
  QString footerFormat_ = QStringLiteral("Page %d of %d");
  QString outputFile_;
  QString caption_;
  // Set on the UI thread when a job starts, cleared there when it has ended; read anywhere.
  std::atomic<bool> printing_{false};
  // UI thread only. The worker reads the job it was given and nothing else of the runner.
  std::unique_ptr<CListCtrlPrint> job_;
  // Written by the worker before it ends, read on the UI thread after joining it.
  PrintOutcome outcome_ = PrintOutcome::kAborted;
  std::thread worker_;
};

}  // namespace uv::gui

Q_DECLARE_METATYPE(uv::gui::PrintOutcome)
