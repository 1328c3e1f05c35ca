#pragma once
// Keeps one direction of a connection at its throttle's rate over a whole
// transfer. Each send moves a schedule on by what it carried (sent × period
// / amount), and the wait answered runs to that schedule rather than from
// "now": timer latency is won back at the next slice, and data shorter than
// a slice costs its share of the period instead of nothing.
#include <functional>

class ThrottlePacer {
public:
    // Milliseconds on a monotonic clock; a test hands in its own.
    using Clock = std::function<double()>;
    explicit ThrottlePacer(Clock now = {});

    // The wait in ms (at least 1) before the next slice, after `sent` bytes
    // of a slice of `amount` bytes every `period` ms went out. amount and
    // period are at least 1.
    int Wait(long long sent, int amount, int period);

    // A send that used only part of a slice leaves it held, so a random slice
    // is drawn once per slice and not once per short send.
    bool HeldSlice(int& amount, int& period) const;

    // Nothing is being paced any more: the next send starts a fresh schedule.
    void Restart();

private:
    Clock mNow;
    bool mRunning = false;
    double mDue = 0;              // when the next slice may go
    long long mHeldLeft = 0;      // bytes left of the held slice
    int mHeldAmount = 0;
    int mHeldPeriod = 0;
};
