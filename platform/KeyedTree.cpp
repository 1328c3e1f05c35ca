#include "platform/KeyedTree.h"

#include <QEvent>
#include <QTreeWidgetItemIterator>

namespace tsy {

namespace {

// The key lives in the item rather than in its model data, so that giving a
// node another key (the purge renumbers a whole branch) tells the view
// nothing: keys are never shown.
class KeyedItem : public QTreeWidgetItem {
public:
    static constexpr int kType = QTreeWidgetItem::UserType + 1;
    explicit KeyedItem(const QString& key) : QTreeWidgetItem(kType), mKey(key) {}
    QVariant data(int column, int role) const override
    {
        if (column == 0 && role == KeyedTree::KeyRole) return mKey;
        return QTreeWidgetItem::data(column, role);
    }
    QString mKey;
};

QString ItemKey(const QTreeWidgetItem* item)
{
    if (item->type() == KeyedItem::kType) return static_cast<const KeyedItem*>(item)->mKey;
    return KeyedTree::KeyOf(item);
}

void SetKey(QTreeWidgetItem* item, const QString& key)
{
    if (item->type() == KeyedItem::kType) static_cast<KeyedItem*>(item)->mKey = key;
    else item->setData(0, KeyedTree::KeyRole, key);
}

} // namespace

KeyedTree::KeyedTree(QWidget* parent) : QTreeWidget(parent)
{
    setColumnCount(1);
    setHeaderHidden(true);
    mFlushTimer.setSingleShot(true);
    mFlushTimer.setInterval(kFlushMs);
    connect(&mFlushTimer, &QTimer::timeout, this, &KeyedTree::Flush);
}

KeyedTree::~KeyedTree()
{
    for (const Pending& p : std::as_const(mPending)) qDeleteAll(p.add);
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
    Flush();   // the index counts among the siblings the view will show
    auto* item = new KeyedItem(key);
    item->setText(0, text);
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

QTreeWidgetItem* KeyedTree::AddLater(const QString& parentKey, const QString& key, const QString& text,
                                     const QString& image)
{
    if (Exists(key))
        throw CollectionError(35602, "Key is not unique in collection");
    QTreeWidgetItem* parent = Node(parentKey);
    if (mPendingParent.contains(parent)) Flush();   // a parent of its own not yet shown
    auto* item = new KeyedItem(key);
    item->setText(0, text);
    ApplyImage(item, image);
    mPending[parent].add.append(item);
    mPendingParent.insert(item, parent);
    if (!key.isEmpty()) mIndex.insert(key, item);
    ++mCount;
    if (!mFlushTimer.isActive()) mFlushTimer.start();
    return item;
}

void KeyedTree::RemoveFirstChildren(const QString& key, int count)
{
    QTreeWidgetItem* parent = Node(key);
    if (count <= 0) return;
    // Removals elsewhere could hold this branch; settle them first.
    if (mPending.size() > 1 || (mPending.size() == 1 && !mPending.contains(parent))) Flush();
    // The view moves the current node off a removed one at once; keep that.
    const QTreeWidgetItem* current = currentItem();
    while (current && current->parent() != parent) current = current->parent();
    if (current) {
        Flush();
        for (int i = 0; i < count && parent->childCount() > 0; ++i) RemoveItem(parent->child(0));
        return;
    }
    const auto found = mPending.find(parent);
    Pending* p = found == mPending.end() ? nullptr : &found.value();
    int drop = p ? p->drop : 0;
    QList<QTreeWidgetItem*> dropped;
    for (; count > 0 && drop < parent->childCount(); --count) dropped.append(parent->child(drop++));
    if (dropped.isEmpty() && (!p || p->add.isEmpty())) return;
    if (!p) p = &mPending[parent];
    p->drop = drop;
    // Their rows stay until the flush: unkeyed, so nothing finds them by key.
    for (QTreeWidgetItem* item : std::as_const(dropped)) Unindex(item, true);
    for (; count > 0 && !p->add.isEmpty(); --count) {
        QTreeWidgetItem* item = p->add.takeFirst();
        mPendingParent.remove(item);
        Unindex(item);
        delete item;
    }
    if (!mFlushTimer.isActive()) mFlushTimer.start();
}

void KeyedTree::Flush()
{
    mFlushTimer.stop();
    if (mPending.isEmpty()) return;
    const auto pending = std::exchange(mPending, {});
    mPendingParent.clear();
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        QTreeWidgetItem* parent = it.key();
        for (int i = 0; i < it->drop && parent->childCount() > 0; ++i) delete parent->takeChild(0);
        if (!it->add.isEmpty()) parent->addChildren(it->add);
    }
}

bool KeyedTree::viewportEvent(QEvent* event)
{
    // A click or menu must find the rows the keys describe.
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::ContextMenu: Flush(); break;
    default: break;
    }
    return QTreeWidget::viewportEvent(event);
}

void KeyedTree::keyPressEvent(QKeyEvent* event)
{
    Flush();
    QTreeWidget::keyPressEvent(event);
}

QTreeWidgetItem* KeyedTree::Node(const QString& key) const
{
    QTreeWidgetItem* item = Find(key);
    if (!item) throw CollectionError(35601, "Element not found");
    return item;
}

void KeyedTree::Unindex(QTreeWidgetItem* item, bool unkey)
{
    // Iterative walk: a deep or wide sub-tree must not exhaust the stack.
    QList<QTreeWidgetItem*> stack{item};
    while (!stack.isEmpty()) {
        QTreeWidgetItem* it = stack.takeLast();
        const QString k = KeyOf(it);
        if (!k.isEmpty()) mIndex.remove(k);
        if (unkey) SetKey(it, QString());
        --mCount;
        for (int i = 0; i < it->childCount(); ++i) stack.append(it->child(i));
    }
}

void KeyedTree::RemoveItem(QTreeWidgetItem* item)
{
    if (!item) return;
    Flush();
    Unindex(item);
    delete item;   // detaches from the tree and deletes the children
}

void KeyedTree::Remove(const QString& key) { RemoveItem(Node(key)); }

void KeyedTree::RemoveChildren(const QString& key)
{
    QTreeWidgetItem* parent = Node(key);
    Flush();
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
    SetKey(item, newKey);
}

bool KeyedTree::RenumberChildren(const QString& key, const QString& prefix)
{
    QTreeWidgetItem* parent = Node(key);
    const auto found = mPending.constFind(parent);
    const int drop = found == mPending.constEnd() ? 0 : found->drop;
    const QList<QTreeWidgetItem*> added = found == mPending.constEnd() ? QList<QTreeWidgetItem*>() : found->add;
    const int attached = parent->childCount() - drop;
    bool changed = false;
    for (int i = 0; i < attached + added.size(); ++i) {
        QTreeWidgetItem* item = i < attached ? parent->child(drop + i) : added[i - attached];
        const QString old = ItemKey(item);
        // Most branches are numbered already but for the oldest gone: look
        // before building the new key.
        const QStringView number = QStringView(old).mid(prefix.size());
        bool ok = false;
        if (old.startsWith(prefix) && !number.isEmpty() && number.front() >= u'1' && number.front() <= u'9'
            && number.toInt(&ok) == i + 1 && ok)
            continue;
        const QString newKey = prefix + QString::number(i + 1);
        QTreeWidgetItem*& slot = mIndex[newKey];
        if (slot && slot != item) throw CollectionError(35602, "Key is not unique in collection");
        slot = item;
        if (!old.isEmpty()) mIndex.remove(old);
        SetKey(item, newKey);
        changed = true;
    }
    return changed;
}

bool KeyedTree::Expanded(const QString& key)
{
    QTreeWidgetItem* item = Node(key);
    if (mPendingParent.contains(item)) Flush();
    return item->isExpanded();
}

void KeyedTree::SetExpanded(const QString& key, bool expanded)
{
    QTreeWidgetItem* item = Node(key);
    Flush();
    item->setExpanded(expanded);
}

void KeyedTree::Clear()
{
    mFlushTimer.stop();
    for (const Pending& p : std::as_const(mPending)) qDeleteAll(p.add);
    mPending.clear();
    mPendingParent.clear();
    mIndex.clear();
    mCount = 0;
    QTreeWidget::clear();
}

QString KeyedTree::KeyOf(const QTreeWidgetItem* item)
{
    return item ? item->data(0, KeyRole).toString() : QString();
}

QString KeyedTree::ParentKey(const QString& key) const
{
    const QTreeWidgetItem* item = Node(key);
    return KeyOf(mPendingParent.value(item, item->parent()));
}

QStringList KeyedTree::ChildKeys(const QString& key) const
{
    QStringList out;
    if (key.isEmpty()) {
        for (int i = 0; i < topLevelItemCount(); ++i) out.append(KeyOf(topLevelItem(i)));
    } else {
        QTreeWidgetItem* p = Node(key);
        const Pending pending = mPending.value(p);
        for (int i = pending.drop; i < p->childCount(); ++i) out.append(KeyOf(p->child(i)));
        for (const QTreeWidgetItem* c : pending.add) out.append(KeyOf(c));
    }
    return out;
}

int KeyedTree::Children(const QString& key) const
{
    if (key.isEmpty()) return topLevelItemCount();
    QTreeWidgetItem* p = Node(key);
    const Pending pending = mPending.value(p);
    return p->childCount() - pending.drop + int(pending.add.size());
}

QString KeyedTree::SelectedKey() const { return KeyOf(currentItem()); }

void KeyedTree::Select(const QString& key)
{
    QTreeWidgetItem* item = Node(key);
    Flush();
    setCurrentItem(item);
    item->setSelected(true);
}

void KeyedTree::SetImages(const QHash<QString, QIcon>& images)
{
    mImages = images;
    Flush();
    for (QTreeWidgetItemIterator it(this); *it; ++it) ApplyImage(*it, (*it)->data(0, ImageRole).toString());
}

void KeyedTree::ApplyImage(QTreeWidgetItem* item, const QString& image)
{
    item->setData(0, ImageRole, image);
    item->setIcon(0, mImages.value(image));
}

} // namespace tsy
