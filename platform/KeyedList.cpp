#include "platform/KeyedList.h"

#include "platform/DeferredRows.h"
#include "platform/StripScrollBar.h"

#include <QEvent>
#include <QHeaderView>
#include <QSet>
#include <QTimer>

#include <utility>

namespace tsy {

namespace {

bool TextLess(const QString& a, const QString& b) { return QString::compare(a, b, Qt::CaseInsensitive) < 0; }

// A row that carries its key and image name and sorts by its text, ignoring case.
class KeyedRow : public QTreeWidgetItem {
public:
    QString key;
    QString image;

    bool operator<(const QTreeWidgetItem& other) const override
    {
        const auto* list = qobject_cast<const KeyedList*>(treeWidget());
        const int column = list ? list->SortKey() : 0;
        return TextLess(text(column), other.text(column));
    }
};

} // namespace

KeyedList::KeyedList(QWidget* parent) : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setVerticalScrollBar(new StripScrollBar(Qt::Vertical, this));
    setHorizontalScrollBar(new StripScrollBar(Qt::Horizontal, this));
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    mRepaint = new QTimer(this);
    mRepaint->setSingleShot(true);
    mRepaint->setInterval(kRepaintMs);
    connect(mRepaint, &QTimer::timeout, this, &KeyedList::RepaintChanged);
    mFlushTimer = new QTimer(this);
    mFlushTimer->setSingleShot(true);
    mFlushTimer->setInterval(kFlushMs);
    connect(mFlushTimer, &QTimer::timeout, this, &KeyedList::Flush);
}

KeyedList::~KeyedList()
{
    qDeleteAll(mPendingAdds);   // never handed to the view
}

QTreeWidgetItem* KeyedList::AddLater(QTreeWidgetItem* row)
{
    const QString key = KeyOf(row);
    if (Exists(key)) {
        delete row;
        throw CollectionError(35602, "Key is not unique in collection");
    }
    if (!key.isEmpty()) mIndex.insert(key, row);
    mPendingAdds.append(row);
    // A sorted list places the row by its text as it is now, as Add would.
    mPendingSortTexts.append(mSortKey >= 0 && mSortKey < columnCount() ? row->text(mSortKey) : QString());
    if (!mFlushTimer->isActive()) mFlushTimer->start();
    return row;
}

void KeyedList::RemoveLater(const QString& key)
{
    QTreeWidgetItem* row = Row(key);
    mIndex.remove(key);
    if (const qsizetype at = mPendingAdds.indexOf(row); at >= 0) {
        mPendingAdds.removeAt(at);
        mPendingSortTexts.removeAt(at);
        delete row;
        return;
    }
    mPendingRemovals.append(row);
    if (!mFlushTimer->isActive()) mFlushTimer->start();
}

void KeyedList::Flush()
{
    mFlushTimer->stop();
    if (mPendingAdds.isEmpty() && mPendingRemovals.isEmpty()) return;
    qDeleteAll(std::exchange(mPendingRemovals, {}));
    const QList<QTreeWidgetItem*> adds = std::exchange(mPendingAdds, {});
    const QStringList texts = std::exchange(mPendingSortTexts, {});
    if (mSorted && mSortKey >= 0 && mSortKey < columnCount()) {
        for (qsizetype i = 0; i < adds.size(); ++i) insertTopLevelItem(SortedPosition(texts[i]), adds[i]);
    } else {
        addTopLevelItems(adds);
    }
}

bool KeyedList::viewportEvent(QEvent* event)
{
    if (FindsRowsByPlace(event)) Flush();
    return QTreeWidget::viewportEvent(event);
}

void KeyedList::keyPressEvent(QKeyEvent* event)
{
    Flush();
    QTreeWidget::keyPressEvent(event);
}

void KeyedList::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>&)
{
    // Only the changed rows are painted again, unless many changed.
    constexpr qsizetype kManyRows = 16;
    if (topLeft.row() != bottomRight.row() || mChanged.size() >= kManyRows) {
        mChanged.append(QPersistentModelIndex());   // stands for the whole list
    } else {
        const QModelIndex first = topLeft.siblingAtColumn(0);
        if (!mChanged.contains(first)) mChanged.append(first);
    }
    if (!mRepaint->isActive()) mRepaint->start();
}

void KeyedList::RepaintChanged()
{
    const QList<QPersistentModelIndex> changed = std::exchange(mChanged, {});
    for (const QPersistentModelIndex& index : changed) {
        if (!index.isValid()) {
            viewport()->update();
            return;
        }
        const QRect cell = visualRect(index);
        if (cell.isValid()) viewport()->update(QRect(0, cell.top(), viewport()->width(), cell.height()));
    }
}

void KeyedList::SetColumns(const QStringList& headers)
{
    Flush();
    setColumnCount(int(headers.size()));
    setHeaderLabels(headers);
    if (mSorted && mSortKey < columnCount()) {
        header()->setSortIndicator(mSortKey, mSortOrder);
        header()->setSortIndicatorShown(true);
    } else {
        header()->setSortIndicatorShown(false);
    }
}

QTreeWidgetItem* KeyedList::NewRow(const QString& key, const QString& text, const QString& image) const
{
    auto* row = new KeyedRow;
    row->setText(0, text);
    row->key = key;
    if (!image.isEmpty()) SetRowImage(row, image);
    return row;
}

QTreeWidgetItem* KeyedList::Add(const QString& key, const QString& text, const QString& image)
{
    if (Exists(key)) throw CollectionError(35602, "Key is not unique in collection");
    return Add(NewRow(key, text, image));
}

QTreeWidgetItem* KeyedList::Add(QTreeWidgetItem* row)
{
    const QString key = KeyOf(row);
    if (Exists(key)) {
        delete row;
        throw CollectionError(35602, "Key is not unique in collection");
    }
    Flush();
    if (mSorted && mSortKey >= 0 && mSortKey < columnCount()) insertTopLevelItem(SortedPosition(row), row);
    else addTopLevelItem(row);
    if (!key.isEmpty()) mIndex.insert(key, row);
    return row;
}

void KeyedList::AddRows(const QList<QTreeWidgetItem*>& rows)
{
    Flush();
    mIndex.reserve(mIndex.size() + rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const QString key = KeyOf(rows[i]);
        if (key.isEmpty()) continue;
        if (!mIndex.contains(key)) {
            mIndex.insert(key, rows[i]);
            continue;
        }
        // A key already used: none of these rows goes in.
        for (qsizetype j = 0; j < i; ++j) mIndex.remove(KeyOf(rows[j]));
        qDeleteAll(rows);
        throw CollectionError(35602, "Key is not unique in collection");
    }
    addTopLevelItems(rows);
    if (mSorted) SortNow();
}

QTreeWidgetItem* KeyedList::Row(const QString& key) const
{
    QTreeWidgetItem* row = Find(key);
    if (!row) throw CollectionError(35601, "Element not found");
    return row;
}

void KeyedList::Remove(const QString& key)
{
    Flush();
    QTreeWidgetItem* row = Row(key);
    mIndex.remove(key);
    delete row;
}

void KeyedList::Clear()
{
    mFlushTimer->stop();
    qDeleteAll(std::exchange(mPendingAdds, {}));
    mPendingSortTexts.clear();
    mPendingRemovals.clear();   // still in the view: cleared with it
    mIndex.clear();
    QTreeWidget::clear();
}

QString KeyedList::KeyOf(const QTreeWidgetItem* item)
{
    const auto* row = dynamic_cast<const KeyedRow*>(item);
    return row ? row->key : QString();
}

QString KeyedList::ImageOf(const QTreeWidgetItem* item)
{
    const auto* row = dynamic_cast<const KeyedRow*>(item);
    return row ? row->image : QString();
}

void KeyedList::SetRowImage(QTreeWidgetItem* row, const QString& image) const
{
    if (auto* keyed = dynamic_cast<KeyedRow*>(row)) keyed->image = image;
    row->setIcon(0, mImages.value(image));
}

void KeyedList::SetImages(const QHash<QString, QIcon>& images)
{
    Flush();
    mImages = images;
    for (int i = 0; i < topLevelItemCount(); ++i) SetRowImage(topLevelItem(i), ImageOf(topLevelItem(i)));
}

void KeyedList::SetSorting(bool sorted, int key, Qt::SortOrder order)
{
    Flush();
    mSorted = sorted;
    mSortKey = key;
    mSortOrder = order;
    header()->setSortIndicatorShown(sorted && key < columnCount());
    if (sorted) SortNow();
}

void KeyedList::SortNow()
{
    // A sort key beyond this layout's columns leaves the rows in their order.
    if (mSortKey < 0 || mSortKey >= columnCount()) return;
    header()->setSortIndicator(mSortKey, mSortOrder);
    sortItems(mSortKey, mSortOrder);
}

// Where a new row goes among the sorted rows: after the rows it ties with.
int KeyedList::SortedPosition(const QTreeWidgetItem* row) const { return SortedPosition(row->text(mSortKey)); }

int KeyedList::SortedPosition(const QString& text) const
{
    int low = 0, high = topLevelItemCount();
    while (low < high) {
        const int mid = (low + high) / 2;
        const QString other = topLevelItem(mid)->text(mSortKey);
        const bool before = mSortOrder == Qt::AscendingOrder ? TextLess(text, other) : TextLess(other, text);
        if (before) high = mid;
        else low = mid + 1;
    }
    return low;
}

} // namespace tsy
