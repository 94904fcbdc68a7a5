#pragma once
// The six-column event list of the console's History tab and of the journal viewer: a model over
// a vector of EventRow records (no per-cell items, so a million rows stay cheap), a tree view in
// report style, and a header that draws the sort arrow.
//
// Rows are always inserted at the top (the newest event first), also after a sort. Clicking a
// heading sorts by that column: the same heading again flips the direction; another heading
// sorts ascending. The direction is one value shared by every list of the process.
//
// Thread affinity: UI thread for everything except the comparison functions and
// CUVTListCtrl::SortAscending/SetSortAscending (atomic).

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QPolygon>
#include <QTimer>
#include <QTreeView>
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gui/list/EventRow.h"

namespace uv::gui {

// Text comparison of the list (and of every text column sort): the system's word sort for
// single-byte text, as users of the original platform know it. Case is compared only when the
// texts are otherwise equal (lower case first); "-" and "'" are ignored at first; punctuation
// sorts before digits and digits before letters. Returns <0, 0 or >0.
int CompareText(std::string_view a, std::string_view b);

// Date texts DD/MM/YYYY: year, then month, then day, each compared as a number (the leading
// digits of its characters, as text-to-integer reads them). Returns -1, 0 or 1.
int CompareDateText(std::string_view a, std::string_view b);
// A number that orders date texts as CompareDateText does (for sorting many rows at once).
std::int64_t DateSortKey(std::string_view date);

// Orders `order` (indexes into `texts`) as a stable sort with CompareText would (descending:
// the reverse comparison), but reads each text only a few times: each round takes the next 32
// primary weights of the texts still tied as keys and sorts those by radix; only texts equal in
// every weight are compared in full.
void SortByText(std::vector<std::uint32_t>& order, const std::vector<std::string_view>& texts,
                bool descending);

// The comparison of one display column (see ListColumn): the date for column 0, CompareText on
// the column's text for 1 to 5; any other column compares as greater (1).
int CompareRows(const EventRow& a, const EventRow& b, int column);

// The column headings, in display order.
const std::vector<QString>& ListHeadings();
// Column widths in pixels of both programs' lists.
inline constexpr int kDefaultColumnWidths[kListColumnCount] = {70, 55, 150, 110, 90, 370};

// One row as the list keeps it: the six texts in one block, behind the offsets where each ends.
// A row of short texts then costs a fraction of six separate strings.
class StoredRow {
 public:
  explicit StoredRow(const EventRow& row);
  // From the texts in display column order (see ListColumn), without an EventRow in between.
  explicit StoredRow(const std::array<std::string_view, kListColumnCount>& columnTexts);
  // The text of a display column (see ListColumn); empty for a column outside the table.
  std::string_view Text(int column) const;
  EventRow ToEventRow() const;

 private:
  std::unique_ptr<char[]> bytes_;
};

// The model behind the list. Display row 0 is the top of the list.
class EventListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit EventListModel(QObject* parent = nullptr);
  ~EventListModel() override;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Adds a row at the top. Views learn about new rows in batches (at most kPublishDelayMs
  // later, or at once through Publish()), so that a burst of events costs one relayout of a
  // long list rather than one per event. RowCount()/Row() include the rows not yet published.
  void InsertAtTop(EventRow row);
  // The same from the texts in display column order (see ListColumn): a producer that holds
  // them as views into its own buffers adds a row without making its strings.
  void InsertTextsAtTop(const std::array<std::string_view, kListColumnCount>& columnTexts);
  // Tells views about every row inserted so far; first the oldest rows beyond the bound (see
  // SetMaxRows) leave the list and their records are freed.
  void Publish();
  static constexpr int kPublishDelayMs = 40;
  static constexpr int kMaxPublishDelayMs = 1000;
  // The delay before new rows are shown; views that take long to take in new rows (a long list)
  // lengthen it so that taking them in stays a small share of the time.
  void SetPublishDelay(int ms);
  int PublishDelay() const { return publishTimer_.interval(); }

  // The most rows the list keeps; 0 (the default) keeps every row. Beyond it the oldest rows
  // (by arrival, whatever the sort order) leave at the next Publish(), so a burst costs one
  // removal per batch. Selections, the sort order and persistent indexes of the remaining rows
  // are kept. Between two batches the list may hold the rows of one batch more; a burst of more
  // than the bound again publishes at once, so the list never holds twice the bound.
  void SetMaxRows(std::size_t maxRows);
  std::size_t MaxRows() const { return maxRows_; }

  // All rows, published or not; index 0 is the top. An index outside the list gives an empty
  // row (and stops a debug build).
  int RowCount() const { return static_cast<int>(order_.size() - (gapEnd_ - gapBegin_)); }
  EventRow Row(int index) const;
  // One text of a row (see ListColumn), without copying the row.
  std::string_view RowText(int index, int column) const;
  // Rows that views do not show yet; view row v is Row(v + Unpublished()).
  int Unpublished() const { return RowCount() - published_; }

  // Removes every row.
  void Clear();

  // Reorders all rows by CompareRows on the column; descending compares the other way round.
  // Selections and other persistent indexes follow their rows. A column outside the table
  // leaves the order unchanged.
  void SortRows(int column, bool ascending);

  // Copies of all rows, top first (for printing on another thread).
  std::vector<EventRow> Snapshot() const;

 private:
  // Rows carry a serial number in order of arrival (modulo 2^32); rows_[serial - firstSerial_]
  // is the row's record.
  const StoredRow& Stored(std::uint32_t serial) const { return rows_[serial - firstSerial_]; }
  // The serial of display row `displayRow` of a list of `count` rows, skipping the gap that a
  // removal in progress leaves in order_.
  std::uint32_t SerialAt(int displayRow, int count) const {
    std::size_t position = static_cast<std::size_t>(count - 1 - displayRow);
    if (position >= gapBegin_) position += gapEnd_ - gapBegin_;
    return order_[position];
  }
  // Drops the oldest rows beyond maxRows_: tells views, frees the records.
  void DropOldest();

  std::deque<StoredRow> rows_;       // in order of arrival; never reordered
  std::uint32_t firstSerial_ = 0;    // the serial of rows_.front()
  std::deque<std::uint32_t> order_;  // serials; order_[size-1] is the top row
  int published_ = 0;                // rows the views know of: the first published_ of order_
  // order_[0, sortedEnd_) may be in any order (a sort); from there on rows are in order of
  // arrival, and every row before sortedEnd_ is older than every row after it.
  std::size_t sortedEnd_ = 0;
  std::size_t gapBegin_ = 0;  // order_[gapBegin_, gapEnd_) is not part of the list
  std::size_t gapEnd_ = 0;
  std::size_t maxRows_ = 0;
  QTimer publishTimer_;
};

// The header: remembers the sort column and direction and draws the arrow. Columns that were
// ever sorted are owner-drawn from then on (earlier ones without arrow).
class CSortHeaderCtrl : public QHeaderView {
  Q_OBJECT

 public:
  explicit CSortHeaderCtrl(QWidget* parent = nullptr);

  void SetSortArrow(int column, bool ascending);
  int SortColumn() const { return sortColumn_; }
  bool SortAscending() const { return ascending_; }
  bool IsOwnerDrawn(int column) const;

  // The filled triangle of the sort column in an item rectangle (item coordinates: 0,0 is the
  // top left of the item), with o = one third of the item height.
  static QPolygon ArrowPolygon(const QRect& item, bool ascending);
  // The rectangle the heading text is drawn in.
  static QRect TextRect(const QRect& item, bool isSortColumn);

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  int pressed_ = -1;  // the section under a pressed mouse button
  int sortColumn_ = -1;
  bool ascending_ = true;
  std::vector<bool> ownerDrawn_;
};

class CUVTListCtrl : public QTreeView {
  Q_OBJECT

 public:
  explicit CUVTListCtrl(QWidget* parent = nullptr);
  ~CUVTListCtrl() override;

  EventListModel& Model() { return *model_; }
  const EventListModel& Model() const { return *model_; }
  CSortHeaderCtrl& SortHeader() { return *header_; }
  const CSortHeaderCtrl& SortHeader() const { return *header_; }

  // Rows (see EventListModel).
  void InsertRow(EventRow row) { model_->InsertAtTop(std::move(row)); }
  int RowCount() const { return model_->RowCount(); }
  EventRow Row(int index) const { return model_->Row(index); }
  void DeleteAllItems() { model_->Clear(); }

  // The texts of a row in display column order.
  static QStringList ColumnTexts(const EventRow& row);

  // Selection, by row index (0 = top), in list order.
  std::vector<int> SelectedRows() const;
  bool HasSelection() const;
  void SelectAllRows();
  void ClearSelectedRows();
  void SelectRow(int index, bool select = true);

  // Column click: sort and show the arrow.
  void OnColumnClick(int column);
  int SortColumn() const { return sortColumn_; }

  // Shows all rows inserted so far at once (otherwise they appear within a few milliseconds).
  void Publish() { model_->Publish(); }

  // The process-wide direction shared by all lists.
  static bool SortAscending();
  static void SetSortAscending(bool ascending);

 protected:
  // Label tips: a cell whose text does not fit shows it whole as a tool tip.
  bool viewportEvent(QEvent* event) override;
  // Timed: a repaint follows every batch of new rows (see the constructor).
  void paintEvent(QPaintEvent* event) override;

 private:
  EventListModel* model_;    // owned by this (Qt parent)
  CSortHeaderCtrl* header_;  // owned by this (Qt parent)
  int sortColumn_ = -1;
  qint64 lastPaintNs_ = 0;  // how long the last repaint of the rows took
};

}  // namespace uv::gui
