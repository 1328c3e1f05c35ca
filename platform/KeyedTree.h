#pragma once
// Stand-in for the tree view with keyed nodes: every node has a unique text
// key (or none), a text, an image name, a tag and an expanded state. Nodes are
// added under a parent key and removed with their whole sub-tree. Failures
// throw CollectionError like the keyed collection does.
//
// Add and remove nodes only through this class (not through QTreeWidget's own
// clear()/takeTopLevelItem()/delete), so the key index stays right.
#include "platform/KeyedCollection.h"

#include <QHash>
#include <QIcon>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QTreeWidget>
#include <QVariant>

#include <functional>

namespace tsy {

class KeyedTreeItem;

class KeyedTree : public QTreeWidget {
    Q_OBJECT
public:
    enum Role { KeyRole = Qt::UserRole, ImageRole = Qt::UserRole + 1, TagRole = Qt::UserRole + 2 };

    explicit KeyedTree(QWidget* parent = nullptr);
    ~KeyedTree() override;

    // Adds a node as the last child of parentKey (empty parentKey: a top-level
    // node); index >= 0 inserts it at that position among the siblings (0 first).
    // Throws 35602 when key is already used, 35601 when the parent is missing.
    QTreeWidgetItem* Add(const QString& parentKey, const QString& key, const QString& text,
                         const QString& image = QString(), int index = -1);

    // Appends a node like Add, but the view only gets it at the next Flush,
    // together with every node added or removed close to it: a view relays
    // out a whole open branch at each change, which a stream of nodes would
    // otherwise cost at every one. The node is found, read and changed by key
    // at once; Flush runs at the latest kFlushMs later, or before anything
    // that needs the view's own items (selection, clicks, removal...).
    QTreeWidgetItem* AddLater(const QString& parentKey, const QString& key, const QString& text,
                              const QString& image = QString());
    // Removes the first count children of a node (fewer when it has fewer),
    // their keys at once and their rows from the view at the next Flush.
    void RemoveFirstChildren(const QString& key, int count);
    void Flush();
    static constexpr int kFlushMs = 100;

    bool Exists(const QString& key) const { return Find(key) != nullptr; }
    QTreeWidgetItem* Find(const QString& key) const
    {
        if (key.isEmpty()) return nullptr;
        if (QTreeWidgetItem* item = mIndex.value(key, nullptr)) return item;
        return mNumbered.isEmpty() ? nullptr : FindNumbered(key);
    }
    QTreeWidgetItem* Node(const QString& key) const;   // throws 35601 when missing
    int Count() const { return mCount; }               // every node, keyed or not

    // Removes the node, its descendants and all their keys. Throws when missing.
    void Remove(const QString& key);
    void RemoveItem(QTreeWidgetItem* item);
    void RemoveChildren(const QString& key);
    // Told of each node that Remove or RemoveChildren takes away with its
    // sub-tree, with its key and its parent's, while both can still be read.
    std::function<void(const QString& key, const QString& parentKey)> OnRemoving;
    // Gives a node another key; its place, text, image, tag and children
    // stay. Throws 35601 when it is missing, 35602 when newKey is taken.
    void Rekey(const QString& key, const QString& newKey);
    // Gives the children of a node (those the view has yet to get too) the
    // keys prefix + "1", prefix + "2"... in order, as Rekey would one by one;
    // true when any key changed. With the prefix key + "-" and leaves for
    // children, the branch stays numbered from then on: its children answer
    // to their positions without keys of their own, so that the next
    // RemoveFirstChildren renumbers the rest at once and at no cost, and
    // children appended under the next number stay numbered. Anything else
    // done to one of them (removal, Rekey, a child of its own, an insertion)
    // first gives every child its key back, as the node itself would have it.
    bool RenumberChildren(const QString& key, const QString& prefix);
    void Clear();

    static QString KeyOf(const QTreeWidgetItem* item);
    QString ParentKey(const QString& key) const;       // "" for a top-level node
    QStringList ChildKeys(const QString& key) const;   // in order; "" for the top level
    int Children(const QString& key) const;

    QString Text(const QString& key) const { return Node(key)->text(0); }
    void SetText(const QString& key, const QString& text) { Node(key)->setText(0, text); }
    QString Image(const QString& key) const { return Node(key)->data(0, ImageRole).toString(); }
    void SetImage(const QString& key, const QString& image) { ApplyImage(Node(key), image); }
    QVariant Tag(const QString& key) const { return Node(key)->data(0, TagRole); }
    void SetTag(const QString& key, const QVariant& tag) { Node(key)->setData(0, TagRole, tag); }
    bool Expanded(const QString& key);
    void SetExpanded(const QString& key, bool expanded);

    QString SelectedKey() const;                       // "" when nothing is selected
    void Select(const QString& key);

    // The image list: image names map to icons; nodes added before the list is
    // set get their icons when it is set.
    void SetImages(const QHash<QString, QIcon>& images);

protected:
    bool viewportEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend class KeyedTreeItem;
    // What the view still lacks of an attached node's children: its first
    // `drop` children are gone already (unkeyed), `add` follow its last.
    struct Pending {
        int drop = 0;
        QList<QTreeWidgetItem*> add;
    };
    void ApplyImage(QTreeWidgetItem* item, const QString& image);
    void Unindex(QTreeWidgetItem* item, bool unkey = false);
    void DeleteItem(QTreeWidgetItem* item);
    QTreeWidgetItem* NewItem(const QString& key);
    void Recycle(QTreeWidgetItem* item);
    // Numbered branches.
    QTreeWidgetItem* FindNumbered(const QString& key) const;
    QTreeWidgetItem* ParentOf(const QTreeWidgetItem* item) const;
    int LiveChildren(const QTreeWidgetItem* parent) const;
    QTreeWidgetItem* LiveChild(QTreeWidgetItem* parent, int position) const;
    QString NumberedKey(const QTreeWidgetItem* item) const;
    bool IsNextNumber(const QTreeWidgetItem* parent, const QString& key) const;
    void Materialize(QTreeWidgetItem* parent);
    void MaterializeAround(QTreeWidgetItem* item);

    QHash<QString, QTreeWidgetItem*> mIndex;
    QHash<QString, QIcon> mImages;
    int mCount = 0;
    QHash<QTreeWidgetItem*, Pending> mPending;                // by attached parent
    QHash<const QTreeWidgetItem*, QTreeWidgetItem*> mPendingParent;   // added node -> parent
    QTimer mFlushTimer;
    QSet<const QTreeWidgetItem*> mNumbered;   // parents whose children answer to their positions
    QSet<const QTreeWidgetItem*> mMoved;      // numbered parents that lost children since the last renumbering
    QList<KeyedTreeItem*> mSpare;             // nodes trimmed before the view got them, for the next ones
    QSet<const QTreeWidgetItem*> mExpanded;   // as the view last said through its signals
};

} // namespace tsy
