#include "platform/Settings.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTimer>
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

QSettings& Store()
{
    // One instance for the run; destroyed (and flushed) at exit. Qt keeps the
    // pending changes in a cache shared by every QSettings on the same file,
    // so other instances in the process see each write at once.
    static QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Tessaly"), QStringLiteral("Tessaly"));
    static const bool once = [] { s.setFallbacksEnabled(false); return true; }();
    Q_UNUSED(once);
    return s;
}

void SyncNow()
{
    QSettings& s = Store();
    s.sync();
    gLastError = s.status() == QSettings::NoError
                     ? QString()
                     : QStringLiteral("The settings file %1 could not be written").arg(s.fileName());
}

bool gSyncPending = false;

// Writing the file costs milliseconds (it is flushed to disk), so the writes
// of one turn of the event loop share one sync.
void Finish()
{
    if (!QCoreApplication::instance()) { SyncNow(); return; }
    if (gSyncPending) return;
    gSyncPending = true;
    QTimer::singleShot(0, QCoreApplication::instance(), [] {
        gSyncPending = false;
        SyncNow();
    });
}

} // namespace

// Each use starts at the top level of the store.
struct Scoped {
    QSettings& s;
    explicit Scoped(QSettings& st) : s(st) { while (!s.group().isEmpty()) s.endGroup(); }
    ~Scoped() { while (!s.group().isEmpty()) s.endGroup(); }
};
#define TSY_SETTINGS Scoped scoped_(Store()); QSettings& s = scoped_.s

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
    Finish();
}

namespace {
// The keys of the group the store is in.
QStringList OrderedKeys(QSettings& s)
{
    QStringList keys = s.childKeys();
    if (AllNumeric(keys))
        std::stable_sort(keys.begin(), keys.end(),
                         [](const QString& a, const QString& b) { return a.toLongLong() < b.toLongLong(); });
    return keys;
}
} // namespace

QStringList GetKeys(const QString& section)
{
    TSY_SETTINGS;
    s.beginGroup(Group(section));
    return OrderedKeys(s);
}

QList<QPair<QString, QString>> GetAllSettings(const QString& section)
{
    // Read every purge pass (every 21 events under traffic): one visit.
    TSY_SETTINGS;
    s.beginGroup(Group(section));
    const QStringList keys = OrderedKeys(s);
    QList<QPair<QString, QString>> out;
    out.reserve(keys.size());
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
    Finish();
}

void DeleteSection(const QString& section)
{
    const QString g = Group(section);
    if (g.isEmpty()) return;   // never wipe the whole store by accident
    TSY_SETTINGS;
    s.remove(g);
    Finish();
}

QString FilePath()
{
    TSY_SETTINGS;
    return s.fileName();
}

void Sync() { SyncNow(); }

QString LastError() { return gLastError; }

} // namespace tsy::Settings
