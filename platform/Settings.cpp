#include "platform/Settings.h"

#include <QSettings>
#include <algorithm>

namespace tsy::Settings {

namespace {

QString gLastError;

QString Group(const QString& section)
{
    QString g = section;
    g.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (g.startsWith(QLatin1Char('/'))) g.remove(0, 1);
    while (g.endsWith(QLatin1Char('/'))) g.chop(1);
    return g;
}

bool AllNumeric(const QStringList& keys)
{
    if (keys.isEmpty()) return false;
    for (const QString& k : keys) {
        bool ok = false;
        k.toLongLong(&ok);
        if (!ok) return false;
    }
    return true;
}

QString ValueText(const QVariant& v)
{
    // An unquoted "a, b" in a hand-edited ini reads back as a list.
    if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(QStringLiteral(", "));
    return v.toString();
}

void Finish(QSettings& s)
{
    s.sync();
    gLastError = s.status() == QSettings::NoError
                     ? QString()
                     : QStringLiteral("The settings file %1 could not be written").arg(s.fileName());
}

} // namespace

// A fresh QSettings per call: Qt shares one cache per file inside the
// process, so this is cheap and every call sees the latest writes.
#define TSY_SETTINGS QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Tessaly"), QStringLiteral("Tessaly"))

QString GetSetting(const QString& section, const QString& key, const QString& defaultValue)
{
    TSY_SETTINGS;
    s.beginGroup(Group(section));
    const QVariant v = s.value(key);
    return v.isValid() ? ValueText(v) : defaultValue;
}

void SaveSetting(const QString& section, const QString& key, const QString& value)
{
    TSY_SETTINGS;
    s.beginGroup(Group(section));
    s.setValue(key, value);
    s.endGroup();
    Finish(s);
}

QStringList GetKeys(const QString& section)
{
    TSY_SETTINGS;
    s.beginGroup(Group(section));
    QStringList keys = s.childKeys();
    if (AllNumeric(keys))
        std::stable_sort(keys.begin(), keys.end(),
                         [](const QString& a, const QString& b) { return a.toLongLong() < b.toLongLong(); });
    return keys;
}

QList<QPair<QString, QString>> GetAllSettings(const QString& section)
{
    QList<QPair<QString, QString>> out;
    const QStringList keys = GetKeys(section);
    TSY_SETTINGS;
    s.beginGroup(Group(section));
    for (const QString& k : keys) out.append({k, ValueText(s.value(k))});
    return out;
}

bool KeyExists(const QString& section, const QString& key)
{
    TSY_SETTINGS;
    s.beginGroup(Group(section));
    return s.childKeys().contains(key);
}

void DeleteSetting(const QString& section, const QString& key)
{
    TSY_SETTINGS;
    s.beginGroup(Group(section));
    // remove() on a group name would take the whole sub-tree: only keys here.
    if (s.childKeys().contains(key)) s.remove(key);
    s.endGroup();
    Finish(s);
}

void DeleteSection(const QString& section)
{
    const QString g = Group(section);
    if (g.isEmpty()) return;   // never wipe the whole store by accident
    TSY_SETTINGS;
    s.remove(g);
    Finish(s);
}

QString FilePath()
{
    TSY_SETTINGS;
    return s.fileName();
}

void Sync()
{
    TSY_SETTINGS;
    Finish(s);
}

QString LastError() { return gLastError; }

} // namespace tsy::Settings
