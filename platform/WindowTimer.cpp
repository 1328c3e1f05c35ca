#include "platform/WindowTimer.h"

namespace tsy {

WindowTimer::WindowTimer(QObject* parent, int intervalMs, bool enabled)
    : QObject(parent), mInterval(intervalMs < 0 ? 0 : intervalMs), mEnabled(enabled)
{
    connect(&mTimer, &QTimer::timeout, this, &WindowTimer::Timer);
    apply();
}

void WindowTimer::SetInterval(int ms)
{
    if (ms < 0) ms = 0;
    if (ms == mInterval) return;   // re-setting the same value does not restart the count
    mInterval = ms;
    apply();
}

void WindowTimer::SetEnabled(bool on)
{
    if (on == mEnabled) return;
    mEnabled = on;
    apply();
}

void WindowTimer::apply()
{
    if (mEnabled && mInterval >= 1) {
        mTimer.setTimerType(mInterval < 2000 ? Qt::PreciseTimer : Qt::CoarseTimer);
        mTimer.start(mInterval);
    } else {
        mTimer.stop();
    }
}

} // namespace tsy
