#include "platform/KeyedTree.h"

#include "platform/DeferredRows.h"
#include "platform/StripScrollBar.h"

#include <QEvent>
#include <QTreeWidgetItemIterator>

namespace tsy {

// The key lives in the item rather than in its model data, so that giving a
// node another key (the purge renumbers a whole branch) tells the view
// nothing: keys are never shown. A child of a numbered branch has no key of
// its own: it answers to its position. Its text, image name and tag are
// kept the same way, the icon looked up when shown: under traffic most event
// nodes go again before the view ever gets them, and such a node is used
// again for the next one.
class KeyedTreeItem : public QTreeWidgetItem {
public:
    static constexpr int kType = QTreeWidgetItem::UserType + 1;
    KeyedTreeItem(const QString& key, const KeyedTree* tree) : QTreeWidgetItem(kType), mKey(key), mTree(tree) {}
    QVariant data(int column, int role) const override
    {
        if (column == 0) {
            switch (role) {
            case KeyedTree::KeyRole: return mKey.isEmpty() ? mTree->NumberedKey(this) : mKey;
            case KeyedTree::ImageRole: return mImage;
            case KeyedTree::TagRole: return mTag;
            case Qt::DisplayRole:
            case Qt::EditRole: return mText;
            case Qt::DecorationRole:
                if (!mImage.isEmpty()) return mTree->mImages.value(mImage);
                break;
            default: break;
            }
        }
        return QTreeWidgetItem::data(column, role);
    }
    void setData(int column, int role, const QVariant& value) override
    {
        if (column == 0 && (role == Qt::DisplayRole || role == Qt::EditRole)) {
            if (mText == value.toString()) return;
            mText = value.toString();
        } else if (column == 0 && role == KeyedTree::TagRole) {
            mTag = value;
        } else {
            mPlain = false;   // data of its own: never used again
            QTreeWidgetItem::setData(column, role, value);
            return;
        }
        emitDataChanged();   // nothing while the view has yet to get the node
    }
    void SetImage(const QString& image)
    {
        mImage = image;
        emitDataChanged();
    }
    // Ready for another node: only one that holds nothing but what is kept here.
    bool Reset()
    {
        if (!mPlain || childCount() > 0 || parent() || treeWidget()) return false;
        mKey.clear();
        mText.clear();
        mImage.clear();
        mTag.clear();
        return true;
    }
    QString mKey;
    QString mText;
    QString mImage;
    QVariant mTag;
    bool mPlain = true;
    const KeyedTree* mTree;
};

namespace {

using KeyedItem = KeyedTreeItem;

// The key the node holds itself: empty for a numbered child.
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

// The number ending a child's key, 0 when it has none (or a leading zero).
int NumberAfter(QStringView key, qsizetype prefixSize)
{
    if (key.size() <= prefixSize || key.size() - prefixSize > 9) return 0;
    int n = 0;
    for (const QChar c : key.mid(prefixSize)) {
        if (c < u'0' || c > u'9' || (n == 0 && c == u'0')) return 0;
        n = n * 10 + (c.unicode() - u'0');
    }
    return n;
}

} // namespace

KeyedTree::KeyedTree(QWidget* parent) : QTreeWidget(parent)
{
    setColumnCount(1);
    setHeaderHidden(true);
    setVerticalScrollBar(new StripScrollBar(Qt::Vertical, this));
    setHorizontalScrollBar(new StripScrollBar(Qt::Horizontal, this));
    mFlushTimer.setSingleShot(true);
    mFlushTimer.setInterval(kFlushMs);
    connect(&mFlushTimer, &QTimer::timeout, this, &KeyedTree::Flush);
    // Asked at every event of a live connection; the view's own answer goes
    // through its persistent indexes.
    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { mExpanded.insert(item); });
    connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) { mExpanded.remove(item); });
}

KeyedTree::~KeyedTree()
{
    for (const Pending& p : std::as_const(mPending)) qDeleteAll(p.add);
    qDeleteAll(mSpare);
}

QTreeWidgetItem* KeyedTree::NewItem(const QString& key)
{
    if (mSpare.isEmpty()) return new KeyedItem(key, this);
    KeyedItem* item = mSpare.takeLast();
    item->mKey = key;
    return item;
}

// A node that never reached the view, kept for the next one.
void KeyedTree::Recycle(QTreeWidgetItem* item)
{
    constexpr int kSpares = 256;
    if (item->type() == KeyedItem::kType && mSpare.size() < kSpares && static_cast<KeyedItem*>(item)->Reset())
        mSpare.append(static_cast<KeyedItem*>(item));
    else
        delete item;
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
    if (parent) MaterializeAround(parent);
    // Appended under the next number, a numbered branch's child stays numbered.
    const bool numbered = parent && index < 0 && mNumbered.contains(parent) && IsNextNumber(parent, key);
    if (parent && !numbered) Materialize(parent);
    QTreeWidgetItem* item = NewItem(numbered ? QString() : key);
    item->setText(0, text);
    ApplyImage(item, image);
    if (parent) {
        if (index < 0 || index > parent->childCount()) parent->addChild(item);
        else parent->insertChild(index, item);
    } else {
        if (index < 0 || index > topLevelItemCount()) addTopLevelItem(item);
        else insertTopLevelItem(index, item);
    }
    if (!key.isEmpty() && !numbered) mIndex.insert(key, item);
    ++mCount;
    return item;
}

QTreeWidgetItem* KeyedTree::AddLater(const QString& parentKey, const QString& key, const QString& text,
                                     const QString& image)
{
    QTreeWidgetItem* parent = Find(parentKey);
    // The next number of a numbered branch answers to no child yet: only a
    // node keyed elsewhere could hold it.
    const bool numbered = parent && mNumbered.contains(parent) && IsNextNumber(parent, key);
    if (numbered ? mIndex.contains(key) : Exists(key))
        throw CollectionError(35602, "Key is not unique in collection");
    if (!parent) throw CollectionError(35601, "Element not found");
    if (mPendingParent.contains(parent)) Flush();   // a parent of its own not yet shown
    MaterializeAround(parent);
    if (!numbered) Materialize(parent);
    QTreeWidgetItem* item = NewItem(numbered ? QString() : key);
    item->setText(0, text);
    ApplyImage(item, image);
    mPending[parent].add.append(item);
    mPendingParent.insert(item, parent);
    if (!key.isEmpty() && !numbered) mIndex.insert(key, item);
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
    // In a numbered branch the rest answer to their new positions at once.
    if (mNumbered.contains(parent) && Children(key) > count) mMoved.insert(parent);
    if (current) {
        Flush();
        for (int i = 0; i < count && parent->childCount() > 0; ++i) DeleteItem(parent->child(0));
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
        Recycle(item);
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
    if (FindsRowsByPlace(event)) Flush();
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
    mExpanded.remove(item);
    if (item->childCount() == 0) {   // a leaf, as most are: no walk
        const QString k = ItemKey(item);
        if (!k.isEmpty()) mIndex.remove(k);
        if (unkey) SetKey(item, QString());
        if (!mNumbered.isEmpty() && mNumbered.remove(item)) mMoved.remove(item);
        --mCount;
        return;
    }
    // Iterative walk: a deep or wide sub-tree must not exhaust the stack.
    QList<QTreeWidgetItem*> stack{item};
    while (!stack.isEmpty()) {
        QTreeWidgetItem* it = stack.takeLast();
        const QString k = ItemKey(it);   // a numbered child has none in the index
        if (!k.isEmpty()) mIndex.remove(k);
        mExpanded.remove(it);
        if (unkey) SetKey(it, QString());
        if (!mNumbered.isEmpty() && mNumbered.remove(it)) mMoved.remove(it);
        --mCount;
        for (int i = 0; i < it->childCount(); ++i) stack.append(it->child(i));
    }
}

void KeyedTree::RemoveItem(QTreeWidgetItem* item)
{
    if (!item) return;
    Flush();
    if (OnRemoving) OnRemoving(KeyOf(item), KeyOf(ParentOf(item)));
    // The node's siblings keep the keys they answer to now.
    if (QTreeWidgetItem* parent = item->parent()) Materialize(parent);
    DeleteItem(item);
}

void KeyedTree::DeleteItem(QTreeWidgetItem* item)
{
    Unindex(item);
    delete item;   // detaches from the tree and deletes the children
}

void KeyedTree::Remove(const QString& key) { RemoveItem(Node(key)); }

void KeyedTree::RemoveChildren(const QString& key)
{
    QTreeWidgetItem* parent = Node(key);
    Flush();
    if (OnRemoving)
        for (int i = 0; i < parent->childCount(); ++i) OnRemoving(KeyOf(parent->child(i)), key);
    mNumbered.remove(parent);   // every child goes
    mMoved.remove(parent);
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
    if (newKey.isEmpty() || Exists(newKey)) throw CollectionError(35602, "Key is not unique in collection");
    // Its children would otherwise follow its key; its siblings keep theirs.
    Materialize(item);
    if (QTreeWidgetItem* parent = ParentOf(item)) Materialize(parent);
    mIndex.remove(key);
    mIndex.insert(newKey, item);
    SetKey(item, newKey);
}

bool KeyedTree::RenumberChildren(const QString& key, const QString& prefix)
{
    QTreeWidgetItem* parent = Node(key);
    if (mNumbered.contains(parent)) return mMoved.remove(parent);
    const int n = LiveChildren(parent);
    // A branch of leaves numbered after its own key stays numbered: its
    // children give their keys up to their positions.
    bool numbered = prefix == key + QLatin1Char('-') && !mNumbered.contains(ParentOf(parent));
    for (int i = 0; numbered && i < n; ++i) {
        QTreeWidgetItem* child = LiveChild(parent, i);
        numbered = child->type() == KeyedItem::kType && child->childCount() == 0 && !mPending.contains(child);
    }
    bool changed = false;
    for (int i = 0; i < n; ++i) {
        QTreeWidgetItem* item = LiveChild(parent, i);
        const QString old = ItemKey(item);
        const bool right = old.startsWith(prefix) && NumberAfter(old, prefix.size()) == i + 1;
        changed = changed || !right;
        if (numbered) {
            if (!old.isEmpty()) mIndex.remove(old);
            SetKey(item, QString());
            continue;
        }
        if (right) continue;
        const QString newKey = prefix + QString::number(i + 1);
        QTreeWidgetItem*& slot = mIndex[newKey];
        if (slot && slot != item) throw CollectionError(35602, "Key is not unique in collection");
        slot = item;
        if (!old.isEmpty()) mIndex.remove(old);
        SetKey(item, newKey);
    }
    if (numbered) mNumbered.insert(parent);
    return changed;
}

// ---- Numbered branches

QTreeWidgetItem* KeyedTree::ParentOf(const QTreeWidgetItem* item) const
{
    return item ? mPendingParent.value(item, item->parent()) : nullptr;
}

int KeyedTree::LiveChildren(const QTreeWidgetItem* parent) const
{
    const auto found = mPending.constFind(const_cast<QTreeWidgetItem*>(parent));
    if (found == mPending.constEnd()) return parent->childCount();
    return parent->childCount() - found->drop + int(found->add.size());
}

// The child at a position (from 0) among those not removed, pending ones last.
QTreeWidgetItem* KeyedTree::LiveChild(QTreeWidgetItem* parent, int position) const
{
    const auto found = mPending.constFind(parent);
    const int drop = found == mPending.constEnd() ? 0 : found->drop;
    const int attached = parent->childCount() - drop;
    if (position < attached) return parent->child(drop + position);
    return found->add.at(position - attached);
}

QTreeWidgetItem* KeyedTree::FindNumbered(const QString& key) const
{
    const qsizetype dash = key.lastIndexOf(QLatin1Char('-'));
    if (dash <= 0) return nullptr;
    const int number = NumberAfter(key, dash + 1);
    if (number == 0) return nullptr;
    QTreeWidgetItem* parent = Find(key.left(dash));
    if (!parent || !mNumbered.contains(parent) || number > LiveChildren(parent)) return nullptr;
    return LiveChild(parent, number - 1);
}

// A numbered child's key: its parent's key, "-" and its position from 1;
// empty once removed, or for an unkeyed node elsewhere.
QString KeyedTree::NumberedKey(const QTreeWidgetItem* item) const
{
    const QTreeWidgetItem* parent = ParentOf(item);
    if (!parent || !mNumbered.contains(parent)) return QString();
    const auto found = mPending.constFind(const_cast<QTreeWidgetItem*>(parent));
    const int drop = found == mPending.constEnd() ? 0 : found->drop;
    int position = -1;
    if (item->parent() == parent) {
        position = parent->indexOfChild(const_cast<QTreeWidgetItem*>(item)) - drop;
    } else if (found != mPending.constEnd()) {
        const qsizetype i = found->add.indexOf(const_cast<QTreeWidgetItem*>(item));
        if (i >= 0) position = parent->childCount() - drop + int(i);
    }
    if (position < 0) return QString();
    return KeyOf(parent) + QLatin1Char('-') + QString::number(position + 1);
}

bool KeyedTree::IsNextNumber(const QTreeWidgetItem* parent, const QString& key) const
{
    const QString held = ItemKey(parent);   // a numbered child holds none
    const QString parentKey = held.isEmpty() ? KeyOf(parent) : held;
    return key.size() > parentKey.size() + 1 && key.startsWith(parentKey) && key.at(parentKey.size()) == u'-'
        && NumberAfter(key, parentKey.size() + 1) == LiveChildren(parent) + 1;
}

// The branch's children take their keys back as they answer to them now.
void KeyedTree::Materialize(QTreeWidgetItem* parent)
{
    if (mNumbered.isEmpty() || !mNumbered.contains(parent)) return;
    const QString prefix = KeyOf(parent) + QLatin1Char('-');
    mNumbered.remove(parent);
    mMoved.remove(parent);
    for (int i = 0, n = LiveChildren(parent); i < n; ++i) {
        const QString key = prefix + QString::number(i + 1);
        QTreeWidgetItem* child = LiveChild(parent, i);
        SetKey(child, key);
        mIndex.insert(key, child);
    }
}

// A numbered child about to change in itself (given a child of its own)
// takes its key back, with its siblings.
void KeyedTree::MaterializeAround(QTreeWidgetItem* item)
{
    if (mNumbered.isEmpty()) return;
    if (QTreeWidgetItem* parent = ParentOf(item); parent && mNumbered.contains(parent)) Materialize(parent);
}

bool KeyedTree::Expanded(const QString& key)
{
    QTreeWidgetItem* item = Node(key);
    if (mPendingParent.contains(item)) Flush();
    return mExpanded.contains(item);
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
    mNumbered.clear();
    mMoved.clear();
    mExpanded.clear();
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
        if (mNumbered.contains(p)) {
            const QString prefix = KeyOf(p) + QLatin1Char('-');
            for (int i = 1, n = LiveChildren(p); i <= n; ++i) out.append(prefix + QString::number(i));
            return out;
        }
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
    if (item->type() == KeyedItem::kType) {
        static_cast<KeyedItem*>(item)->SetImage(image);
        return;
    }
    item->setData(0, ImageRole, image);
    item->setIcon(0, mImages.value(image));
}

} // namespace tsy
