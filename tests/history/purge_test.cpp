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

} // namespace
