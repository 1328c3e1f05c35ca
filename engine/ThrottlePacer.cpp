#include "engine/ThrottlePacer.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

double SteadyMs()
{
    static QElapsedTimer since = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return double(since.nsecsElapsed()) / 1e6;
}

} // namespace

ThrottlePacer::ThrottlePacer(Clock now) : mNow(now ? std::move(now) : Clock(SteadyMs)) {}

int ThrottlePacer::Wait(long long sent, int amount, int period)
{
    amount = std::max(amount, 1);
    period = std::max(period, 1);
    const double now = mNow();
    // A late tick is made up at the next slice, but a stall longer than a
    // period is not: it would come back as a burst of slices.
    const double base = mRunning ? std::max(mDue, now - period) : now;
    mDue = base + double(sent) * double(period) / double(amount);
    mRunning = true;

    if (mHeldLeft <= 0) mHeldLeft = amount;
    mHeldLeft -= sent;
    mHeldAmount = amount;
    mHeldPeriod = period;

    // The fraction of a millisecond stays in the schedule, not in the wait.
    const double wait = std::ceil(mDue - now - 1e-6);
    if (wait < 1) return 1;
    if (wait > double(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    return int(wait);
}

bool ThrottlePacer::HeldSlice(int& amount, int& period) const
{
    if (mHeldLeft <= 0) return false;
    amount = mHeldAmount;
    period = mHeldPeriod;
    return true;
}

void ThrottlePacer::Restart()
{
    mRunning = false;
    mHeldLeft = 0;
}
