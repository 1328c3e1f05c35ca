#pragma once
// Stand-in for the flat list view with keyed rows: every row has a unique
// text key (or none), a text per column and a small icon by image name.
// Failures throw CollectionError like the keyed collection does.
//
// Add and remove rows only through this class (not through QTreeWidget's own
// clear()/takeTopLevelItem()/delete), so the key index stays right.
//
// Sorting is a case-insensitive text sort on one column. While the list is
// sorted, rows added later go to their sorted place; a row whose text changes
// keeps its place until the list is sorted again.
#include "platform/KeyedCollection.h"

#include <QHash>
#include <QIcon>
#include <QList>
#include <QPersistentModelIndex>
#include <QString>
#include <QStringList>
#include <QTreeWidget>

class QTimer;

namespace tsy {

class KeyedList : public QTreeWidget {
    Q_OBJECT
public:
    explicit KeyedList(QWidget* parent = nullptr);
    ~KeyedList() override;

    // Replaces the columns with these headers; the rows stay.
    void SetColumns(const QStringList& headers);

    // A row that is not in the list yet: fill its columns, then Add or AddRows it.
    QTreeWidgetItem* NewRow(const QString& key, const QString& text, const QString& image = QString()) const;
    // Adds one row (at its sorted place when the list is sorted). Throws 35602
    // when the key is already used; a row made by NewRow is then deleted.
    QTreeWidgetItem* Add(const QString& key, const QString& text, const QString& image = QString());
    QTreeWidgetItem* Add(QTreeWidgetItem* row);
    // Adds rows made by NewRow at once, sorting once when the list is sorted.
    // Takes them over; on a key already used (35602) adds none and deletes them.
    void AddRows(const QList<QTreeWidgetItem*>& rows);

    // Add and Remove, but the view gets the change at the next Flush, together
    // with every row added or removed close to it: the view lays out all its
    // rows after each change, which rows coming and going with every relayed
    // connection would otherwise cost each time. The key index changes at
    // once: the row is found, read and changed by key meanwhile. Flush runs
    // at the latest kFlushMs later, before any other change of the rows, and
    // before a click or key reaches the list.
    QTreeWidgetItem* AddLater(QTreeWidgetItem* row);
    void RemoveLater(const QString& key);   // throws 35601 when missing
    void Flush();
    static constexpr int kFlushMs = 40;

    bool Exists(const QString& key) const { return !key.isEmpty() && mIndex.contains(key); }
    QTreeWidgetItem* Find(const QString& key) const { return key.isEmpty() ? nullptr : mIndex.value(key, nullptr); }
    QTreeWidgetItem* Row(const QString& key) const;   // throws 35601 when missing
    int Count() const { return topLevelItemCount() + int(mPendingAdds.size() - mPendingRemovals.size()); }

    void Remove(const QString& key);                  // throws 35601 when missing
    void Clear();                                     // every row; the columns stay

    // Key and image name of a row made by NewRow; empty for any other item.
    static QString KeyOf(const QTreeWidgetItem* item);
    static QString ImageOf(const QTreeWidgetItem* item);
    QString Text(const QString& key, int column = 0) const { return Row(key)->text(column); }
    void SetText(const QString& key, int column, const QString& text) { Row(key)->setText(column, text); }
    QString Image(const QString& key) const { return ImageOf(Row(key)); }
    void SetImage(const QString& key, const QString& image) { SetRowImage(Row(key), image); }
    void SetRowImage(QTreeWidgetItem* row, const QString& image) const;

    // The image list; rows added before it was set get their icons now.
    void SetImages(const QHash<QString, QIcon>& images);

    bool Sorted() const { return mSorted; }
    int SortKey() const { return mSortKey; }
    Qt::SortOrder SortOrder() const { return mSortOrder; }
    // Sets the sort state and sorts the rows by it at once.
    void SetSorting(bool sorted, int key, Qt::SortOrder order);

protected:
    // A changed text repaints the list within kRepaintMs instead of at once:
    // a row updated on every relayed event would otherwise repaint the list
    // on every pass of the event loop. Rows are all one height, so a text
    // change never moves another row.
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;
    bool viewportEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    static constexpr int kRepaintMs = 40;
    void RepaintChanged();
    void SortNow();
    int SortedPosition(const QTreeWidgetItem* row) const;
    int SortedPosition(const QString& text) const;

    QHash<QString, QTreeWidgetItem*> mIndex;
    QHash<QString, QIcon> mImages;
    QTimer* mRepaint = nullptr;
    QTimer* mFlushTimer = nullptr;
    QList<QTreeWidgetItem*> mPendingAdds;       // keyed, not in the view yet
    QStringList mPendingSortTexts;              // each one's sort text when added
    QList<QTreeWidgetItem*> mPendingRemovals;   // in the view, keys gone
    QList<QPersistentModelIndex> mChanged;   // rows to repaint; a few at most
    bool mSorted = false;
    int mSortKey = 0;
    Qt::SortOrder mSortOrder = Qt::AscendingOrder;
};

} // namespace tsy
