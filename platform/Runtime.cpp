#include "platform/Runtime.h"
#include "platform/Modal.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSaveFile>
#include <QScreen>
#include <QStandardPaths>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <ctime>
#include <random>

namespace tsy::Runtime {

namespace {

std::function<QTime()>& Clock()
{
    static std::function<QTime()> clock;
    return clock;
}

std::mt19937_64& Generator()
{
    static std::mt19937_64 gen{std::random_device{}() ^ quint64(QDateTime::currentMSecsSinceEpoch())};
    return gen;
}

std::function<double()>& RandomSource()
{
    static std::function<double()> source;
    return source;
}

QString& ProgramDirOverride()
{
    static QString dir;
    return dir;
}

double LogicalDpi()
{
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        if (QScreen* s = app->primaryScreen()) {
            const double dpi = s->logicalDotsPerInchX();
            if (dpi > 0) return dpi;
        }
    return 96.0;
}

// Quotes one Exec argument as desktop entries want it.
QString ExecArgument(const QString& path)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = false;
    for (QChar c : path)
        if (reserved.contains(c)) { quote = true; break; }
    QString arg;
    for (QChar c : path) {
        if (c == QLatin1Char('%')) { arg += QStringLiteral("%%"); continue; }
        if (quote && (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\')))
            arg += QLatin1Char('\\');
        arg += c;
    }
    if (quote) arg = QLatin1Char('"') + arg + QLatin1Char('"');
    // The value itself escapes backslashes once more.
    arg.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return arg;
}

} // namespace

QTime LocalTime()
{
    if (Clock()) return Clock()();
    // Without TZ the C library checks /etc/localtime with a stat() at every
    // local-time conversion, which is once per recorded event; naming the
    // same zone file once keeps the time right and drops the system calls.
    static const bool zoneNamed = [] {
        if (qEnvironmentVariableIsEmpty("TZ") && QFile::exists(QStringLiteral("/etc/localtime")))
            qputenv("TZ", ":/etc/localtime");
        return true;
    }();
    Q_UNUSED(zoneNamed);
    // Every recorded event takes the time: the zone conversion runs once per
    // second, the milliseconds come from the clock alone.
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return QTime::currentTime();
    static time_t lastSecond = -1;
    static QTime wholeSecond;
    if (now.tv_sec != lastSecond) {
        tm local{};
        if (!::localtime_r(&now.tv_sec, &local)) return QTime::currentTime();
        wholeSecond = QTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59));
        lastSecond = now.tv_sec;
    }
    return wholeSecond.addMSecs(int(now.tv_nsec / 1000000));
}

void SetClock(std::function<QTime()> clock) { Clock() = std::move(clock); }

double Rnd()
{
    if (RandomSource()) return RandomSource()();
    // 53 random bits: exactly uniform on [0, 1), never 1.
    return double(Generator()() >> 11) * 0x1.0p-53;
}

void Randomize(quint64 seed) { Generator().seed(seed); }

void SetRandomSource(std::function<double()> source) { RandomSource() = std::move(source); }

void Sleep(int ms)
{
    if (ms > 0) QThread::msleep(ulong(ms));
}

void DoEvents() { QCoreApplication::processEvents(); }

bool SetWindowTopMost(QWidget* w, bool topMost)
{
    if (!w) return false;
    QWidget* win = w->window();
    if (bool(win->windowFlags() & Qt::WindowStaysOnTopHint) == topMost) return true;
    const bool wasVisible = win->isVisible();
    const bool hadNoActivate = win->testAttribute(Qt::WA_ShowWithoutActivating);
    const QRect geometry = win->geometry();
    // Changing the flags re-creates the native window and hides it.
    win->setWindowFlag(Qt::WindowStaysOnTopHint, topMost);
    if (wasVisible) {
        win->setAttribute(Qt::WA_ShowWithoutActivating, true);
        win->setGeometry(geometry);
        win->show();
        win->setAttribute(Qt::WA_ShowWithoutActivating, hadNoActivate);
    }
    return true;
}

QString ProgramDir()
{
    const QString& o = ProgramDirOverride();
    return o.isEmpty() ? QCoreApplication::applicationDirPath() : o;
}

void SetProgramDir(const QString& dir) { ProgramDirOverride() = dir; }

QString ProgramPath() { return QCoreApplication::applicationFilePath(); }

QString DataDir()
{
    const QString dir = QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
                            .filePath(QStringLiteral("Tessaly"));
    QDir().mkpath(dir);
    return dir;
}

int TwipsPerPixel() { return qRound(1440.0 / LogicalDpi()); }

int TwipsToPixels(int twips) { return qRound(twips * LogicalDpi() / 1440.0); }

int PixelsToTwips(int px) { return qRound(px * 1440.0 / LogicalDpi()); }

QString AutostartFile()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("autostart/TessalyApp.desktop"));
}

bool SetAutostart(const QString& execPath)
{
    const QString file = AutostartFile();
    if (!QDir().mkpath(QFileInfo(file).absolutePath())) return false;
    QSaveFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Text)) return false;
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Tessaly\n"
                                        "Comment=Interactive TCP debugging proxy\n"
                                        "Exec=%1\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(ExecArgument(execPath));
    f.write(text.toUtf8());
    return f.commit();
}

bool RemoveAutostart()
{
    const QString file = AutostartFile();
    return !QFile::exists(file) || QFile::remove(file);
}

bool AutostartEnabled() { return QFile::exists(AutostartFile()); }

QString HelpPath() { return QDir(ProgramDir()).filePath(QStringLiteral("Help/TSY.html")); }

bool OpenHelp() { return Modal::OpenWithAssociatedProgram(HelpPath()); }

} // namespace tsy::Runtime
