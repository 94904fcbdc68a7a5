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
#include <numeric>

#include "gui/common/MachineText.h"

namespace uv::gui {
namespace {

// One direction for every list of the program: clicking a heading in one list and then in
// another continues from the direction the first left behind.
std::atomic<bool> gSortAscending{true};

QString ToQString(const std::string& text) {
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
    const EventRow& row = rows_[StorageIndex(index.row(), published_)];
    return ToQString(ColumnText(row, index.column()));
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
  // Storage indexes are 32-bit; four billion rows are far beyond any memory we could have.
  rows_.push_back(std::move(row));
  order_.push_back(static_cast<std::uint32_t>(rows_.size() - 1));
  if (!publishTimer_.isActive()) publishTimer_.start();
}

void EventListModel::Publish() {
  publishTimer_.stop();
  const int total = static_cast<int>(order_.size());
  if (total == published_) return;
  beginInsertRows(QModelIndex(), 0, total - published_ - 1);
  published_ = total;
  endInsertRows();
}

void EventListModel::SetPublishDelay(int ms) {
  publishTimer_.setInterval(std::clamp(ms, kPublishDelayMs, kMaxPublishDelayMs));
}

const EventRow& EventListModel::Row(int index) const {
  static const EventRow kNoRow;
  assert(index >= 0 && index < RowCount());
  if (index < 0 || index >= RowCount()) return kNoRow;
  return rows_[StorageIndex(index, RowCount())];
}

void EventListModel::Clear() {
  publishTimer_.stop();
  beginResetModel();
  std::deque<EventRow>().swap(rows_);
  std::vector<std::uint32_t>().swap(order_);
  published_ = 0;
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
    persistentRows.push_back(static_cast<std::uint32_t>(StorageIndex(index.row(), count)));
  }

  // order_ runs from the bottom of the list to its top, so it is sorted the other way round.
  // The sort is stable: rows that compare equal keep their order in the list.
  if (column == static_cast<int>(ListColumn::kDate)) {
    // Parse every date once rather than at each of the n log n comparisons.
    std::vector<std::int64_t> keys(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) keys[i] = DateSortKey(rows_[i].date);
    std::vector<std::pair<std::int64_t, std::uint32_t>> items;
    items.reserve(order_.size());
    for (std::uint32_t s : order_) items.emplace_back(keys[s], s);
    std::stable_sort(items.begin(), items.end(), [ascending](const auto& x, const auto& y) {
      return ascending ? y.first < x.first : x.first < y.first;
    });
    for (std::size_t i = 0; i < items.size(); ++i) order_[i] = items[i].second;
  } else {
    // order_ runs bottom to top, so an ascending list needs a descending order_.
    std::vector<std::string_view> texts(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) texts[i] = ColumnText(rows_[i], column);
    SortByText(order_, texts, ascending);
  }

  if (!persistent.isEmpty()) {
    std::vector<std::uint32_t> displayOf(rows_.size());
    for (std::size_t i = 0; i < order_.size(); ++i) {
      displayOf[order_[i]] = static_cast<std::uint32_t>(order_.size() - 1 - i);
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
  for (auto it = order_.rbegin(); it != order_.rend(); ++it) rows.push_back(rows_[*it]);
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
  // milliseconds. Doing it at once, timed, lets the model space the batches so that the
  // relayout never takes more than about a quarter of the time, however long the list grows.
  connect(model_, &QAbstractItemModel::rowsInserted, this, [this] {
    QElapsedTimer timer;
    timer.start();
    executeDelayedItemsLayout();
    model_->SetPublishDelay(static_cast<int>(timer.elapsed()) * 3);
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
