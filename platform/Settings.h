#pragma once
// Per-user settings store: string values by section and key, application
// "Tessaly". A section "A\B\C" is the nested group A/B/C of
// $XDG_CONFIG_HOME/Tessaly/Tessaly.ini.
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace tsy::Settings {

QString GetSetting(const QString& section, const QString& key, const QString& defaultValue = QString());
void SaveSetting(const QString& section, const QString& key, const QString& value);
// Keys of the section itself (not its sub-sections); all-numeric key lists come
// back in ascending numeric order, others in the store's order.
QStringList GetKeys(const QString& section);
QList<QPair<QString, QString>> GetAllSettings(const QString& section);
bool KeyExists(const QString& section, const QString& key);
void DeleteSetting(const QString& section, const QString& key);
void DeleteSection(const QString& section);
QString FilePath();   // the ini file in use
// Writes reach the file at the end of the current turn of the event loop (at
// once without an application object); Sync() writes them now. Every read in
// the process sees a write at once either way.
void Sync();
// Empty when the last sync reached the file, else why it did not.
QString LastError();

} // namespace tsy::Settings
