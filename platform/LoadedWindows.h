#pragma once
// Registry of the loaded windows by name, walked as the program walks its
// loaded forms (the socket pairs register as "SocketPair").
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

namespace tsy::LoadedWindows {

void Register(QObject* window, const QString& name);   // dropped automatically when destroyed
void Unregister(QObject* window);
QList<QObject*> Named(const QString& name);            // in load order
QList<QObject*> All();
int Count(const QString& name = QString());

} // namespace tsy::LoadedWindows
