#pragma once
// When the purge hands freed heap memory back to the system. The allocator
// keeps what is freed for later use, so after traffic the process would stay
// at its peak; trimming it costs a walk of the heap and, while the relay is
// busy, page faults for memory that is about to be used again. So it trims
// when the program falls idle after traffic, and during long traffic once
// the purge has freed a good deal and the heap is mostly free space.
#include <QtGlobal>
#include <functional>

// What the allocator holds, all arenas: free space and space in use.
struct HeapUse {
    qint64 lngFree = 0;
    qint64 lngInUse = 0;
};

class HeapTrim {
public:
    // Freed by the purge since the last trim, passes added up, before the
    // allocator's free memory is looked at...
    static constexpr qint64 kFreedBeforeCheck = qint64(128) << 20;
    // ...and how much must lie free in the heap to be worth a trim. The free
    // space must also outweigh what is in use: while many connections are
    // busy, what was freed is taken again at once.
    static constexpr qint64 kHeldFreeToTrim = qint64(32) << 20;
    // Purge passes in a row without a new event before the program counts as
    // idle. The timer runs one every 500 ms; after 1.5 s the unload timer has
    // let go of the last dead pairs too.
    static constexpr int kQuietPasses = 3;

    // Bytes of recorded data the purge let go of.
    void Freed(qint64 lngBytes) { mlngFreedSinceTrim += lngBytes; }

    // After each purge pass, with the number of events logged so far and a
    // reader of the heap's use (asked only when the freed total says it may
    // be worth it): true when the heap is to be trimmed now.
    bool AfterPass(qint64 lngEventsLogged, const std::function<HeapUse()>& fnHeapUse);

    int mintTrims = 0;   // trims decided so far

private:
    qint64 mlngFreedSinceTrim = 0;
    qint64 mlngEventsAtLastPass = 0;
    int mintQuietPasses = 0;
    bool mblnTrafficSinceTrim = false;
};

HeapUse ReadHeapUse();
// Gives the heap's free pages back to the system.
void TrimHeap();
