#include "history/HeapTrim.h"

#include <malloc.h>

bool HeapTrim::AfterPass(qint64 lngEventsLogged, const std::function<HeapUse()>& fnHeapUse)
{
    if (lngEventsLogged != mlngEventsAtLastPass) {
        mlngEventsAtLastPass = lngEventsLogged;
        mintQuietPasses = 0;
        mblnTrafficSinceTrim = true;
    } else if (mintQuietPasses < kQuietPasses) {
        ++mintQuietPasses;
    }

    bool trim = mblnTrafficSinceTrim && mintQuietPasses >= kQuietPasses;
    if (!trim && mlngFreedSinceTrim >= kFreedBeforeCheck) {
        const HeapUse use = fnHeapUse();
        trim = use.lngFree >= kHeldFreeToTrim && use.lngFree > use.lngInUse;
        // What was freed went back into use; count afresh before asking again.
        if (!trim) mlngFreedSinceTrim = 0;
    }
    if (!trim) return false;
    mlngFreedSinceTrim = 0;
    mblnTrafficSinceTrim = false;
    ++mintTrims;
    return true;
}

HeapUse ReadHeapUse()
{
    const struct mallinfo2 info = mallinfo2();
    HeapUse use;
    use.lngFree = qint64(info.fordblks);
    use.lngInUse = qint64(info.uordblks);
    return use;
}

void TrimHeap()
{
    malloc_trim(0);
}
