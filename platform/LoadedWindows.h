#pragma once
// Registry of the loaded windows by name, walked as the program walks its
// loaded forms (the socket pairs register as "SocketPair").
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <utility>

namespace tsy::LoadedWindows {

void Register(QObject* window, const QString& name);   // dropped automatically when destroyed
void Unregister(QObject* window);
QList<QObject*> Named(const QString& name);            // in load order
QList<QObject*> All();
int Count(const QString& name = QString());

// A lazily loaded window: the first read creates it hidden (its constructor
// reads its settings and registers it); later reads return the same window.
template <class W, class... A>
W* Load(QPointer<W>& slot, A&&... args)
{
    if (!slot) slot = new W(std::forward<A>(args)...);
    return slot.data();
}

} // namespace tsy::LoadedWindows
