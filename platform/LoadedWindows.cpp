#include "platform/LoadedWindows.h"

#include <QHash>

#include <list>

namespace tsy::LoadedWindows {

namespace {

struct Entry {
    QPointer<QObject> window;
    QString name;
};

// In load order, found by address: thousands of socket pairs may be loaded,
// each registering and unregistering itself.
struct Registry {
    std::list<Entry> entries;
    QHash<const QObject*, std::list<Entry>::iterator> byAddress;

    void erase(std::list<Entry>::iterator it, const QObject* address)
    {
        byAddress.remove(address);
        entries.erase(it);
    }
};

Registry& Windows()
{
    static Registry registry;
    return registry;
}

// Destroyed windows leave a null QPointer behind; drop them on the next walk.
// Their addresses are known only from the index.
void Prune()
{
    Registry& r = Windows();
    for (auto it = r.byAddress.begin(); it != r.byAddress.end();) {
        if (it.value()->window.isNull()) {
            r.entries.erase(it.value());
            it = r.byAddress.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace

void Register(QObject* window, const QString& name)
{
    if (!window) return;
    Registry& r = Windows();
    if (const auto found = r.byAddress.constFind(window); found != r.byAddress.constEnd()) {
        if (found.value()->window == window) {
            found.value()->name = name;
            return;
        }
        r.erase(found.value(), window);   // a destroyed window's address, given again
    }
    r.entries.push_back({window, name});
    r.byAddress.insert(window, std::prev(r.entries.end()));
}

void Unregister(QObject* window)
{
    Registry& r = Windows();
    if (const auto found = r.byAddress.constFind(window); found != r.byAddress.constEnd())
        r.erase(found.value(), window);
}

QList<QObject*> Named(const QString& name)
{
    Prune();
    QList<QObject*> out;
    for (const Entry& x : Windows().entries)
        if (x.name == name) out.append(x.window.data());
    return out;
}

QList<QObject*> All()
{
    Prune();
    QList<QObject*> out;
    for (const Entry& x : Windows().entries) out.append(x.window.data());
    return out;
}

int Count(const QString& name)
{
    Prune();
    if (name.isEmpty()) return int(Windows().entries.size());
    int n = 0;
    for (const Entry& x : Windows().entries)
        if (x.name == name) ++n;
    return n;
}

} // namespace tsy::LoadedWindows
