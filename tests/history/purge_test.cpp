// The purge pass: dead histories beyond the limits, trimming, and clear-all.
#include "HistoryFixture.h"
#include "common/TestSupport.h"
#include "mainwindow/frmOptions.h"
#include "platform/Settings.h"

#include <QCheckBox>
#include <QLineEdit>

namespace {

class Purge : public HistoryFixture {
protected:
    void TearDown() override
    {
        tsytest::ClearSettings();
        HistoryFixture::TearDown();
    }
    // A connection with `events` data events of `size` bytes each.
    SocketPair* Connection(int n, bool dead, int events = 0, int size = 10)
    {
        SocketPair* p = NewPair(n);
        log->LocalServerAcceptedConnection(p, false, 1000);
        for (int i = 0; i < events; ++i) log->ServerBytesReceived(p, QByteArray(size, 'z'), false);
        if (dead) log->Dead(p);
        return p;
    }
    static void Options(const char* keep, const char* memory, const char* events, const char* discard = "1")
    {
        tsy::Settings::SaveSetting("Options", "NumberToKeep", keep);
        tsy::Settings::SaveSetting("Options", "MaxMemorySize", memory);
        tsy::Settings::SaveSetting("Options", "MaxEventCount", events);
        tsy::Settings::SaveSetting("Options", "Discard", discard);
        frmOptions::Unload();   // the purge reads the limits from its next load
    }
    QStringList Keys() const
    {
        QStringList keys;
        for (const auto& h : log->mobjSocketPairHistory) keys << h->mstrSocketPairKey;
        return keys;
    }
};

TEST_F(Purge, NumberToKeepCountsLiveHistoriesAgainstTheSteps)
{
    Options("4", "100000", "1000");
    Connection(1, false);
    Connection(2, false);
    Connection(3, true);
    Connection(4, true);
    Connection(5, true);
    Connection(6, false);
    Connection(7, false);
    // Three over the limit: the three steps pass both live ones, then one dead goes.
    log->KillDeadSocketConnections();
    EXPECT_EQ(Keys(), QStringList({"KEY1", "KEY2", "KEY4", "KEY5", "KEY6", "KEY7"}));
    // Two over: both steps are spent on the live ones.
    log->KillDeadSocketConnections();
    EXPECT_EQ(Keys().size(), 6);
    Options("2", "100000", "1000");
    log->KillDeadSocketConnections();
    EXPECT_EQ(Keys(), QStringList({"KEY1", "KEY2", "KEY6", "KEY7"}));
    EXPECT_EQ(log->mlngTotalEvents, 4);
}

TEST_F(Purge, MemoryLimitRemovesDeadOnlyAndKeepsTotalsRight)
{
    Options("100", "0", "1000");
    Connection(1, true, 3);
    Connection(2, false, 5);
    Connection(3, true, 2);
    log->KillDeadSocketConnections();
    EXPECT_EQ(Keys(), QStringList({"KEY2"}));
    EXPECT_EQ(log->mlngTotalMemoryAllocated, 50);
    EXPECT_EQ(log->mlngTotalEvents, 6);
}

TEST_F(Purge, TrimKeepsTheNewestEventsAndRenumbersLoadedNodes)
{
    Options("100", "100000", "200");
    AddPortNode(1000);
    SocketPair* p = Connection(1, false);
    tree->SetExpanded("CON1000", true);
    log->LoadAllConnections("", "", 1000);
    log->LoadAllEvents("KEY1");
    tree->SetExpanded("KEY1", true);
    Options("100", "100000", "1000000");   // keep the logger's own passes out of the way
    for (int i = 0; i < 229; ++i) log->ServerBytesReceived(p, QByteArray(i % 7 + 1, 'q'), false);
    ASSERT_EQ(tree->Children("KEY1"), 230);
    qint64 expectedMemory = 0;
    auto& events = History(p).mobjSocketPairEvents;
    for (int i = 31; i <= 230; ++i) expectedMemory += events.Item(i)->mstrData.size();
    const QString oldest = events.Item(31)->mstrDescription;

    Options("100", "100000", "200");
    log->KillDeadSocketConnections();
    EXPECT_EQ(events.Count(), 200);
    EXPECT_EQ(History(p).mlngEventCount, 230);
    EXPECT_EQ(History(p).mlngMemoryAllocated, expectedMemory);
    EXPECT_EQ(log->mlngTotalMemoryAllocated, expectedMemory);
    EXPECT_EQ(log->mlngTotalEvents, 200);
    ASSERT_EQ(tree->Children("KEY1"), 200);
    EXPECT_EQ(tree->ChildKeys("KEY1").first(), "KEY1-1");
    EXPECT_EQ(tree->ChildKeys("KEY1").last(), "KEY1-200");
    EXPECT_EQ(tree->Text("KEY1-1"), oldest);
    EXPECT_EQ(tree->Tag("KEY1-1").toString(), "KEY1-31");

    // The next live event takes its position.
    Options("100", "100000", "1000000");
    log->ClientBytesReceived(p, "n", false);
    EXPECT_TRUE(tree->Exists("KEY1-201"));
}

TEST_F(Purge, SwitchedOffOrNonNumericLimitsRemoveNothing)
{
    Connection(1, true, 1);
    Connection(2, true, 1);
    Options("0", "0", "0", "0");
    log->KillDeadSocketConnections();
    EXPECT_EQ(Keys().size(), 2);
    EXPECT_EQ(log->mlngTotalEvents, 4);

    Options("abc", "0", "0");
    log->KillDeadSocketConnections();
    EXPECT_EQ(Keys().size(), 2);
    EXPECT_EQ(log->mlngTotalEvents, 4);

    Options("100", "100000", "abc");
    log->KillDeadSocketConnections();
    EXPECT_EQ(log->mlngTotalEvents, 4);

    Options("100", "100000", "0");
    log->KillDeadSocketConnections();
    EXPECT_EQ(log->mlngTotalEvents, 0);
    EXPECT_EQ(log->mlngTotalMemoryAllocated, 0);
}

TEST_F(Purge, LimitsBeyondAnyWholeNumberTrimNothingAndTinyOnesAreZero)
{
    Connection(1, true, 1);
    Connection(2, true, 1);
    for (const char* limit : {"1e30", "-1e30", "1e19", "-1e19", "nan", "9223372036854775808"}) {
        SCOPED_TRACE(limit);
        Options(limit, limit, limit);
        log->KillDeadSocketConnections();
        EXPECT_EQ(Keys().size(), 2);
        EXPECT_EQ(log->mlngTotalEvents, 4);
    }
    // Too small to represent: a limit of 0.
    Options("100", "100000", "1e-400");
    log->KillDeadSocketConnections();
    EXPECT_EQ(log->mlngTotalEvents, 0);
}

TEST_F(Purge, ClearAllDataRemovesEveryDeadConnection)
{
    Options("100", "100000", "1000", "0");
    AddPortNode(1000);
    Connection(1, true, 2);
    Connection(2, false, 1);
    Connection(3, true);
    tree->SetExpanded("CON1000", true);
    tsy::Settings::SaveSetting("PortsInUse", "4000", "FTP Data - Dynamically allocated");
    tsy::Settings::SaveSetting("Protocols", "4000", "FTP Data - Dynamically allocated");
    AddPortNode(4000);
    log->ClearAllData();
    EXPECT_EQ(Keys(), QStringList({"KEY2"}));
    EXPECT_EQ(log->mlngTotalEvents, 2);
    EXPECT_EQ(log->mlngTotalMemoryAllocated, 10);
    EXPECT_FALSE(tree->Exists("PROTO4000"));
    EXPECT_FALSE(tsy::Settings::KeyExists("PortsInUse", "4000"));
    EXPECT_TRUE(tree->Exists("PROTO1000"));
}

// The limits are read from the options window's boxes at every pass, typed or
// stored; nothing here presses OK.
TEST_F(Purge, TypedEventLimitsActAtTheNextPassAndOutOfRangeOnesTrimNothing)
{
    SocketPair* p = Connection(1, false, 5);
    frmOptions* o = frmOptions::Instance();
    const int errors = ErrorEntries();
    for (const char* limit : {"abc", "-5", "-0.4", "1e19", "2147483648"}) {
        o->txtMaximumEventCount->setText(QString::fromLatin1(limit));
        log->KillDeadSocketConnections();
        EXPECT_EQ(History(p).mobjSocketPairEvents.Count(), 6) << limit;
    }
    EXPECT_EQ(ErrorEntries(), errors);
    o->txtMaximumEventCount->setText(" 2.5 ");   // halves go to even
    log->KillDeadSocketConnections();
    EXPECT_EQ(History(p).mobjSocketPairEvents.Count(), 2);
    EXPECT_EQ(log->mlngTotalEvents, 2);
    EXPECT_EQ(log->mlngTotalMemoryAllocated, 20);
    EXPECT_FALSE(tsy::Settings::KeyExists("Options", "MaxEventCount"));
}

TEST_F(Purge, NumberToKeepPassesLiveOldestHistories)
{
    frmOptions* o = frmOptions::Instance();
    o->txtNumberToKeep->setText("100000");   // the logger's own passes keep everything meanwhile
    for (int n = 1; n <= 105; ++n) Connection(n, n >= 3 && n <= 5);
    o->txtNumberToKeep->setText("100");
    log->KillDeadSocketConnections();
    EXPECT_EQ(Keys().size(), 102);
    EXPECT_EQ(Keys().mid(0, 3), QStringList({"KEY1", "KEY2", "KEY6"}));

    log = std::make_unique<Logging>();
    o->txtNumberToKeep->setText("100000");
    for (int n = 201; n <= 305; ++n) Connection(n, n > 205);
    o->txtNumberToKeep->setText("100");
    log->KillDeadSocketConnections();
    EXPECT_EQ(Keys().size(), 105);
}

TEST_F(Purge, AnFtpDataPortGoesOnlyOnceItsConnectionIsDeadAndRemoved)
{
    tsy::Settings::SaveSetting("PortsInUse", "4000", "FTP Data - Dynamically allocated");
    tsy::Settings::SaveSetting("Protocols", "4000", "FTP Data - Dynamically allocated");
    AddPortNode(4000);
    frmOptions* o = frmOptions::Instance();
    o->chkRemoveEphemeralPortReferences->setChecked(false);
    SocketPair* p = NewPair(1, 4000);
    log->LocalServerAcceptedConnection(p, false, 4000);
    log->KillDeadSocketConnections();
    EXPECT_TRUE(tree->Exists("PROTO4000"));

    // Dead but still held: the unticked box keeps the port.
    log->Dead(p);
    log->KillDeadSocketConnections();
    EXPECT_TRUE(tree->Exists("PROTO4000"));
    EXPECT_TRUE(tsy::Settings::KeyExists("PortsInUse", "4000"));

    // Its history goes by the number to keep; the next pass takes the port.
    o->txtNumberToKeep->setText("0");
    log->KillDeadSocketConnections();
    EXPECT_TRUE(Keys().isEmpty());
    log->KillDeadSocketConnections();
    EXPECT_FALSE(tree->Exists("PROTO4000"));
    EXPECT_FALSE(tsy::Settings::KeyExists("PortsInUse", "4000"));
    EXPECT_FALSE(tsy::Settings::KeyExists("Protocols", "4000"));
}

// The decision to give memory back, driven by counts alone: events logged
// before each pass, bytes the purge freed, and a stand-in for the heap.
TEST(HeapTrimDecision, BusyPassesNeverTrimAndFallingIdleTrimsOnce)
{
    HeapTrim trim;
    int asked = 0;
    const auto heap = [&asked] {
        ++asked;
        return HeapUse{qint64(500) << 20, qint64(1) << 20};
    };
    // Idle from the start: nothing to give back.
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(trim.AfterPass(0, heap));

    // A busy relay: new events before every pass, a little freed each time.
    qint64 events = 0;
    for (int i = 0; i < 1000; ++i) {
        events += 21;
        trim.Freed(1024);
        EXPECT_FALSE(trim.AfterPass(events, heap));
    }
    EXPECT_EQ(asked, 0);

    // Quiet passes: the third in a row trims, later ones do not.
    for (int i = 1; i < HeapTrim::kQuietPasses; ++i) EXPECT_FALSE(trim.AfterPass(events, heap));
    EXPECT_TRUE(trim.AfterPass(events, heap));
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(trim.AfterPass(events, heap));
    EXPECT_EQ(trim.mintTrims, 1);

    // One event wakes it; quiet again, it trims again.
    ++events;
    EXPECT_FALSE(trim.AfterPass(events, heap));
    for (int i = 1; i < HeapTrim::kQuietPasses; ++i) EXPECT_FALSE(trim.AfterPass(events, heap));
    EXPECT_TRUE(trim.AfterPass(events, heap));
    EXPECT_EQ(trim.mintTrims, 2);
    EXPECT_EQ(asked, 0);   // idle trims need no look at the heap
}

TEST(HeapTrimDecision, FreedBytesAddUpAcrossPassesAndTrimOnlyAMostlyFreeHeap)
{
    HeapTrim trim;
    HeapUse use{qint64(200) << 20, qint64(20) << 20};
    int asked = 0;
    const auto heap = [&] {
        ++asked;
        return use;
    };
    const qint64 mib = qint64(1) << 20;
    qint64 events = 0;
    const auto busyPass = [&](qint64 freed) {
        trim.Freed(freed);
        return trim.AfterPass(++events, heap);
    };
    // No single pass frees much; together they do.
    for (qint64 freed = mib; freed < HeapTrim::kFreedBeforeCheck; freed += mib) EXPECT_FALSE(busyPass(mib));
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(busyPass(mib));
    EXPECT_EQ(asked, 1);

    // The heap is mostly in use: no trim, and the count starts afresh.
    use = {qint64(60) << 20, qint64(80) << 20};
    for (qint64 freed = mib; freed < HeapTrim::kFreedBeforeCheck; freed += mib) EXPECT_FALSE(busyPass(mib));
    EXPECT_FALSE(busyPass(mib));
    EXPECT_EQ(asked, 2);
    // Little free space at all: no trim either.
    use = {qint64(8) << 20, qint64(1) << 20};
    EXPECT_FALSE(busyPass(HeapTrim::kFreedBeforeCheck));
    EXPECT_EQ(asked, 3);
    use = {qint64(100) << 20, qint64(10) << 20};
    EXPECT_FALSE(busyPass(HeapTrim::kFreedBeforeCheck - 1));
    EXPECT_EQ(asked, 3);
    EXPECT_TRUE(busyPass(1));
    EXPECT_EQ(trim.mintTrims, 2);
}

TEST_F(Purge, WhatThePassesRemoveIsCountedTowardsTheNextTrim)
{
    Options("100", "0", "1000");
    log->mfnReadHeapUse = [] { return HeapUse{qint64(300) << 20, qint64(10) << 20}; };
    // One block shared by every event: the bookkeeping counts each event's
    // length, the test holds a single MiB.
    const QByteArray block(1 << 20, 'z');
    const int quarter = int(HeapTrim::kFreedBeforeCheck / block.size() / 4);
    const int sixteenth = quarter / 4;
    const auto connection = [&](int n, bool dead, int blocks) {
        SocketPair* p = NewPair(n);
        log->LocalServerAcceptedConnection(p, false, 1000);
        for (int i = 0; i < blocks; ++i) log->ServerBytesReceived(p, block, false);
        if (dead) log->Dead(p);
    };
    // Sixteen dead connections, each removed by its own small pass: the last
    // pass brings the total freed to the mark.
    for (int n = 1; n <= 16; ++n) {
        EXPECT_EQ(log->mobjHeapTrim.mintTrims, 0) << n;
        connection(n, true, sixteenth);
        log->KillDeadSocketConnections();
        EXPECT_TRUE(Keys().isEmpty());
    }
    EXPECT_EQ(log->mobjHeapTrim.mintTrims, 1);

    // That trim came after the last event: falling quiet adds none.
    for (int i = 0; i < 2 * HeapTrim::kQuietPasses; ++i) log->KillDeadSocketConnections();
    EXPECT_EQ(log->mobjHeapTrim.mintTrims, 1);
    // A live connection's traffic, then quiet: one more.
    connection(20, false, 3);
    for (int i = 0; i <= 2 * HeapTrim::kQuietPasses; ++i) log->KillDeadSocketConnections();
    EXPECT_EQ(log->mobjHeapTrim.mintTrims, 2);

    // Events trimmed from connections, live or dead, count too...
    Options("100", "100000", "0");
    connection(21, false, quarter * 2);
    connection(22, true, quarter * 2);
    log->KillDeadSocketConnections();
    EXPECT_EQ(log->mobjHeapTrim.mintTrims, 3);
    // ...and so do histories cleared by hand.
    Options("100", "100000", "1000");
    connection(23, true, quarter * 4);
    log->ClearAllData();
    EXPECT_EQ(log->mobjHeapTrim.mintTrims, 3);
    log->KillDeadSocketConnections();
    EXPECT_EQ(log->mobjHeapTrim.mintTrims, 4);
}

} // namespace
