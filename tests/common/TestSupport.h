#pragma once
// Shared test helpers: bounded waits on the event loop, a private settings
// store per test program, and free loopback ports.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <functional>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tsytest {

// Runs the event loop until pred() holds or timeoutMs passes; returns pred().
// The bound is generous: a condition that holds returns at once, and a loaded
// machine may take seconds to get there.
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 30000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs) return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Open descriptors of a process (this one when pid is 0).
inline int OpenDescriptors(qint64 pid = 0)
{
    const QByteArray dir = pid ? "/proc/" + QByteArray::number(pid) + "/fd" : QByteArray("/proc/self/fd");
    int n = pid ? 0 : -1;   // our own count opens one
    if (DIR* d = ::opendir(dir.constData())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

// Spins the event loop for ms milliseconds.
inline void Pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// The temporary XDG_CONFIG_HOME / XDG_DATA_HOME of this test program.
QString TempHome();
// Removes every setting of the store (between tests).
void ClearSettings();

// The environment for a run of the real program kept in the folder `home`
// (its config, data and run folders), on the offscreen platform, with every
// message box answered by its default and no timed quit.
inline QProcessEnvironment ProgramEnvironment(const QDir& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("run")));
    env.insert(QStringLiteral("TSY_AUTO_ANSWER"), QStringLiteral("1"));
    env.remove(QStringLiteral("TSY_QUIT_AFTER_MS"));
    return env;
}

// A plain socket listening on 127.0.0.1 at a port the system picks (put in
// *port), or -1. Its connections take at most rcvbuf bytes into their
// receive buffer, when given; flags as for socket(2).
inline int RawListen(int* port, int flags = 0, int rcvbuf = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0) return -1;
    if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

} // namespace tsytest
