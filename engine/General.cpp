#include "engine/General.h"
#include "engine/frmError.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"

#include <QPointer>
#include <QTime>
#include <QWidget>
#include <climits>
#include <new>
#include <functional>
#include <stdexcept>

namespace General {

void DescribeError(std::exception_ptr e, int& lngNumber, QString& strDescription)
{
    try {
        std::rethrow_exception(e);
    } catch (const tsy::CollectionError& err) {
        lngNumber = err.number;
        strDescription = QString::fromUtf8(err.what());
    } catch (const std::bad_alloc&) {
        lngNumber = 7;
        strDescription = QStringLiteral("Out of memory");
    } catch (const std::exception& err) {
        lngNumber = 5;
        strDescription = QString::fromUtf8(err.what());
    } catch (...) {
        lngNumber = 5;
        strDescription = QStringLiteral("Invalid procedure call or argument");
    }
}

void LogFailure(const QString& strSentence, std::exception_ptr e)
{
    int number = 0;
    QString description;
    DescribeError(e, number, description);
    frmError::LogError(strSentence + QString::number(number) + QStringLiteral(", ") + description);
}

Logging* gobjLogging = nullptr;
Listening* gobjListening = nullptr;
tsy::KeyedCollection<std::shared_ptr<ProtocolHandler>> gcolProtocols;
bool gblnConnectionDiagramView = false;
bool gblnLoggingEnabled = false;
bool gblnApplicationClosing = false;
bool gblnKeepOnTop = false;

namespace {
QPointer<tsy::KeyedTree>& TreeSlot()
{
    static QPointer<tsy::KeyedTree> tree;
    return tree;
}

QString Reports(int number, const QString& description)
{
    return QStringLiteral("The operating system reports: %1, %2").arg(number).arg(description);
}
} // namespace

void SetSocketTree(tsy::KeyedTree* tree) { TreeSlot() = tree; }
tsy::KeyedTree* SocketTree() { return TreeSlot().data(); }

QString FormatTime(const QTime& t, bool blnMilliseconds)
{
    if (!t.isValid()) return QString();
    // "HH:mm:ss.zzz" by hand: every recorded event stamps its time, and
    // QTime::toString goes through the locale machinery each time.
    QString s(blnMilliseconds ? 12 : 8, Qt::Uninitialized);
    QChar* p = s.data();
    const auto digits = [&p](int value, int count) {
        for (int i = count - 1; i >= 0; --i, value /= 10) p[i] = QChar(u'0' + value % 10);
        p += count;
    };
    digits(t.hour(), 2);
    *p++ = u':';
    digits(t.minute(), 2);
    *p++ = u':';
    digits(t.second(), 2);
    if (blnMilliseconds) {
        *p++ = u'.';
        digits(t.msec(), 3);
    }
    return s;
}

QString GetSystemTimeString(bool blnMilliseconds)
{
    try {
        const QTime t = tsy::Runtime::LocalTime();
        if (!t.isValid()) throw std::runtime_error("The local time could not be read");
        // Events logged within one millisecond share one string.
        static QTime lastTime;
        static QString lastText[2];
        QString& text = lastText[blnMilliseconds ? 1 : 0];
        if (t != lastTime) {
            lastTime = t;
            lastText[0].clear();
            lastText[1].clear();
        }
        if (text.isNull()) text = FormatTime(t, blnMilliseconds);
        return text;
    } catch (const std::exception& e) {
        frmError::LogError(QStringLiteral("An error occurred while attempting to the get the system time.  ")
                           + Reports(5, QString::fromUtf8(e.what())));
        return QString();
    }
}

bool NodeExists(const QString& strKey) { return NodeExists(SocketTree(), strKey); }

bool NodeExists(const tsy::KeyedTree* tree, const QString& strKey)
{
    return tree && tree->Exists(strKey);
}

bool IsIPAddress(const QString& strDestination)
{
    const QStringList parts = strDestination.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 4) return false;
    for (const QString& p : parts)
        if (!tsy::Numbers::IsNumeric(p)) return false;
    return true;
}

qint32 SetTopMost(QWidget* window, bool blnTopMost)
{
    try {
        // A refusal (no window) is no error: its zero result is returned.
        return tsy::Runtime::SetWindowTopMost(window, blnTopMost) ? 1 : 0;
    } catch (const std::exception& e) {
        frmError::LogError(QStringLiteral("An error occurred while attempting to set the top-most window.  ")
                           + Reports(5, QString::fromUtf8(e.what())));
        return 0;
    }
}

void ApplyKeepOnTop(QWidget* window)
{
    if (gblnKeepOnTop) SetTopMost(window, true);
}

void DeleteEphemeralPort(int lngPort)
{
    const QString port = QString::number(lngPort);
    QString failure;
    // Each deletion is tried even when an earlier one failed, so no orphan is left.
    auto attempt = [&failure](const std::function<void()>& step) {
        try {
            step();
        } catch (const std::exception& e) {
            if (failure.isEmpty()) failure = QString::fromUtf8(e.what());
        }
    };
    attempt([&] { tsy::Settings::DeleteSetting(QStringLiteral("Protocols"), port); });
    attempt([&] { tsy::Settings::DeleteSection(QStringLiteral("Protocols\\Pass Through\\Port ") + port); });
    attempt([&] { tsy::Settings::DeleteSetting(QStringLiteral("PortsInUse"), port); });
    // Make sure the deletions reached the file, so a failure can be reported.
    attempt([&] {
        tsy::Settings::Sync();
        if (failure.isEmpty()) failure = tsy::Settings::LastError();
    });
    if (!failure.isEmpty())
        frmError::LogError(
            QStringLiteral("An error occurred while attempting to delete the Ephemeral port references from the registry.  ")
            + Reports(75, failure));
}

qint32 SetRegistryValue(qint32 hKey, const QString& strValueName, qint32 lngType, const QVariant& vValue)
{
    Q_UNUSED(hKey);
    Q_UNUSED(strValueName);
    switch (lngType) {
    case REG_SZ:
        return tsy::Runtime::SetAutostart(vValue.toString()) ? 0 : 5;
    case REG_DWORD: {
        bool ok = false;
        const qlonglong n = vValue.toLongLong(&ok);
        if (!ok || n < INT32_MIN || n > INT32_MAX) throw std::invalid_argument("Type mismatch");
        return 0;
    }
    default:
        return 0;
    }
}

qint32 DeleteRegistryValue(qint32 hKey, const QString& strValueName)
{
    Q_UNUSED(hKey);
    Q_UNUSED(strValueName);
    return tsy::Runtime::RemoveAutostart() ? 0 : 5;
}

} // namespace General
