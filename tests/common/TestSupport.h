#pragma once
// Shared test helpers: bounded waits on the event loop, a private settings
// store per test program, and free loopback ports.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTemporaryDir>
#include <functional>

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

} // namespace tsytest
