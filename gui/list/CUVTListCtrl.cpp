#include "gui/list/CUVTListCtrl.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <numeric>

#include "gui/common/MachineText.h"

namespace uv::gui {
namespace {

// One direction for every list of the program: clicking a heading in one list and then in
// another continues from the direction the first left behind.
std::atomic<bool> gSortAscending{true};

QString ToQString(std::string_view text) {
  return FromMachineText(text);
}

}  // namespace

const std::vector<QString>& ListHeadings() {
  static const std::vector<QString> kHeadings = {QStringLiteral("Date"),
                                                 QStringLiteral("Time"),
                                                 QStringLiteral("Computer Name \\ User"),
                                                 QStringLiteral("IP Address"),
                                                 QStringLiteral("Category"),
                                                 QStringLiteral("Message")};
  return kHeadings;
}

// ---------------------------------------------------------------------------------------------
// StoredRow

namespace {

// The record order of the texts (EventRow's members) and the display column of each.
constexpr int kRecordColumns[kListColumnCount] = {
    static_cast<int>(ListColumn::kDate),         static_cast<int>(ListColumn::kTime),
    static_cast<int>(ListColumn::kComputerUser), static_cast<int>(ListColumn::kAddress),
    static_cast<int>(ListColumn::kMessage),      static_cast<int>(ListColumn::kCategory)};
constexpr std::size_t kHeaderBytes = sizeof(std::uint32_t) * kListColumnCount;

std::uint32_t EndOf(const char* bytes, int column) {
  std::uint32_t end = 0;
  std::memcpy(&end, bytes + sizeof end * static_cast<std::size_t>(column), sizeof end);
  return end;
}

}  // namespace

StoredRow::StoredRow(const EventRow& row)
    : StoredRow(std::array<std::string_view, kListColumnCount>{
          ColumnText(row, 0), ColumnText(row, 1), ColumnText(row, 2), ColumnText(row, 3),
          ColumnText(row, 4), ColumnText(row, 5)}) {}

StoredRow::StoredRow(const std::array<std::string_view, kListColumnCount>& columnTexts) {
  // The block: for each display column the offset (from the end of the header) where its text
  // ends, then the texts in display order.
  std::size_t total = 0;
  for (const std::string_view text : columnTexts) total += text.size();
  // A datagram's texts are far below 4 GiB; anything beyond would be cut, never overrun.
  total = std::min<std::size_t>(total, UINT32_MAX);
  bytes_ = std::make_unique_for_overwrite<char[]>(kHeaderBytes + total);
  std::size_t at = 0;
  for (int c = 0; c < kListColumnCount; ++c) {
    const std::string_view text = columnTexts[static_cast<std::size_t>(c)];
    const std::size_t n = std::min(text.size(), total - at);
    if (n > 0) std::memcpy(bytes_.get() + kHeaderBytes + at, text.data(), n);
    at += n;
    const auto end = static_cast<std::uint32_t>(at);
    std::memcpy(bytes_.get() + sizeof end * static_cast<std::size_t>(c), &end, sizeof end);
  }
}

std::string_view StoredRow::Text(int column) const {
  if (column < 0 || column >= kListColumnCount) return {};
  const std::uint32_t begin = column == 0 ? 0 : EndOf(bytes_.get(), column - 1);
  const std::uint32_t end = EndOf(bytes_.get(), column);
  return {bytes_.get() + kHeaderBytes + begin, end - begin};
}

EventRow StoredRow::ToEventRow() const {
  EventRow row;
  std::string* members[kListColumnCount] = {&row.date,    &row.time,    &row.computerUser,
                                            &row.address, &row.message, &row.category};
  for (int m = 0; m < kListColumnCount; ++m) members[m]->assign(Text(kRecordColumns[m]));
  return row;
}

// ---------------------------------------------------------------------------------------------
// EventListModel

EventListModel::EventListModel(QObject* parent) : QAbstractTableModel(parent) {
  publishTimer_.setSingleShot(true);
  publishTimer_.setInterval(kPublishDelayMs);
  connect(&publishTimer_, &QTimer::timeout, this, &EventListModel::Publish);
}

EventListModel::~EventListModel() = default;

int EventListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : published_;
}

int EventListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kListColumnCount;
}

QVariant EventListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= published_ || index.column() >= kListColumnCount) {
    return {};
  }
  if (role == Qt::DisplayRole) {
    return ToQString(Stored(SerialAt(index.row(), published_)).Text(index.column()));
  }
  if (role == Qt::TextAlignmentRole) {
    return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
  }
  return {};
}

QVariant EventListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kListColumnCount) return {};
  if (role == Qt::DisplayRole) return ListHeadings()[static_cast<std::size_t>(section)];
  if (role == Qt::TextAlignmentRole) {
    return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
  }
  return {};
}

Qt::ItemFlags EventListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void EventListModel::InsertAtTop(EventRow row) {
  InsertTextsAtTop(std::array<std::string_view, kListColumnCount>{
      ColumnText(row, 0), ColumnText(row, 1), ColumnText(row, 2), ColumnText(row, 3),
      ColumnText(row, 4), ColumnText(row, 5)});
}

void EventListModel::InsertTextsAtTop(
    const std::array<std::string_view, kListColumnCount>& columnTexts) {
  // Serials are 32-bit and wrap; the list never holds four billion rows at once.
  const auto serial = static_cast<std::uint32_t>(firstSerial_ + rows_.size());
  rows_.emplace_back(columnTexts);
  order_.push_back(serial);
  // A burst of more than the bound within one batch: drop the surplus now rather than hold it.
  if (maxRows_ != 0 && order_.size() > 2 * maxRows_) {
    Publish();
    return;
  }
  if (!publishTimer_.isActive()) publishTimer_.start();
}

void EventListModel::DropOldest() {
  if (maxRows_ == 0 || order_.size() <= maxRows_) return;
  const std::size_t drop = order_.size() - maxRows_;
  const std::uint32_t oldest = firstSerial_;
  const auto dropped = [oldest, drop](std::uint32_t serial) {
    return static_cast<std::uint32_t>(serial - oldest) < drop;
  };
  const auto displayRow = [this](std::size_t position) {
    return published_ - 1 - static_cast<int>(position);
  };

  if (drop >= sortedEnd_) {
    // The usual case: the oldest rows lie at the bottom of the list, in one piece. A deque lets
    // them go without moving the others.
    const std::size_t shown = std::min(drop, static_cast<std::size_t>(published_));
    if (shown > 0) {
      beginRemoveRows(QModelIndex(), published_ - static_cast<int>(shown), published_ - 1);
      order_.erase(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(shown));
      published_ -= static_cast<int>(shown);
      endRemoveRows();
    }
    order_.erase(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(drop - shown));
    sortedEnd_ = 0;
  } else {
    // After a sort the oldest rows lie anywhere in the sorted part (which is all published).
    // One pass from the bottom up removes each run of them; what lies above a run keeps its
    // display rows, and order_ closes up behind the pass, so the whole batch costs one walk.
    std::size_t write = 0;
    std::size_t read = 0;
    while (read < sortedEnd_) {
      if (!dropped(order_[read])) {
        order_[write++] = order_[read++];
        continue;
      }
      std::size_t runEnd = read + 1;
      while (runEnd < sortedEnd_ && dropped(order_[runEnd])) ++runEnd;
      // Views see order_[0, write) and then order_[read, ...): the run starts at `write`.
      gapBegin_ = write;
      gapEnd_ = read;
      const auto runLength = static_cast<int>(runEnd - read);
      beginRemoveRows(QModelIndex(), displayRow(write + runEnd - read - 1), displayRow(write));
      gapEnd_ = runEnd;
      published_ -= runLength;
      endRemoveRows();
      read = runEnd;
    }
    // Close the gap over the rest, which is in order of arrival and stays.
    std::move(order_.begin() + static_cast<std::ptrdiff_t>(read), order_.end(),
              order_.begin() + static_cast<std::ptrdiff_t>(write));
    order_.resize(order_.size() - (read - write));
    gapBegin_ = gapEnd_ = 0;
    sortedEnd_ -= drop;
  }
  rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(drop));
  firstSerial_ = static_cast<std::uint32_t>(firstSerial_ + drop);
}

void EventListModel::Publish() {
  publishTimer_.stop();
  DropOldest();
  const int total = RowCount();
  if (total == published_) return;
  beginInsertRows(QModelIndex(), 0, total - published_ - 1);
  published_ = total;
  endInsertRows();
}

void EventListModel::SetPublishDelay(int ms) {
  publishTimer_.setInterval(std::clamp(ms, kPublishDelayMs, kMaxPublishDelayMs));
}

void EventListModel::SetMaxRows(std::size_t maxRows) {
  maxRows_ = maxRows;
  if (maxRows_ != 0 && order_.size() > maxRows_ && !publishTimer_.isActive()) {
    publishTimer_.start();
  }
}

EventRow EventListModel::Row(int index) const {
  assert(index >= 0 && index < RowCount());
  if (index < 0 || index >= RowCount()) return {};
  return Stored(SerialAt(index, RowCount())).ToEventRow();
}

std::string_view EventListModel::RowText(int index, int column) const {
  assert(index >= 0 && index < RowCount());
  if (index < 0 || index >= RowCount()) return {};
  return Stored(SerialAt(index, RowCount())).Text(column);
}

void EventListModel::Clear() {
  publishTimer_.stop();
  beginResetModel();
  std::deque<StoredRow>().swap(rows_);
  std::deque<std::uint32_t>().swap(order_);
  firstSerial_ = 0;
  published_ = 0;
  sortedEnd_ = 0;
  endResetModel();
}

void EventListModel::SortRows(int column, bool ascending) {
  if (column < 0 || column >= kListColumnCount) return;
  Publish();
  const int count = RowCount();
  if (count < 2) return;

  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList persistent = persistentIndexList();
  std::vector<std::uint32_t> persistentRows;
  persistentRows.reserve(static_cast<std::size_t>(persistent.size()));
  for (const QModelIndex& index : persistent) {
    persistentRows.push_back(SerialAt(index.row(), count) - firstSerial_);
  }

  // Storage indexes of the rows, bottom of the list first.
  std::vector<std::uint32_t> order(order_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = order_[i] - firstSerial_;
  // order runs from the bottom of the list to its top, so it is sorted the other way round.
  // The sort is stable: rows that compare equal keep their order in the list.
  if (column == static_cast<int>(ListColumn::kDate)) {
    // Parse every date once rather than at each of the n log n comparisons, in the order the
    // rows lie in memory.
    std::vector<std::int64_t> keys(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) keys[i] = DateSortKey(rows_[i].Text(column));
    std::vector<std::pair<std::int64_t, std::uint32_t>> items;
    items.reserve(order.size());
    for (std::uint32_t s : order) items.emplace_back(keys[s], s);
    std::stable_sort(items.begin(), items.end(), [ascending](const auto& x, const auto& y) {
      return ascending ? y.first < x.first : x.first < y.first;
    });
    for (std::size_t i = 0; i < items.size(); ++i) order[i] = items[i].second;
  } else {
    // order runs bottom to top, so an ascending list needs a descending order.
    std::vector<std::string_view> texts(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) texts[i] = rows_[i].Text(column);
    SortByText(order, texts, ascending);
  }
  for (std::size_t i = 0; i < order.size(); ++i) order_[i] = order[i] + firstSerial_;
  sortedEnd_ = order_.size();

  if (!persistent.isEmpty()) {
    std::vector<std::uint32_t> displayOf(rows_.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      displayOf[order[i]] = static_cast<std::uint32_t>(order.size() - 1 - i);
    }
    QModelIndexList moved;
    moved.reserve(persistent.size());
    for (qsizetype i = 0; i < persistent.size(); ++i) {
      moved.push_back(
          index(static_cast<int>(displayOf[persistentRows[static_cast<std::size_t>(i)]]),
                persistent[i].column()));
    }
    changePersistentIndexList(persistent, moved);
  }
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

std::vector<EventRow> EventListModel::Snapshot() const {
  std::vector<EventRow> rows;
  rows.reserve(order_.size());
  for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
    rows.push_back(Stored(*it).ToEventRow());
  }
  return rows;
}

// ---------------------------------------------------------------------------------------------
// CSortHeaderCtrl

CSortHeaderCtrl::CSortHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsClickable(true);
  setHighlightSections(false);
  setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void CSortHeaderCtrl::SetSortArrow(int column, bool ascending) {
  sortColumn_ = column;
  ascending_ = ascending;
  if (column >= 0) {
    if (static_cast<std::size_t>(column) >= ownerDrawn_.size()) {
      ownerDrawn_.resize(static_cast<std::size_t>(column) + 1, false);
    }
    ownerDrawn_[static_cast<std::size_t>(column)] = true;
  }
  viewport()->update();
}

bool CSortHeaderCtrl::IsOwnerDrawn(int column) const {
  return column >= 0 && static_cast<std::size_t>(column) < ownerDrawn_.size() &&
         ownerDrawn_[static_cast<std::size_t>(column)];
}

QPolygon CSortHeaderCtrl::ArrowPolygon(const QRect& item, bool ascending) {
  // Edges as the item rectangle gives them: right and bottom lie just outside the item.
  const int o = item.height() / 3;
  const int top = item.top();
  const int right = item.left() + item.width();
  const int bottom = item.top() + item.height();
  QPolygon p;
  if (ascending) {
    p << QPoint(right - 2 * o, top + o + 1) << QPoint(right - o - 2, bottom - o - 2)
      << QPoint(right - 3 * o + 2, bottom - o - 2);
  } else {
    p << QPoint(right - 3 * o + 2, top + o + 1) << QPoint(right - o - 2, top + o + 1)
      << QPoint(right - 2 * o, bottom - o - 2);
  }
  return p;
}

QRect CSortHeaderCtrl::TextRect(const QRect& item, bool isSortColumn) {
  const int o = item.height() / 3;
  QRect r = item.adjusted(o, 0, -o, 0);
  if (isSortColumn) r.setRight(r.right() - 3 * o);
  return r;
}

void CSortHeaderCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
  if (!IsOwnerDrawn(logicalIndex)) {
    QHeaderView::paintSection(painter, rect, logicalIndex);
    return;
  }
  painter->save();
  painter->setClipRect(rect);
  painter->fillRect(rect, palette().button());
  // The frame the header draws around its items.
  painter->setPen(palette().color(QPalette::Mid));
  painter->drawLine(rect.topRight(), rect.bottomRight());
  painter->drawLine(rect.bottomLeft(), rect.bottomRight());

  QRect item = rect;
  if (pressed_ == logicalIndex) item.translate(1, 2);

  const bool isSort = logicalIndex == sortColumn_;
  const QRect textRect = TextRect(item, isSort);
  const Qt::Alignment align =
      model() ? model()
                    ->headerData(logicalIndex, orientation(), Qt::TextAlignmentRole)
                    .value<Qt::Alignment>()
              : Qt::Alignment(Qt::AlignLeft);
  Qt::Alignment horizontal = Qt::AlignLeft;
  if (align & Qt::AlignHCenter) horizontal = Qt::AlignHCenter;
  if (align & Qt::AlignRight) horizontal = Qt::AlignRight;
  QString text = model()
                     ? model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString()
                     : QString();
  text.truncate(255);
  painter->setPen(palette().color(QPalette::ButtonText));
  painter->setFont(font());
  const QString shown = painter->fontMetrics().elidedText(text, Qt::ElideRight, textRect.width());
  painter->drawText(textRect, int(horizontal | Qt::AlignVCenter | Qt::TextSingleLine), shown);

  if (isSort) {
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(Qt::black);
    painter->setBrush(Qt::black);
    painter->drawPolygon(ArrowPolygon(item, ascending_));
  }
  painter->restore();
}

void CSortHeaderCtrl::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && sectionsClickable()) {
    pressed_ = logicalIndexAt(event->position().toPoint());
    viewport()->update();
  }
  QHeaderView::mousePressEvent(event);
}

void CSortHeaderCtrl::mouseReleaseEvent(QMouseEvent* event) {
  pressed_ = -1;
  viewport()->update();
  QHeaderView::mouseReleaseEvent(event);
}

// ---------------------------------------------------------------------------------------------
// CUVTListCtrl

CUVTListCtrl::CUVTListCtrl(QWidget* parent)
    : QTreeView(parent), model_(new EventListModel(this)), header_(new CSortHeaderCtrl(this)) {
  setHeader(header_);
  setModel(model_);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);  // lets the view lay out a million rows without asking each one
  setAllColumnsShowFocus(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  // The list sorts itself on a click; the view's own sorting would also make the headings
  // unclickable.
  setSortingEnabled(false);
  header_->setSectionsClickable(true);
  setTextElideMode(Qt::ElideRight);
  header_->setStretchLastSection(false);
  for (int c = 0; c < kListColumnCount; ++c) setColumnWidth(c, kDefaultColumnWidths[c]);
  connect(header_, &QHeaderView::sectionClicked, this, &CUVTListCtrl::OnColumnClick);
  // The view lays out every row again when rows arrive; with a million rows that is several
  // milliseconds, and the repaint that follows (the top rows have changed) takes a few more.
  // Doing the layout at once, timed, and timing the repaints lets the model space the batches
  // so that the two together never take more than about a quarter of the time, however long
  // the list grows and however fast rows arrive.
  connect(model_, &QAbstractItemModel::rowsInserted, this, [this] {
    QElapsedTimer timer;
    timer.start();
    executeDelayedItemsLayout();
    const qint64 viewNs = timer.nsecsElapsed() + lastPaintNs_;
    const qint64 delayMs =
        std::min<qint64>(viewNs * 3 / 1'000'000, EventListModel::kMaxPublishDelayMs);
    model_->SetPublishDelay(static_cast<int>(delayMs));
  });
}

CUVTListCtrl::~CUVTListCtrl() = default;

QStringList CUVTListCtrl::ColumnTexts(const EventRow& row) {
  QStringList texts;
  for (int c = 0; c < kListColumnCount; ++c) texts << ToQString(ColumnText(row, c));
  return texts;
}

std::vector<int> CUVTListCtrl::SelectedRows() const {
  std::vector<int> rows;
  const int offset = model_->Unpublished();
  for (const QItemSelectionRange& range : selectionModel()->selection()) {
    for (int r = range.top(); r <= range.bottom(); ++r) rows.push_back(r + offset);
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

bool CUVTListCtrl::HasSelection() const {
  return selectionModel()->hasSelection();
}

void CUVTListCtrl::SelectAllRows() {
  model_->Publish();
  setFocus();
  selectAll();
}

void CUVTListCtrl::ClearSelectedRows() {
  selectionModel()->clearSelection();
}

void CUVTListCtrl::SelectRow(int index, bool select) {
  model_->Publish();
  if (index < 0 || index >= model_->rowCount()) return;
  selectionModel()->select(model_->index(index, 0),
                           (select ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                               QItemSelectionModel::Rows);
}

void CUVTListCtrl::OnColumnClick(int column) {
  if (column == sortColumn_) {
    SetSortAscending(!SortAscending());
  } else {
    sortColumn_ = column;
    SetSortAscending(true);
  }
  const bool ascending = SortAscending();
  model_->SortRows(column, ascending);
  header_->SetSortArrow(column, ascending);
}

bool CUVTListCtrl::SortAscending() {
  return gSortAscending.load();
}

void CUVTListCtrl::SetSortAscending(bool ascending) {
  gSortAscending.store(ascending);
}

void CUVTListCtrl::paintEvent(QPaintEvent* event) {
  QElapsedTimer timer;
  timer.start();
  QTreeView::paintEvent(event);
  lastPaintNs_ = timer.nsecsElapsed();
}

bool CUVTListCtrl::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    if (index.isValid()) {
      const QString text = index.data().toString();
      const QRect cell = visualRect(index);
      // The cell's own padding leaves a little less than its width for the text.
      if (fontMetrics().horizontalAdvance(text) > cell.width() - 6) {
        QToolTip::showText(help->globalPos(), text, viewport(), cell);
        return true;
      }
    }
    QToolTip::hideText();
    event->ignore();
    return true;
  }
  return QTreeView::viewportEvent(event);
}

}  // namespace uv::gui
