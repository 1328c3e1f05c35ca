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
#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <QVariant>

namespace tsy {

class KeyedTree : public QTreeWidget {
    Q_OBJECT
public:
    enum Role { KeyRole = Qt::UserRole, ImageRole = Qt::UserRole + 1, TagRole = Qt::UserRole + 2 };

    explicit KeyedTree(QWidget* parent = nullptr);

    // Adds a node as the last child of parentKey (empty parentKey: a top-level
    // node); index >= 0 inserts it at that position among the siblings (0 first).
    // Throws 35602 when key is already used, 35601 when the parent is missing.
    QTreeWidgetItem* Add(const QString& parentKey, const QString& key, const QString& text,
                         const QString& image = QString(), int index = -1);

    bool Exists(const QString& key) const { return !key.isEmpty() && mIndex.contains(key); }
    QTreeWidgetItem* Find(const QString& key) const { return key.isEmpty() ? nullptr : mIndex.value(key, nullptr); }
    QTreeWidgetItem* Node(const QString& key) const;   // throws 35601 when missing
    int Count() const { return mCount; }               // every node, keyed or not

    // Removes the node, its descendants and all their keys. Throws when missing.
    void Remove(const QString& key);
    void RemoveItem(QTreeWidgetItem* item);
    void RemoveChildren(const QString& key);
    // Gives a node another key; its place, text, image, tag and children
    // stay. Throws 35601 when it is missing, 35602 when newKey is taken.
    void Rekey(const QString& key, const QString& newKey);
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
    bool Expanded(const QString& key) const { return Node(key)->isExpanded(); }
    void SetExpanded(const QString& key, bool expanded) { Node(key)->setExpanded(expanded); }

    QString SelectedKey() const;                       // "" when nothing is selected
    void Select(const QString& key);

    // The image list: image names map to icons; nodes added before the list is
    // set get their icons when it is set.
    void SetImages(const QHash<QString, QIcon>& images);

private:
    void ApplyImage(QTreeWidgetItem* item, const QString& image);
    void Unindex(QTreeWidgetItem* item);

    QHash<QString, QTreeWidgetItem*> mIndex;
    QHash<QString, QIcon> mImages;
    int mCount = 0;
};

} // namespace tsy
