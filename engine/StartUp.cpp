#include "engine/StartUp.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmConfigure.h"
#include "engine/frmError.h"
#include "engine/frmProblemSimulation.h"
#include "export/frmRealTimeLogging.h"
#include "history/Logging.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmOptions.h"
#include "mainwindow/frmSplash.h"
#include "platform/Modal.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "protocols/ProtocolFactory.h"
#include "protocols/ProtocolHandler.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QLockFile>
#include <QStandardPaths>
#include <climits>
#include <cmath>
#include <memory>
#include <stdexcept>

namespace General {

bool gblnFirstRun = false;

namespace {

// Held for the whole run: the sign that an instance is running.
std::unique_ptr<QLockFile> gInstanceLock;

QString Reports(int number, const QString& description)
{
    return QStringLiteral("The operating system reports: %1, %2").arg(number).arg(description);
}

// A number from the store; text that is not a number, or a number beyond
// int, counts as the default.
int StoredNumber(const QString& section, const QString& key, int defaultValue)
{
    const auto v = tsy::Numbers::ParseNumeric(tsy::Settings::GetSetting(section, key, QString::number(defaultValue)));
    const auto whole = v ? tsy::Numbers::WholeWithin(std::trunc(*v), INT_MIN, INT_MAX) : std::nullopt;
    return whole ? int(*whole) : defaultValue;
}

// A truth value from the store ("True"/"False", or a number: 0 is false).
bool StoredTruth(const QString& section, const QString& key, bool defaultValue)
{
    const QString text = tsy::Settings::GetSetting(section, key, defaultValue ? QStringLiteral("True") : QStringLiteral("False")).trimmed();
    if (text.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0) return true;
    if (text.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0) return false;
    if (const auto v = tsy::Numbers::ParseNumeric(text)) return *v != 0;
    return defaultValue;
}

void Save(const QString& section, const QString& key, const QString& value)
{
    tsy::Settings::SaveSetting(section, key, value);
    const QString failure = tsy::Settings::LastError();
    if (!failure.isEmpty()) throw std::runtime_error(failure.toStdString());
}

// One running instance per user settings store: the lock lives in the
// per-user runtime directory and is named after the store it guards.
bool AnotherInstanceRuns()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    QDir().mkpath(dir);
    const QByteArray store = QDir::cleanPath(tsy::Settings::FilePath()).toUtf8();
    const QString name = QStringLiteral("Tessaly-")
                         + QString::fromLatin1(QCryptographicHash::hash(store, QCryptographicHash::Sha1).toHex().left(16))
                         + QStringLiteral(".lock");
    gInstanceLock = std::make_unique<QLockFile>(QDir(dir).filePath(name));
    gInstanceLock->setStaleLockTime(0);   // stale only when its owner is gone
    if (gInstanceLock->tryLock(0)) return false;
    gInstanceLock.reset();
    return true;
}

} // namespace

const char* WelcomeText()
{
    return "Welcome to Tessaly!\r\n"
           "\r\n"
           "To help you get started, Tessaly has been automatically configured to handle\r\n"
           "- SMTP (outgoing e-mail) on port 25 \r\n"
           "- POP3 (incoming e-mail) on port 110 \r\n"
           "- HTTP (web browsing) on port 8080\r\n"
           "- HTTPS (secure web browsing) on port 443 \r\n"
           "- FTP (File Transfer Protocol) on port 21 and\r\n"
           "- Pass Through (For testing custom applications) on port 1000.\r\n"
           "\r\n"
           "You will need to configure your email client and web browser to connect to Tessaly.  "
           "Details can be found in the Help by looking under the heading 'Configuring Tessaly and the Client Software'. "
           "Also, be sure to click on 'Configure...' on the following screen to enter the name of your email servers.\r\n"
           "\r\n"
           "This message box will not be displayed again.";
}

void CheckFirstRun()
{
    try {
        if (!StoredTruth(QStringLiteral("FirstRun"), QStringLiteral("FirstRun"), true)) return;

        struct DefaultPort {
            const char* port;
            const char* description;
            const char* protocol;
        };
        static const DefaultPort table[] = {
            {"25", "SMTP - Outgoing e-mail", "Pass Through"},
            {"110", "POP3 - Incoming e-mail", "POP3"},
            {"8080", "HTTP Proxy - Web", "HTTP"},
            {"443", "HTTPS Proxy - Secure Web", "HTTPS"},
            {"21", "FTP - File Transfer Protocol", "FTP"},
            {"1000", "Pass Through - For Testing Apps", "Pass Through"},
        };
        for (const DefaultPort& p : table)
            Save(QStringLiteral("PortsInUse"), QString::fromLatin1(p.port), QString::fromLatin1(p.description));
        for (const DefaultPort& p : table)
            Save(QStringLiteral("Protocols"), QString::fromLatin1(p.port), QString::fromLatin1(p.protocol));

        Save(QStringLiteral("Protocols\\Pass Through\\Port 25"), QStringLiteral("Port"), QStringLiteral("25"));
        Save(QStringLiteral("Protocols\\Pass Through\\Port 25"), QStringLiteral("Server"), QStringLiteral("enter.your.smtp.server.name"));
        Save(QStringLiteral("Protocols\\Pass Through\\Port 1000"), QStringLiteral("Port"), QStringLiteral("1000"));
        Save(QStringLiteral("Protocols\\Pass Through\\Port 1000"), QStringLiteral("Server"), QStringLiteral("enter.your.server.name"));

        Save(QStringLiteral("FirstRun"), QStringLiteral("FirstRun"), QStringLiteral("False"));
        gblnFirstRun = true;
    } catch (const tsy::CollectionError& e) {
        frmError::LogError(QStringLiteral("An error occurred while attempting to check whether this is the first time that Tessaly has run.  ")
                           + Reports(e.number, QString::fromUtf8(e.what())));
    } catch (const std::exception& e) {
        frmError::LogError(QStringLiteral("An error occurred while attempting to check whether this is the first time that Tessaly has run.  ")
                           + Reports(5, QString::fromUtf8(e.what())));
    }
}

bool Main(int argc, char** argv)
{
    // 1. No arguments are taken; blanks alone do not count.
    QStringList args;
    for (int i = 1; i < argc; ++i) args.append(QString::fromLocal8Bit(argv[i]));
    if (!args.join(QLatin1Char(' ')).trimmed().isEmpty()) {
        tsy::Modal::MsgBox(nullptr, QStringLiteral("Please remove all command line arguments."), tsy::Modal::Icon::Warning,
                           tsy::Modal::Buttons::Ok, QStringLiteral("Tessaly"));
        return false;
    }

    // 2. A second instance ends without a word.
    if (AnotherInstanceRuns()) return false;

    const auto report = [](int number, const QString& description) {
        frmError::LogError(QStringLiteral("An error occurred while attempting to start Tessaly.  ") + Reports(number, description));
        frmSplash::Unload();
    };

    try {
        // 3-4. The splash, unless the program starts minimised; topmost either way.
        if (!frmOptions::StoredSwitch(QStringLiteral("RunMinimized"))) {
            frmSplash::Instance()->show();
            frmSplash::Instance()->repaint();
        }
        SetTopMost(frmSplash::Instance(), true);

        // 5. The only seeding of the run.
        tsy::Runtime::Randomize(quint64(QDateTime::currentMSecsSinceEpoch()));

        // 6-7.
        CheckFirstRun();
        gblnConnectionDiagramView = true;
        gblnLoggingEnabled = true;

        // 8. FTP data ports left over from an earlier run.
        for (const auto& entry : tsy::Settings::GetAllSettings(QStringLiteral("Protocols"))) {
            if (!entry.second.contains(QStringLiteral("Dynamically allocated"))) continue;
            bool ok = false;
            const int port = entry.first.trimmed().toInt(&ok);
            if (ok && port >= 0 && port <= 65535) DeleteEphemeralPort(port);
        }

        // 9-10. The recorder, then the listening side.
        if (!gobjLogging) gobjLogging = new Logging();
        if (!gobjListening) gobjListening = new Listening();
        gobjListening->InitaliseListeningSockets();

        // 11. The main window; loading it builds the tree from the port table.
        frmMain* main = frmMain::Instance();
        // A minimised start with the tray in use stays hidden in the tray.
        if (!main->HiddenInTray()) main->show();
        main->Refresh();

        // 12. One prototype handler per protocol, for the configuration windows.
        gcolProtocols.Clear();
        for (const char* name : {"HTTP", "Pass Through", "HTTPS", "POP3", "FTP"}) {
            std::shared_ptr<ProtocolHandler> prototype = CreateProtocolHandler(QString::fromLatin1(name));
            if (prototype) gcolProtocols.Add(prototype, prototype->GetProtocolName());
        }

        // 13. The port configuration window, in front of the main window.
        if (StoredNumber(QStringLiteral("Options"), QStringLiteral("ShowConfigAtStartUp"), 1) == 1) {
            main->ShowToolWindow(frmConfigure::Instance());
            frmConfigure::Instance()->repaint();
        }

        // 14. An error logged during start-up stands in front of the others.
        if (frmError* err = frmError::Loaded(); err && err->isVisible()) {
            err->raise();
            err->activateWindow();
            err->repaint();
        }

        // 15. The help lives in Help/TSY.html beside the program (Runtime::OpenHelp).

        // 16. The pause: nothing is handled meanwhile, also without a splash.
        if (frmSplash::IsLoaded()) frmSplash::Instance()->repaint();
        tsy::Runtime::Sleep(2000);

        // 17.
        SetTopMost(frmSplash::Instance(), false);
        frmSplash::Unload();

        // 18.
        if (gblnFirstRun)
            tsy::Modal::MsgBox(nullptr, QString::fromLatin1(WelcomeText()), tsy::Modal::Icon::Information,
                               tsy::Modal::Buttons::Ok, QStringLiteral("Tessaly"));

        // 19. Both windows read their switches as they load.
        frmProblemSimulation::Instance();
        frmRealTimeLogging::Instance();
    } catch (const tsy::CollectionError& e) {
        report(e.number, QString::fromUtf8(e.what()));
    } catch (const std::exception& e) {
        report(5, QString::fromUtf8(e.what()));
    }
    return true;
}

} // namespace General
