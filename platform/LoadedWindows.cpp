#include "platform/LoadedWindows.h"

namespace tsy::LoadedWindows {

namespace {

struct Entry {
    QPointer<QObject> window;
    QString name;
};

QList<Entry>& Entries()
{
    static QList<Entry> entries;
    return entries;
}

// Destroyed windows leave a null QPointer behind; drop them on the next walk.
void Prune()
{
    auto& e = Entries();
    e.removeIf([](const Entry& x) { return x.window.isNull(); });
}

} // namespace

void Register(QObject* window, const QString& name)
{
    if (!window) return;
    Prune();
    for (Entry& x : Entries())
        if (x.window == window) { x.name = name; return; }
    Entries().append({window, name});
}

void Unregister(QObject* window)
{
    Entries().removeIf([window](const Entry& x) { return x.window.isNull() || x.window == window; });
}

QList<QObject*> Named(const QString& name)
{
    Prune();
    QList<QObject*> out;
    for (const Entry& x : Entries())
        if (x.name == name) out.append(x.window.data());
    return out;
}

QList<QObject*> All()
{
    Prune();
    QList<QObject*> out;
    for (const Entry& x : Entries()) out.append(x.window.data());
    return out;
}

int Count(const QString& name)
{
    Prune();
    if (name.isEmpty()) return int(Entries().size());
    int n = 0;
    for (const Entry& x : Entries())
        if (x.name == name) ++n;
    return n;
}

} // namespace tsy::LoadedWindows
