#pragma once
// Insertion-ordered list addressed by position (from 1) and, where an item was
// added with one, by a unique text key. Failures throw CollectionError, which
// the procedures trap like any other error. A KeyWatch is told of every key
// added and removed, so whatever it keeps cannot disagree with the index.
#include <QHash>
#include <QList>
#include <QString>
#include <stdexcept>

namespace tsy {

struct CollectionError : std::runtime_error {
    int number;
    CollectionError(int n, const char* what) : std::runtime_error(what), number(n) {}
};

struct NoKeyWatch {
    void Added(const QString&) {}
    void Removed(const QString&) {}
    void Cleared() {}
};

template <class T, class KeyWatch = NoKeyWatch>
class KeyedCollection {
public:
    int Count() const { return int(mItems.size()); }

    void Add(const T& item, const QString& key = QString()) {
        if (!key.isEmpty()) {
            if (mIndex.contains(key))
                throw CollectionError(457, "This key is already associated with an element of this collection");
            mIndex.insert(key, item);
            mWatch.Added(key);
        }
        mItems.append({item, key});
    }
    bool Exists(const QString& key) const { return mIndex.contains(key); }
    const T& Item(int position) const {
        if (position < 1 || position > Count())
            throw CollectionError(9, "Subscript out of range");
        return mItems[position - 1].value;
    }
    const T& Item(const QString& key) const {
        auto it = mIndex.constFind(key);
        if (it == mIndex.constEnd())
            throw CollectionError(5, "Invalid procedure call or argument");
        return it.value();
    }
    // The value stored under key, or a default-constructed T.
    T Find(const QString& key) const { return mIndex.value(key); }
    QString KeyAt(int position) const { Item(position); return mItems[position - 1].key; }
    void Remove(int position) {
        Item(position);
        const QString key = mItems[position - 1].key;
        if (!key.isEmpty()) {
            mIndex.remove(key);
            mWatch.Removed(key);
        }
        mItems.removeAt(position - 1);
    }
    void Remove(const QString& key) {
        if (!mIndex.contains(key))
            throw CollectionError(5, "Invalid procedure call or argument");
        for (int i = 0; i < mItems.size(); ++i)
            if (mItems[i].key == key) { mItems.removeAt(i); break; }
        mIndex.remove(key);
        mWatch.Removed(key);
    }
    void Clear() { mItems.clear(); mIndex.clear(); mWatch.Cleared(); }
    const KeyWatch& Watch() const { return mWatch; }

    // Range-for over the values, in order.
    struct Entry { T value; QString key; };
    struct const_iterator {
        typename QList<Entry>::const_iterator it;
        const T& operator*() const { return it->value; }
        const_iterator& operator++() { ++it; return *this; }
        bool operator!=(const const_iterator& o) const { return it != o.it; }
    };
    const_iterator begin() const { return {mItems.cbegin()}; }
    const_iterator end() const { return {mItems.cend()}; }

private:
    QList<Entry> mItems;
    QHash<QString, T> mIndex;
    [[no_unique_address]] KeyWatch mWatch;
};

} // namespace tsy
