// TessalyApp: the interactive TCP debugging proxy.
//
// Test hooks (environment variables; without them the program behaves as a
// user sees it):
//   TSY_AUTO_ANSWER=1     message boxes are not shown: each is answered with
//                         its default (OK / Yes) and written to stderr as one
//                         line "TSY_MSGBOX <title>|<icon>|<text>", the text's
//                         line breaks written as \r and \n. Lets a test run
//                         the real start-up offscreen, where no box could be
//                         clicked.
//   TSY_QUIT_AFTER_MS=N   N ms after start-up the program shuts down through
//                         the main window's own shutdown, as Exit does.
//   TSY_QUIT_ON_EOF=1     the same shutdown once the program's standard input
//                         reaches its end: a test that drives traffic ends
//                         the program when the traffic is done, not after a
//                         guessed time.
//   TSY_PRINT_ERROR_LOG=1 at either of those shutdowns, the error log is
//                         written to stderr first: a line "TSY_ERRORLOG <n>"
//                         with its number of entries, then its text.
#include "engine/StartUp.h"
#include "engine/frmError.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/Version.h"
#include "platform/Modal.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

class AutoAnswerBackend : public tsy::Modal::ScriptedBackend {
public:
    tsy::Modal::Answer MsgBox(QWidget* parent, const QString& text, tsy::Modal::Icon icon,
                              tsy::Modal::Buttons buttons, const QString& title) override
    {
        QString shown = text;
        shown.replace(QLatin1Char('\r'), QStringLiteral("\\r")).replace(QLatin1Char('\n'), QStringLiteral("\\n"));
        std::fprintf(stderr, "TSY_MSGBOX %s|%d|%s\n", qPrintable(title), int(icon), shown.toUtf8().constData());
        std::fflush(stderr);
        return ScriptedBackend::MsgBox(parent, text, icon, buttons, title);
    }
};

// Every relayed connection holds two descriptors: take what the system
// allows rather than the desktop's cautious default.
void RaiseDescriptorLimit()
{
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur >= r.rlim_max) return;
    r.rlim_cur = r.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &r);
}

void EndProgram()
{
    if (qEnvironmentVariableIntValue("TSY_PRINT_ERROR_LOG") == 1) {
        const frmError* log = frmError::Loaded();
        std::fprintf(stderr, "TSY_ERRORLOG %d\n%s\n", log ? log->EntryCount() : 0,
                     log ? log->LogText().toUtf8().constData() : "");
        std::fflush(stderr);
    }
    if (frmMain::IsLoaded()) frmMain::Instance()->Terminate();
    else QCoreApplication::exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    // Qt's own event dispatcher turns socket events around faster than the
    // glib one, which matters for a program that lives on socket events.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    RaiseDescriptorLimit();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaly"));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.0.%3").arg(Version::Major).arg(Version::Minor).arg(Version::Revision));
    // The program ends through the main window's shutdown, not when a window closes.
    QApplication::setQuitOnLastWindowClosed(false);

    if (qEnvironmentVariableIntValue("TSY_AUTO_ANSWER") == 1)
        tsy::Modal::SetBackend(std::make_unique<AutoAnswerBackend>());

    if (!General::Main(argc, argv)) return 0;
    if (frmMain::ProgramEnded()) return 0;

    bool ok = false;
    const int quitAfter = qEnvironmentVariableIntValue("TSY_QUIT_AFTER_MS", &ok);
    if (ok && quitAfter >= 0) {
        QTimer::singleShot(quitAfter, &app, [] { EndProgram(); });
    }
    if (qEnvironmentVariableIntValue("TSY_QUIT_ON_EOF") == 1) {
        auto* input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
        QObject::connect(input, &QSocketNotifier::activated, &app, [input] {
            char buf[256];
            if (::read(STDIN_FILENO, buf, sizeof buf) > 0) return;
            input->setEnabled(false);
            EndProgram();
        });
    }
    return app.exec();
}
