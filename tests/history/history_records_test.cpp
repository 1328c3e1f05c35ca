// The record of one connection: event keys, follow-on flag, byte totals and memory.
#include "history/SocketPairHistory.h"

#include <gtest/gtest.h>

namespace {

std::shared_ptr<SocketEvent> Ev(int type, QByteArray data = {}, bool followOn = false)
{
    auto e = std::make_shared<SocketEvent>();
    e->mobjEventType = type;
    e->mstrData = std::move(data);
    e->mblnNextEventFollowOn = followOn;
    return e;
}

TEST(SocketPairHistory, KeysRunOnAfterOldEventsAreDropped)
{
    SocketPairHistory h;
    for (int i = 0; i < 10; ++i) h.AddEvent(Ev(SocketEventType::LocalServerDisconnected));
    EXPECT_EQ(h.mobjSocketPairEvents.KeyAt(1), "KEY0");
    EXPECT_EQ(h.mobjSocketPairEvents.KeyAt(2), "KEY1");
    for (int i = 0; i < 3; ++i) h.mobjSocketPairEvents.Remove(1);
    auto next = Ev(SocketEventType::LocalClientDisconnected);
    h.AddEvent(next);
    EXPECT_EQ(h.mlngEventCount, 11);
    EXPECT_EQ(h.mobjSocketPairEvents.Count(), 8);
    EXPECT_EQ(h.mobjSocketPairEvents.KeyAt(8), "KEY10");
    EXPECT_EQ(h.mobjSocketPairEvents.Item("KEY10"), next);
}

TEST(SocketPairHistory, PreviousFollowOnIsThatOfTheEventBeforeTheNewest)
{
    SocketPairHistory h;
    h.AddEvent(Ev(SocketEventType::LocalServerAcceptedConnection, {}, true));
    EXPECT_FALSE(h.mblnPreviousEventFollowOn);
    h.AddEvent(Ev(SocketEventType::ConnectionAttemptToRemoteServer, {}, false));
    EXPECT_TRUE(h.mblnPreviousEventFollowOn);
    h.AddEvent(Ev(SocketEventType::ConnectionAttemptSuccessful, {}, true));
    EXPECT_FALSE(h.mblnPreviousEventFollowOn);
}

TEST(SocketPairHistory, TotalsCountWhatEachPeerSent)
{
    const QByteArray hundred(100, 'x');
    struct Case { int type; qint64 c2s; qint64 s2c; };
    const Case cases[] = {
        {SocketEventType::ServerBytesReceived, 100, 0},   // from the remote client
        {SocketEventType::ClientBytesReceived, 0, 100},   // from the remote server
        {SocketEventType::ClientBytesBuffered, 0, 0},     {SocketEventType::ClientBytesBufferedDangling, 0, 0},
        {SocketEventType::ServerBytesBuffered, 0, 0},     {SocketEventType::ServerBytesBufferedDangling, 0, 0},
        {SocketEventType::ServerBytesSendStart, 0, 0},    {SocketEventType::ServerBytesSendStartThrottled, 0, 0},
        {SocketEventType::ClientBytesSendStart, 0, 0},    {SocketEventType::ClientBytesSendStartThrottled, 0, 0},
    };
    for (const Case& c : cases) {
        SocketPairHistory h;
        EXPECT_EQ(h.AddEvent(Ev(c.type, hundred)), 100) << c.type;
        EXPECT_EQ(h.mlngBytesC2S, c.c2s) << c.type;
        EXPECT_EQ(h.mlngBytesS2C, c.s2c) << c.type;
        EXPECT_EQ(h.mlngMemoryAllocated, 100) << c.type;
    }
    SocketPairHistory h;
    for (int type = 0; type <= 24; ++type) {
        if (type < 9 || type > 18) {
            EXPECT_EQ(h.AddEvent(Ev(type)), 0);
        }
    }
    EXPECT_EQ(h.mlngMemoryAllocated, 0);
    EXPECT_EQ(h.mlngBytesC2S + h.mlngBytesS2C, 0);
}

TEST(SocketPairHistory, CountersAre64Bit)
{
    SocketPairHistory h;
    h.mlngBytesC2S = h.mlngBytesS2C = h.mlngMemoryAllocated = 0x7FFFFFF0LL;
    h.AddEvent(Ev(SocketEventType::ServerBytesReceived, QByteArray(32, 'a')));
    h.AddEvent(Ev(SocketEventType::ClientBytesReceived, QByteArray(32, 'b')));
    EXPECT_EQ(h.mlngBytesC2S, 0x80000010LL);
    EXPECT_EQ(h.mlngBytesS2C, 0x80000010LL);
    EXPECT_EQ(h.mlngMemoryAllocated, 0x80000030LL);
}

} // namespace
