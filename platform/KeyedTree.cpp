#include "platform/KeyedTree.h"

#include <QTreeWidgetItemIterator>

namespace tsy {

KeyedTree::KeyedTree(QWidget* parent) : QTreeWidget(parent)
{
    setColumnCount(1);
    setHeaderHidden(true);
}

QTreeWidgetItem* KeyedTree::Add(const QString& parentKey, const QString& key, const QString& text,
                                const QString& image, int index)
{
    if (Exists(key))
        throw CollectionError(35602, "Key is not unique in collection");
    QTreeWidgetItem* parent = nullptr;
    if (!parentKey.isEmpty()) {
        parent = Find(parentKey);
        if (!parent) throw CollectionError(35601, "Element not found");
    }
    auto* item = new QTreeWidgetItem;
    item->setText(0, text);
    item->setData(0, KeyRole, key);
    ApplyImage(item, image);
    if (parent) {
        if (index < 0 || index > parent->childCount()) parent->addChild(item);
        else parent->insertChild(index, item);
    } else {
        if (index < 0 || index > topLevelItemCount()) addTopLevelItem(item);
        else insertTopLevelItem(index, item);
    }
    if (!key.isEmpty()) mIndex.insert(key, item);
    ++mCount;
    return item;
}

QTreeWidgetItem* KeyedTree::Node(const QString& key) const
{
    QTreeWidgetItem* item = Find(key);
    if (!item) throw CollectionError(35601, "Element not found");
    return item;
}

void KeyedTree::Unindex(QTreeWidgetItem* item)
{
    // Iterative walk: a deep or wide sub-tree must not exhaust the stack.
    QList<QTreeWidgetItem*> stack{item};
    while (!stack.isEmpty()) {
        QTreeWidgetItem* it = stack.takeLast();
        const QString k = KeyOf(it);
        if (!k.isEmpty()) mIndex.remove(k);
        --mCount;
        for (int i = 0; i < it->childCount(); ++i) stack.append(it->child(i));
    }
}

void KeyedTree::RemoveItem(QTreeWidgetItem* item)
{
    if (!item) return;
    Unindex(item);
    delete item;   // detaches from the tree and deletes the children
}

void KeyedTree::Remove(const QString& key) { RemoveItem(Node(key)); }

void KeyedTree::RemoveChildren(const QString& key)
{
    QTreeWidgetItem* parent = Node(key);
    const auto kids = parent->takeChildren();
    for (QTreeWidgetItem* c : kids) {
        Unindex(c);
        delete c;
    }
}

void KeyedTree::Rekey(const QString& key, const QString& newKey)
{
    QTreeWidgetItem* item = Node(key);
    if (newKey == key) return;
    if (newKey.isEmpty() || mIndex.contains(newKey)) throw CollectionError(35602, "Key is not unique in collection");
    mIndex.remove(key);
    mIndex.insert(newKey, item);
    item->setData(0, KeyRole, newKey);
}

void KeyedTree::Clear()
{
    mIndex.clear();
    mCount = 0;
    QTreeWidget::clear();
}

QString KeyedTree::KeyOf(const QTreeWidgetItem* item)
{
    return item ? item->data(0, KeyRole).toString() : QString();
}

QString KeyedTree::ParentKey(const QString& key) const { return KeyOf(Node(key)->parent()); }

QStringList KeyedTree::ChildKeys(const QString& key) const
{
    QStringList out;
    if (key.isEmpty()) {
        for (int i = 0; i < topLevelItemCount(); ++i) out.append(KeyOf(topLevelItem(i)));
    } else {
        const QTreeWidgetItem* p = Node(key);
        for (int i = 0; i < p->childCount(); ++i) out.append(KeyOf(p->child(i)));
    }
    return out;
}

int KeyedTree::Children(const QString& key) const
{
    return key.isEmpty() ? topLevelItemCount() : Node(key)->childCount();
}

QString KeyedTree::SelectedKey() const { return KeyOf(currentItem()); }

void KeyedTree::Select(const QString& key)
{
    QTreeWidgetItem* item = Node(key);
    setCurrentItem(item);
    item->setSelected(true);
}

void KeyedTree::SetImages(const QHash<QString, QIcon>& images)
{
    mImages = images;
    for (QTreeWidgetItemIterator it(this); *it; ++it) ApplyImage(*it, (*it)->data(0, ImageRole).toString());
}

void KeyedTree::ApplyImage(QTreeWidgetItem* item, const QString& image)
{
    item->setData(0, ImageRole, image);
    item->setIcon(0, mImages.value(image));
}

} // namespace tsy
