#include "platform/KeyedList.h"

#include <QHeaderView>
#include <QSet>

namespace tsy {

namespace {

bool TextLess(const QString& a, const QString& b) { return QString::compare(a, b, Qt::CaseInsensitive) < 0; }

// A row that sorts by its text, ignoring case.
class KeyedRow : public QTreeWidgetItem {
public:
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
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
}

void KeyedList::SetColumns(const QStringList& headers)
{
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
    row->setData(0, KeyRole, key);
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
    if (mSorted && mSortKey >= 0 && mSortKey < columnCount()) insertTopLevelItem(SortedPosition(row), row);
    else addTopLevelItem(row);
    if (!key.isEmpty()) mIndex.insert(key, row);
    return row;
}

void KeyedList::AddRows(const QList<QTreeWidgetItem*>& rows)
{
    QSet<QString> keys;
    for (const QTreeWidgetItem* row : rows) {
        const QString key = KeyOf(row);
        if (key.isEmpty()) continue;
        if (Exists(key) || keys.contains(key)) {
            qDeleteAll(rows);
            throw CollectionError(35602, "Key is not unique in collection");
        }
        keys.insert(key);
    }
    for (QTreeWidgetItem* row : rows) {
        const QString key = KeyOf(row);
        if (!key.isEmpty()) mIndex.insert(key, row);
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
    QTreeWidgetItem* row = Row(key);
    mIndex.remove(key);
    delete row;
}

void KeyedList::Clear()
{
    mIndex.clear();
    QTreeWidget::clear();
}

QString KeyedList::KeyOf(const QTreeWidgetItem* item)
{
    return item ? item->data(0, KeyRole).toString() : QString();
}

void KeyedList::SetRowImage(QTreeWidgetItem* row, const QString& image) const
{
    row->setData(0, ImageRole, image);
    row->setIcon(0, mImages.value(image));
}

void KeyedList::SetImages(const QHash<QString, QIcon>& images)
{
    mImages = images;
    for (int i = 0; i < topLevelItemCount(); ++i)
        SetRowImage(topLevelItem(i), topLevelItem(i)->data(0, ImageRole).toString());
}

void KeyedList::SetSorting(bool sorted, int key, Qt::SortOrder order)
{
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
int KeyedList::SortedPosition(const QTreeWidgetItem* row) const
{
    const QString text = row->text(mSortKey);
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
