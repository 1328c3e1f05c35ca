// Failure simulation: the decisions on their own, the window's settings and
// checks, and every rule acting on real loopback connections through the
// listening side, a Pass Through pair and a backend server.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/SocketPair.h"
#include "engine/ThrottlePacer.h"
#include "engine/frmProblemSimulation.h"
#include "history/Logging.h"
#include "history/SocketEvent.h"
#include "mainwindow/frmMain.h"
#include "platform/LoadedWindows.h"
#include "platform/Modal.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/WindowTimer.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolRelay.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <algorithm>
#include <deque>
#include <gtest/gtest.h>
#include <memory>

using tsytest::FreePort;
using tsytest::WaitUntil;

namespace {

// ---- helpers --------------------------------------------------------------------

std::deque<double> gRandom;

void ScriptRandom(std::initializer_list<double> values)
{
    gRandom.assign(values.begin(), values.end());
    tsy::Runtime::SetRandomSource([] {
        if (gRandom.empty()) return 0.5;
        const double r = gRandom.front();
        gRandom.pop_front();
        return r;
    });
}

// The real server: keeps every accepted connection and what it received.
class Backend : public QObject {
public:
    Backend()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                const int index = int(conns.size());
                conns.push_back(s);
                received.push_back(QByteArray());
                QObject::connect(s, &QTcpSocket::readyRead, this,
                                 [this, s, index] { received[size_t(index)] += s->readAll(); });
            }
        });
    }
    int Port() const { return server.serverPort(); }
    QTcpServer server;
    std::vector<QTcpSocket*> conns;
    std::vector<QByteArray> received;
};

// One remote client, on our own socket control (a plain QTcpSocket quietly
// connects again after a reset): records what it receives and how it ended.
struct Client {
    explicit Client(int port)
    {
        socket = std::make_unique<tsy::Winsock>();
        QObject::connect(socket.get(), &tsy::Winsock::DataArrival, [this](qint64) { received += socket->GetData(); });
        QObject::connect(socket.get(), &tsy::Winsock::Closed, [this] { ended = true; });
        QObject::connect(socket.get(), &tsy::Winsock::Error, [this](int number, const QString&) {
            error = number;
            ended = true;
        });
        socket->Connect(QStringLiteral("127.0.0.1"), port);
    }
    void write(const QByteArray& data) { socket->SendData(data); }
    std::unique_ptr<tsy::Winsock> socket;
    QByteArray received;
    bool ended = false;
    int error = 0;
};

class FailureSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (frmProblemSimulation::IsLoaded()) frmProblemSimulation::Unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        tsy::Settings::DeleteSection(QStringLiteral("FailureSim"));
        ScriptRandom({});
        General::gblnLoggingEnabled = true;
        sim = frmProblemSimulation::Instance();
    }
    void TearDown() override
    {
        delete listening;
        listening = nullptr;
        General::gobjListening = nullptr;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        delete General::gobjLogging;
        General::gobjLogging = nullptr;
        tsy::Runtime::SetRandomSource({});
        tsy::Modal::SetBackend(nullptr);
    }

    // A Pass Through port relaying to the backend.
    void StartProxy()
    {
        General::gobjLogging = new Logging;
        listening = new Listening;
        General::gobjListening = listening;
        port = FreePort();
        tsytest::SavePassThroughPort(port, "127.0.0.1", backend.Port());
        tsy::Winsock* socket = nullptr;
        int err = 0;
        QString text;
        ASSERT_TRUE(listening->StartListeningOnSocket(socket, port, err, text)) << text.toStdString();
    }

    SocketPair* Pair(int n) const
    {
        return listening->mobjSocketPairs.Exists("KEY" + QString::number(n))
                   ? listening->mobjSocketPairs.Item("KEY" + QString::number(n)).data()
                   : nullptr;
    }
    // Connects a client and waits until its pair has connected out.
    std::unique_ptr<Client> Connected(int n)
    {
        auto client = std::make_unique<Client>(port);
        EXPECT_TRUE(WaitUntil([&] { return Pair(n) && Pair(n)->ClientInitialised() && int(backend.conns.size()) >= n; }));
        return client;
    }
    QList<std::shared_ptr<SocketEvent>> Events(int n) const
    {
        QList<std::shared_ptr<SocketEvent>> out;
        for (const auto& e : General::gobjLogging->mobjSocketPairHistory.Item("KEY" + QString::number(n))->mobjSocketPairEvents)
            out.append(e);
        return out;
    }
    QStringList Descriptions(int n, int type) const
    {
        QStringList out;
        for (const auto& e : Events(n))
            if (e->mobjEventType == type) out << e->mstrDescription;
        return out;
    }

    frmProblemSimulation* sim = nullptr;
    Backend backend;
    Listening* listening = nullptr;
    int port = 0;
};

QByteArray Pattern(qint64 size)
{
    QByteArray data(qsizetype(size), Qt::Uninitialized);
    quint32 x = 12345;
    for (qsizetype i = 0; i < data.size(); ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = char(x >> 24);
    }
    return data;
}

// ---- the decisions ------------------------------------------------------------

TEST_F(FailureSimTest, RefusalRules)
{
    // Switched off: nothing refused, the counter still counts.
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(sim->ShouldConnectionRequestBeRefused());
    EXPECT_EQ(sim->RequestCounter, 3);

    sim->chkRefuseConnections->setChecked(true);
    sim->txtRefuseNthConnection->setText("0");
    EXPECT_TRUE(sim->ShouldConnectionRequestBeRefused());
    sim->txtRefuseNthConnection->setText("-4");
    EXPECT_TRUE(sim->ShouldConnectionRequestBeRefused());
    sim->txtRefuseNthConnection->setText("12a");
    EXPECT_FALSE(sim->ShouldConnectionRequestBeRefused());
    // A count beyond 16 bits saturates instead of failing.
    sim->txtRefuseNthConnection->setText("1e12");
    EXPECT_NO_THROW(sim->ShouldConnectionRequestBeRefused());

    // Percentages: 100 always; 0 only on an exact 0 draw.
    sim->optRefuse(1)->setChecked(true);
    sim->txtRefuseNPercOfConnections->setText("100");
    ScriptRandom({0.999999, 0.3});
    EXPECT_TRUE(sim->ShouldConnectionRequestBeRefused());
    EXPECT_TRUE(sim->ShouldConnectionRequestBeRefused());
    sim->txtRefuseNPercOfConnections->setText("0");
    ScriptRandom({0.0001, 0.0});
    EXPECT_FALSE(sim->ShouldConnectionRequestBeRefused());
    EXPECT_TRUE(sim->ShouldConnectionRequestBeRefused());

    // The counter wraps like a 16-bit number and the rule goes on firing.
    sim->optRefuse(0)->setChecked(true);
    sim->txtRefuseNthConnection->setText("2");
    sim->RequestCounter = 32767;
    EXPECT_TRUE(sim->ShouldConnectionRequestBeRefused());   // -32768
    EXPECT_EQ(sim->RequestCounter, -32768);
    EXPECT_FALSE(sim->ShouldConnectionRequestBeRefused());  // -32767
}

TEST_F(FailureSimTest, TerminationAndDangleDecisions)
{
    sim->chkTerminateConnections->setChecked(true);
    sim->chkDangleConnections->setChecked(true);
    sim->txtTerminateNthConnection->setText("2");
    sim->txtDangleNthConnection->setText("2");
    int period = 0, before = 0, during = 0, direction = -1;
    QString tc, dc;
    EXPECT_FALSE(sim->ShouldConnectionBeTerminated(period, tc));
    EXPECT_FALSE(sim->ShouldConnectionBeDangled(before, during, direction, dc));
    EXPECT_TRUE(tc.isEmpty());
    EXPECT_TRUE(dc.isEmpty());
    // A connection not dangled still carries the duration and direction.
    EXPECT_EQ(during, 10000);
    EXPECT_EQ(direction, 2);
    EXPECT_TRUE(sim->ShouldConnectionBeTerminated(period, tc));
    EXPECT_TRUE(sim->ShouldConnectionBeDangled(before, during, direction, dc));
    EXPECT_EQ(period, 20000);
    EXPECT_EQ(tc, "Connection to be terminated in 20000 mSecs");
    EXPECT_EQ(dc, "Connection to be dangled in 10000 mSecs and it will dangled for 10000 mSecs");

    // Random times stay within From/To in either order.
    sim->optCloseTime(1)->setChecked(true);
    for (auto [from, to] : {std::pair{"5000", "20000"}, std::pair{"20000", "5000"}}) {
        sim->txtTerminateTimeFrom->setText(from);
        sim->txtTerminateTimeTo->setText(to);
        for (double r : {0.0, 0.25, 0.5, 0.999999}) {
            ScriptRandom({r});
            period = -1;
            sim->ShouldConnectionBeTerminated(period, tc);
            EXPECT_GE(period, 5000);
            EXPECT_LE(period, 20000);
        }
    }
    // A box that is no number keeps the caller's value; one beyond 32 bits
    // is clamped into the boxes' range rather than failing the connection.
    sim->optCloseTime(0)->setChecked(true);
    sim->txtTerminateTime->setText("soon");
    period = 0;
    sim->ShouldConnectionBeTerminated(period, tc);
    EXPECT_EQ(period, 0);
    sim->txtTerminateTime->setText("1e15");
    EXPECT_NO_THROW(sim->ShouldConnectionBeTerminated(period, tc));
    EXPECT_EQ(period, 60000);
}

TEST_F(FailureSimTest, ThrottleDecisions)
{
    int amount = 0, period = 0;
    EXPECT_FALSE(sim->IsThrottlingNeeded(false, 1000, amount, period));
    EXPECT_EQ(amount, 1000);
    EXPECT_EQ(period, 0);

    sim->chkThrottleC2SData->setChecked(true);
    EXPECT_TRUE(sim->IsThrottlingNeeded(false, 1000, amount, period));
    EXPECT_EQ(amount, 200);
    EXPECT_EQ(period, 100);
    // Less than a slice goes at once and costs its share of the period.
    EXPECT_TRUE(sim->IsThrottlingNeeded(false, 150, amount, period));
    EXPECT_EQ(amount, 150);
    EXPECT_EQ(period, 75);
    EXPECT_TRUE(sim->IsThrottlingNeeded(false, 200, amount, period));
    EXPECT_EQ(amount, 200);
    EXPECT_EQ(period, 100);
    // The other direction has its own switch.
    EXPECT_FALSE(sim->IsThrottlingNeeded(true, 1000, amount, period));

    // Slices are at least one byte; no wait between slices sends the rest now.
    sim->txtC2SBytes->setText("0");
    EXPECT_TRUE(sim->IsThrottlingNeeded(false, 1000, amount, period));
    EXPECT_EQ(amount, 1);
    EXPECT_EQ(period, 100);
    sim->txtC2SBytes->setText("200");
    sim->txtC2SPeriod->setText("0");
    EXPECT_TRUE(sim->IsThrottlingNeeded(false, 1000, amount, period));
    EXPECT_EQ(amount, 1000);
    EXPECT_EQ(period, 0);
    // A box that is no number: the data goes out whole, unthrottled.
    sim->txtC2SPeriod->setText("12a");
    EXPECT_FALSE(sim->IsThrottlingNeeded(false, 1000, amount, period));
    EXPECT_EQ(amount, 1000);
    EXPECT_EQ(period, 0);

    // Random slices: one draw for the size, then one for the period.
    sim->optC2SThrottle(1)->setChecked(true);
    ScriptRandom({0.5, 0.0});
    EXPECT_TRUE(sim->IsThrottlingNeeded(false, 1000, amount, period));
    EXPECT_EQ(amount, 200);
    EXPECT_EQ(period, 50);
}

// A transfer paced slice by slice takes the time its rate asks for, however
// the data is cut: big slices fed by short reads, late ticks, slices of one
// byte, the largest slice and period, and random slices fed short sends.
TEST_F(FailureSimTest, ThrottlePacingHoldsTheRateOverATransfer)
{
    double now = 0;
    sim->chkThrottleC2SData->setChecked(true);
    // Sends `count` times, each offered `offered` bytes; each tick comes
    // `late` ms after the wait. Returns the bytes sent, leaves `now` at the
    // moment the last slice's wait ends.
    const auto transfer = [&](int count, int offered, int late) {
        ThrottlePacer pacer([&] { return now; });
        now = 1000;
        long long sent = 0;
        for (int i = 0; i < count; ++i) {
            int amount = 0, period = 0;
            EXPECT_TRUE(sim->IsThrottlingNeeded(false, offered, amount, period, &pacer));
            EXPECT_GE(period, 1);
            sent += amount;
            now += period + (i + 1 < count ? late : 0);
        }
        return sent;
    };
    const auto expectRate = [&](long long sent, double amount, double period) {
        EXPECT_NEAR(now - 1000, double(sent) * period / amount, 1.0) << sent << " bytes";
    };
    const auto fixed = [&](const char* bytes, const char* ms) {
        sim->txtC2SBytes->setText(bytes);
        sim->txtC2SPeriod->setText(ms);
    };

    fixed("1000000", "100");
    expectRate(transfer(200, 65536, 1), 1e6, 100);
    fixed("200", "100");
    expectRate(transfer(50, 1000, 3), 200, 100);
    fixed("1", "10");
    expectRate(transfer(30, 500, 2), 1, 10);
    fixed("16777216", "60000");   // bytes × ms beyond 32 bits
    expectRate(transfer(10, std::numeric_limits<int>::max(), 0), 16777216, 60000);
    expectRate(transfer(40, 1 << 20, 5), 16777216, 60000);

    // A stall of many periods is not made up by a burst: the slices after it
    // keep their spacing, save the one slice a late tick may win back.
    {
        fixed("200", "100");
        ThrottlePacer pacer([&] { return now; });
        int amount = 0, period = 0;
        sim->IsThrottlingNeeded(false, 1000, amount, period, &pacer);
        now += 5000;
        int waited = 0;
        for (int i = 0; i < 10; ++i) {
            sim->IsThrottlingNeeded(false, 1000, amount, period, &pacer);
            waited += period;
            now += period;
        }
        EXPECT_GE(waited, 900);
    }

    // Random slices of 100 or 300 bytes every 150 or 50 ms (a mean of 200
    // bytes every 100 ms) fed 50 bytes at a time: each slice lasts for its
    // own bytes, so the mean rate holds.
    sim->optC2SThrottle(1)->setChecked(true);
    sim->txtC2SBytesFrom->setText("100");
    sim->txtC2SBytesTo->setText("300");
    sim->txtC2SPeriodFrom->setText("50");
    sim->txtC2SPeriodTo->setText("150");
    bool high = false;
    int draws = 0;
    tsy::Runtime::SetRandomSource([&] {
        ++draws;
        if (draws % 2) high = !high;
        return high ? (draws % 2 ? 1.0 : 0.0) : (draws % 2 ? 0.0 : 1.0);
    });
    expectRate(transfer(80, 50, 0), 200, 100);
    EXPECT_EQ(draws, 2 * 20);   // one draw of each per slice, not per send
}

// ---- the window -------------------------------------------------------------------

TEST_F(FailureSimTest, SettingsRoundTripWithDefaults)
{
    const QStringList keys = sim->SettingKeys();
    ASSERT_EQ(keys.size(), 56);
    EXPECT_EQ(keys.first(), "chkTerminateConnections");
    EXPECT_EQ(keys.last(), "optDangleDirections_2");
    // An empty store: all switches off, the first members chosen, dangles end
    // by transmitting and apply to both directions.
    EXPECT_EQ(frmProblemSimulation::Value(sim->chkTerminateConnections), 0);
    EXPECT_EQ(sim->optClose.Chosen(), 0);
    EXPECT_EQ(sim->optDangleClose.Chosen(), 1);
    EXPECT_EQ(sim->optDangleDirections.Chosen(), 2);
    EXPECT_EQ(sim->txtDangleStartTimeTo->text(), "30000");
    EXPECT_EQ(sim->txtS2CPeriodTo->text(), "500");

    // Unloading stores every key in its stored form.
    frmProblemSimulation::Unload();
    const QString s = "FailureSim";
    EXPECT_EQ(tsy::Settings::GetKeys(s).size(), 56);
    EXPECT_EQ(tsy::Settings::GetSetting(s, "chkRefuseConnections"), "0");
    EXPECT_EQ(tsy::Settings::GetSetting(s, "optClose_0"), "True");
    EXPECT_EQ(tsy::Settings::GetSetting(s, "optClose_1"), "False");
    EXPECT_EQ(tsy::Settings::GetSetting(s, "optDangleClose_0"), "False");
    EXPECT_EQ(tsy::Settings::GetSetting(s, "optDangleClose_1"), "True");
    EXPECT_EQ(tsy::Settings::GetSetting(s, "txtTerminateTime"), "20000");
    EXPECT_EQ(tsy::Settings::GetSetting(s, "txtC2SBytesFrom"), "100");

    // Changes, including a text that fails its check, come back as set.
    sim = frmProblemSimulation::Instance();
    sim->chkThrottleS2CData->setChecked(true);
    sim->optDangleDirections(0)->setChecked(true);
    sim->txtRefuseNthConnection->setText("12a");
    sim->optGracefulTermination(1)->setChecked(true);
    frmProblemSimulation::Unload();
    EXPECT_EQ(tsy::Settings::GetSetting(s, "txtRefuseNthConnection"), "12a");
    sim = frmProblemSimulation::Instance();
    EXPECT_EQ(frmProblemSimulation::Value(sim->chkThrottleS2CData), 1);
    EXPECT_EQ(sim->optDangleDirections.Chosen(), 0);
    EXPECT_EQ(sim->optGracefulTermination.Chosen(), 1);
    EXPECT_EQ(sim->txtRefuseNthConnection->text(), "12a");

    // "True" for both members: the higher index wins. "False" for all: the
    // group falls back to its default member.
    frmProblemSimulation::Unload();
    tsy::Settings::SaveSetting(s, "optRefuse_0", "True");
    tsy::Settings::SaveSetting(s, "optRefuse_1", "True");
    tsy::Settings::SaveSetting(s, "optDangleClose_1", "False");
    sim = frmProblemSimulation::Instance();
    EXPECT_EQ(sim->optRefuse.Chosen(), 1);
    EXPECT_EQ(sim->optDangleClose.Chosen(), 1);

    // "Close" (also Enter) only hides: nothing is stored.
    sim->show();
    sim->txtTerminateTime->setText("777");
    QTest::keyClick(sim->txtTerminateTime, Qt::Key_Return);
    EXPECT_FALSE(sim->isVisible());
    EXPECT_TRUE(frmProblemSimulation::IsLoaded());
    EXPECT_EQ(tsy::Settings::GetSetting(s, "txtTerminateTime"), "20000");
    // The window frame's close stores and unloads.
    sim->show();
    sim->close();
    EXPECT_FALSE(frmProblemSimulation::IsLoaded());
    EXPECT_EQ(tsy::Settings::GetSetting(s, "txtTerminateTime"), "777");
}

TEST_F(FailureSimTest, NumberBoxesCheckedWhenTheyLoseFocus)
{
    auto& script = tsy::Modal::UseScript();
    const auto leave = [&](QLineEdit* box, const QString& text) {
        box->setText(text);
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QCoreApplication::sendEvent(box, &out);
    };
    leave(sim->txtTerminateTime, "0");
    leave(sim->txtTerminateTime, "60001");
    leave(sim->txtTerminateTime, "12a");
    leave(sim->txtTerminateTime, "");
    leave(sim->txtTerminateTime, "60000");
    leave(sim->txtTerminateTime, "1");
    EXPECT_EQ(script.texts(), QStringList({"This value lie between 1 and 60000.", "This value lie between 1 and 60000.",
                                           "This value must be numeric.", "This value must be numeric."}));
    ASSERT_EQ(script.calls.size(), 4);
    EXPECT_EQ(script.calls[0].title, "Tessaly");
    EXPECT_EQ(script.calls[0].icon, tsy::Modal::Icon::Information);

    script.calls.clear();
    leave(sim->txtRefuseNPercOfConnections, "0");
    leave(sim->txtRefuseNPercOfConnections, "0.5");
    leave(sim->txtRefuseNPercOfConnections, "12a");
    leave(sim->txtRefuseNPercOfConnections, "150");
    leave(sim->txtRefuseNPercOfConnections, "1.5");
    leave(sim->txtTerminateTimeFrom, "9000");
    leave(sim->txtTerminateTimeTo, "1000");
    EXPECT_EQ(script.texts(), QStringList({"This value be greater than 0.", "This value be greater than 0.",
                                           "This value must be numeric."}));
    // The text stays as typed and the focus goes back to the box.
    leave(sim->txtC2SBytes, "0");
    EXPECT_EQ(sim->txtC2SBytes->text(), "0");
    EXPECT_EQ(sim->focusWidget(), sim->txtC2SBytes);
}

TEST_F(FailureSimTest, EnterOnAFocusedCommandButtonPressesThatButton)
{
    // Enter goes to the Close button only when no other button has the focus.
    sim->show();
    int dangled = 0;
    QObject::connect(sim->cmdDangleAll, &QPushButton::clicked, [&] { ++dangled; });
    QTest::keyClick(sim->cmdTerminateAllConnections, Qt::Key_Return);
    EXPECT_TRUE(sim->isVisible());
    QTest::keyClick(sim->cmdDangleAll, Qt::Key_Enter);
    EXPECT_TRUE(sim->isVisible());
    EXPECT_EQ(dangled, 1);
    QTest::keyClick(sim->chkTerminateConnections, Qt::Key_Return);
    EXPECT_FALSE(sim->isVisible());
}

TEST_F(FailureSimTest, StatusPanelsShowTheSwitches)
{
    General::gobjLogging = new Logging;
    frmMain* main = frmMain::Instance();
    // The window's load writes the panels from the store.
    frmProblemSimulation::Unload();
    tsy::Settings::DeleteSection(QStringLiteral("FailureSim"));
    tsy::Settings::SaveSetting("FailureSim", "chkRefuseConnections", "1");
    sim = frmProblemSimulation::Instance();
    const auto panels = [&] {
        QStringList texts;
        for (int i = 4; i <= 7; ++i) texts << main->barStatus->PanelText(i);
        return texts;
    };
    EXPECT_EQ(panels(), QStringList({"Terminate: Off ", "Refuse: ON ", "Throttle: Off ", "Dangle: Off "}));
    // Any change of a switch, by code or through the panels, rewrites them.
    sim->chkThrottleS2CData->setChecked(true);
    EXPECT_EQ(main->barStatus->PanelText(6), "Throttle: ON ");
    sim->chkThrottleS2CData->setChecked(false);
    EXPECT_EQ(main->barStatus->PanelText(6), "Throttle: Off ");
    main->barStatus_PanelDblClick(7);
    main->barStatus_PanelDblClick(5);
    EXPECT_EQ(panels(), QStringList({"Terminate: Off ", "Refuse: Off ", "Throttle: Off ", "Dangle: ON "}));
    frmMain::Unload();
}

// ---- rules acting on real connections ---------------------------------------------

TEST_F(FailureSimTest, EveryThirdRequestIsRefused)
{
    StartProxy();
    sim->chkRefuseConnections->setChecked(true);
    sim->txtRefuseNthConnection->setText("3");
    std::vector<std::unique_ptr<Client>> clients;
    for (int n = 1; n <= 9; ++n) {
        clients.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(WaitUntil([&] { return Pair(n) != nullptr; })) << n;
    }
    WaitUntil([&] { return backend.conns.size() == 6; });
    ASSERT_EQ(backend.conns.size(), 6u);
    ASSERT_TRUE(WaitUntil([&] { return clients[2]->ended && clients[5]->ended && clients[8]->ended; }));
    for (int n = 1; n <= 9; ++n) {
        const bool refused = n % 3 == 0;
        EXPECT_EQ(clients[size_t(n - 1)]->ended, refused) << n;
        // A refused client sees its connection reset.
        if (refused) { EXPECT_EQ(clients[size_t(n - 1)]->error, tsy::SockErr::ConnectionReset) << n; }
        const auto events = Events(n);
        ASSERT_FALSE(events.isEmpty());
        EXPECT_EQ(events.first()->mobjEventType, refused ? 1 : 0) << n;
    }
    // The ones accepted relay.
    clients[0]->write("ping");
    EXPECT_TRUE(WaitUntil([&] { return backend.received[0] == "ping"; }));
}

TEST_F(FailureSimTest, ScheduledTerminationKeepsTime)
{
    StartProxy();
    sim->chkTerminateConnections->setChecked(true);
    sim->txtTerminateNthConnection->setText("1");
    sim->txtTerminateTime->setText("300");
    QElapsedTimer t;
    t.start();
    auto client = Connected(1);
    ASSERT_TRUE(WaitUntil([&] { return client->ended; }));
    EXPECT_GE(t.elapsed(), 280);
    EXPECT_TRUE(Descriptions(1, 4).first().contains("Connection to be terminated in 300 mSecs"));
    EXPECT_TRUE(Descriptions(1, 5).contains("The remote server has disconnected. Connection terminated as per schedule."));

    // Forced closure is reported as an error of the local client socket.
    sim->optGracefulTermination(1)->setChecked(true);
    sim->optCloseTime(1)->setChecked(true);
    sim->txtTerminateTimeFrom->setText("600");
    sim->txtTerminateTimeTo->setText("200");
    ScriptRandom({0.5});
    t.restart();
    auto second = Connected(2);
    ASSERT_TRUE(WaitUntil([&] { return second->ended; }));
    EXPECT_GE(t.elapsed(), 380);
    EXPECT_EQ(Descriptions(2, 20),
              QStringList({"The local client socket is in a error state: 0, Socket connection scheduled for termination by TSY."}));
}

TEST_F(FailureSimTest, DanglesHoldDataThenTransmitDiscardOrClose)
{
    StartProxy();
    sim->chkDangleConnections->setChecked(true);
    sim->txtDangleNthConnection->setText("1");
    sim->txtDangleStartTime->setText("50");
    sim->txtDangleStopTime->setText("400");

    struct Case {
        int direction;
        int close;   // 0 close, 1 transmit, 2 discard
    };
    int n = 0;
    for (const Case c : {Case{0, 1}, Case{1, 1}, Case{2, 2}, Case{2, 0}}) {
        ++n;
        SCOPED_TRACE(testing::Message() << "direction " << c.direction << " close " << c.close);
        sim->optDangleDirections(c.direction)->setChecked(true);
        sim->optDangleClose(c.close)->setChecked(true);
        auto client = Connected(n);
        SocketPair* pair = Pair(n);
        QTcpSocket* server = backend.conns[size_t(n - 1)];
        ASSERT_TRUE(WaitUntil([&] { return pair->IsDanglingCurrentlyOn(c.direction != 1) ; }));
        client->write("to-server");
        server->write("to-client");
        const bool c2s = c.direction != 1;
        const bool s2c = c.direction != 0;
        // The direction not dangled flows; a dangled one holds its data for as
        // long as the dangle lasts (on a loaded machine it may be over before
        // the check, which then has nothing to say).
        if (!c2s) { EXPECT_TRUE(WaitUntil([&] { return backend.received[size_t(n - 1)] == "to-server"; })); }
        if (!s2c) { EXPECT_TRUE(WaitUntil([&] { return client->received == "to-client"; })); }
        if (c2s && s2c) tsytest::Pump(150);
        if (c2s && pair->IsDanglingCurrentlyOn(true)) { EXPECT_TRUE(backend.received[size_t(n - 1)].isEmpty()); }
        if (s2c && pair->IsDanglingCurrentlyOn(false)) { EXPECT_TRUE(client->received.isEmpty()); }
        ASSERT_TRUE(WaitUntil([&] { return !pair->IsDanglingCurrentlyOn(true) && !pair->IsDanglingCurrentlyOn(false); }));
        if (c.close == 1) {
            EXPECT_TRUE(WaitUntil([&] { return backend.received[size_t(n - 1)] == "to-server"; }));
            EXPECT_TRUE(WaitUntil([&] { return client->received == "to-client"; }));
        } else if (c.close == 2) {
            tsytest::Pump(150);
            EXPECT_TRUE(backend.received[size_t(n - 1)].isEmpty());
            EXPECT_TRUE(client->received.isEmpty());
            EXPECT_FALSE(client->ended);
            client->write("after");
            EXPECT_TRUE(WaitUntil([&] { return backend.received[size_t(n - 1)] == "after"; }));
        } else {
            EXPECT_TRUE(WaitUntil([&] { return client->ended; }));
            EXPECT_TRUE(Descriptions(n, 5).contains(
                "The remote server has disconnected. Connection terminated as per dangling schedule."));
        }
        // The history tells the dangle's start and end per side, client side first.
        QStringList dangles;
        for (const auto& e : Events(n))
            if (e->mobjEventType >= 21 && e->mobjEventType <= 24)
                dangles << QString::number(e->mobjEventType) + " " + e->mstrDescription;
        QStringList expected;
        if (s2c) expected << "22 Remote client side dangling has started. No more data will be sent to the remote client for 400 mSecs.";
        if (c2s) expected << "21 Remote server side dangling has started. No more data will be sent to the remote server for 400 mSecs.";
        if (s2c) expected << "24 Remote client side dangling has stopped.";
        if (c2s) expected << "23 Remote server side dangling has stopped.";
        EXPECT_EQ(dangles, expected);
        if (c2s) { EXPECT_FALSE(Descriptions(n, 11).isEmpty()); }
        if (s2c) { EXPECT_FALSE(Descriptions(n, 13).isEmpty()); }
    }
}

TEST_F(FailureSimTest, DataSentBeforeAClientCloseDuringADangleIsStillDelivered)
{
    StartProxy();
    sim->chkDangleConnections->setChecked(true);
    sim->txtDangleNthConnection->setText("1");
    sim->txtDangleStartTime->setText("1");
    sim->txtDangleStopTime->setText("300");
    sim->optDangleDirections(0)->setChecked(true);
    auto client = Connected(1);
    ASSERT_TRUE(WaitUntil([&] { return Pair(1)->IsDanglingCurrentlyOn(true); }));
    client->write("last words");
    ASSERT_TRUE(WaitUntil([&] { return !Descriptions(1, 11).isEmpty(); }));
    client->socket->Close();
    ASSERT_TRUE(WaitUntil([&] { return !Descriptions(1, 7).isEmpty(); }));
    // Delivered after the dangle, then the server side is closed.
    EXPECT_TRUE(WaitUntil([&] { return backend.received[0] == "last words"; }));
    EXPECT_TRUE(WaitUntil([&] { return backend.conns[0]->state() != QAbstractSocket::ConnectedState; }));
    EXPECT_TRUE(Pair(1)->Dead());
}

TEST_F(FailureSimTest, ThrottledDataArrivesIntactAndPaced)
{
    StartProxy();
    for (const bool s2c : {false, true}) {
        SCOPED_TRACE(s2c ? "server to client" : "client to server");
        sim->chkThrottleC2SData->setChecked(!s2c);
        sim->chkThrottleS2CData->setChecked(s2c);
        const int n = s2c ? 2 : 1;
        auto client = Connected(n);
        const QByteArray data = Pattern(1000);
        QElapsedTimer t;
        t.start();
        if (s2c) backend.conns[size_t(n - 1)]->write(data);
        else client->write(data);
        const QByteArray& got = s2c ? client->received : backend.received[size_t(n - 1)];
        ASSERT_TRUE(WaitUntil([&] { return got.size() >= 1000; }));
        EXPECT_GE(t.elapsed(), 380);
        EXPECT_EQ(got, data);
        const QStringList slices = Descriptions(n, s2c ? 15 : 18);
        EXPECT_EQ(slices.size(), 5);
        EXPECT_EQ(slices.value(0), s2c ? "200 bytes of throttled data has been sent to the remote client."
                                        : "200 bytes of throttled data has been sent to the remote server.");
        // The pacing stops once everything has gone.
        EXPECT_TRUE(WaitUntil([&] { return !(s2c ? Pair(n)->IsServerSendingData() : Pair(n)->IsClientSendingData()); }));
    }

    // Less than a slice goes at once; what arrives after it has gone, while
    // its share of the period runs, waits for the tick.
    sim->chkThrottleS2CData->setChecked(false);
    sim->chkThrottleC2SData->setChecked(true);
    sim->txtC2SBytes->setText("100000");
    sim->txtC2SPeriod->setText("600000");
    auto client = Connected(3);
    client->write("first");
    ASSERT_TRUE(WaitUntil([&] {
        const auto events = Events(3);
        return std::any_of(events.begin(), events.end(), [](const auto& e) {
            return e->mobjEventType == SocketEventType::ClientBytesSendStartThrottled && !e->mstrEventEndTime.isEmpty();
        });
    }));
    EXPECT_TRUE(Pair(3)->IsClientSendingData());
    client->write("second");
    ASSERT_TRUE(WaitUntil([&] { return !Descriptions(3, SocketEventType::ClientBytesBuffered).isEmpty(); }));
    EXPECT_EQ(backend.received[2], "first");
    Pair(3)->tmrC2SThrottleDataRequest->SetInterval(1);
    EXPECT_TRUE(WaitUntil([&] { return backend.received[2] == "firstsecond"; }));
}

// A direction held by a throttle or a dangle keeps its data when its
// sender closes and the other peer then speaks: what the other peer sends
// has nowhere to go and is dropped, the held data is still delivered, and
// the close waits for it. The paced tick and the dangle's end are long off
// and brought forward once the other peer's data has arrived.
TEST_F(FailureSimTest, HeldDataOutlivesAClosedSenderWhoseFarPeerSpeaks)
{
    StartProxy();
    sim->txtS2CBytes->setText("50000");
    sim->txtS2CPeriod->setText("600000");
    sim->txtC2SBytes->setText("50000");
    sim->txtC2SPeriod->setText("600000");
    sim->txtDangleNthConnection->setText("1");
    sim->txtDangleStartTime->setText("1");
    sim->txtDangleStopTime->setText("60000");
    const QByteArray data = Pattern(200000);
    int n = 0;
    for (const bool dangle : {false, true}) {
        for (const bool s2c : {true, false}) {
            SCOPED_TRACE(std::string(dangle ? "dangle, " : "throttle, ") + (s2c ? "server to client" : "client to server"));
            ++n;
            sim->chkThrottleS2CData->setChecked(!dangle && s2c);
            sim->chkThrottleC2SData->setChecked(!dangle && !s2c);
            sim->chkDangleConnections->setChecked(dangle);
            sim->optDangleDirections(s2c ? 1 : 0)->setChecked(true);
            auto client = Connected(n);
            SocketPair* pair = Pair(n);
            ASSERT_NE(pair, nullptr);
            if (dangle) {
                ASSERT_TRUE(WaitUntil([&] { return pair->IsDanglingCurrentlyOn(!s2c); }));
            }
            QTcpSocket* server = backend.conns[size_t(n - 1)];
            // The sender sends and closes; the other peer speaks once the
            // proxy has seen the close.
            if (s2c) {
                server->write(data);
                server->disconnectFromHost();
            } else {
                client->write(data);
                client->socket->Close();
            }
            const int closeEvent = s2c ? SocketEventType::RemoteServerDisconnected : SocketEventType::RemoteClientDisconnected;
            ASSERT_TRUE(WaitUntil([&] { return !Descriptions(n, closeEvent).isEmpty(); }));
            if (s2c) client->write("too late");
            else server->write("too late");
            const int arrival = s2c ? SocketEventType::ServerBytesReceived : SocketEventType::ClientBytesReceived;
            ASSERT_TRUE(WaitUntil([&] { return !Descriptions(n, arrival).isEmpty(); }));
            ASSERT_FALSE(pair->Dead());
            // What was held goes now, whole, and then the side closes.
            sim->chkThrottleS2CData->setChecked(false);
            sim->chkThrottleC2SData->setChecked(false);
            tsy::WindowTimer* due = dangle ? pair->tmrDangleStopTimer
                                           : (s2c ? pair->tmrS2CThrottleDataRequest : pair->tmrC2SThrottleDataRequest);
            due->SetInterval(1);
            if (s2c) {
                EXPECT_TRUE(WaitUntil([&] { return client->ended; }));
                EXPECT_EQ(client->received.size(), data.size());
                EXPECT_TRUE(client->received == data);
            } else {
                EXPECT_TRUE(WaitUntil([&] { return server->state() != QAbstractSocket::ConnectedState; }));
                EXPECT_EQ(backend.received[size_t(n - 1)].size(), data.size());
                EXPECT_TRUE(backend.received[size_t(n - 1)] == data);
            }
            EXPECT_TRUE(pair->Dead());
            // The late data is recorded as having nowhere to go.
            const int badState = s2c ? SocketEventType::ClientInBadState : SocketEventType::ServerInBadState;
            EXPECT_EQ(Descriptions(n, badState).size(), 1);
        }
    }
    // Both directions held and both peers gone: nothing is left to wait for.
    sim->chkDangleConnections->setChecked(false);
    sim->chkThrottleS2CData->setChecked(true);
    sim->chkThrottleC2SData->setChecked(true);
    ++n;
    auto client = Connected(n);
    QTcpSocket* server = backend.conns[size_t(n - 1)];
    auto* relay = dynamic_cast<ProtocolRelay*>(Pair(n)->mobjProtocolHandler.get());
    ASSERT_NE(relay, nullptr);
    client->write(data);
    server->write(data);
    // However the reads split it, each direction holds all but its first slice.
    ASSERT_TRUE(WaitUntil([&] {
        return backend.received[size_t(n - 1)].size() + relay->C2SBufferedBytes() == data.size()
               && client->received.size() + relay->S2CBufferedBytes() == data.size() && relay->C2SBufferedBytes() > 0
               && relay->S2CBufferedBytes() > 0;
    }));
    server->disconnectFromHost();
    ASSERT_TRUE(WaitUntil([&] { return !Descriptions(n, SocketEventType::RemoteServerDisconnected).isEmpty(); }));
    client->socket->Close();
    EXPECT_TRUE(WaitUntil([&] { return Pair(n)->Dead(); }));
}

// "Discard data collected during dangle" drops what the dangle collected,
// not what already waited when it began: a throttled stream's backlog
// (held by slices of 50,000 bytes a minute) is still sent
// after a dangle that discards, and only the bytes that arrived during the
// dangle are gone.
TEST_F(FailureSimTest, DiscardAfterADangleKeepsWhatWaitedBeforeIt)
{
    StartProxy();
    sim->chkThrottleC2SData->setChecked(true);
    sim->txtC2SBytes->setText("50000");
    sim->txtC2SPeriod->setText("60000");
    sim->txtDangleStopTime->setText("60000");
    sim->optDangleDirections(0)->setChecked(true);
    sim->optDangleClose(2)->setChecked(true);
    auto client = Connected(1);
    SocketPair* pair = Pair(1);
    auto* relay = dynamic_cast<ProtocolRelay*>(pair->mobjProtocolHandler.get());
    ASSERT_NE(relay, nullptr);
    const QByteArray data = Pattern(200000);
    client->write(data);
    // However the reads split it, all but the first slice waits.
    ASSERT_TRUE(WaitUntil([&] { return backend.received[0].size() + relay->C2SBufferedBytes() == data.size(); }));
    ASSERT_GT(relay->C2SBufferedBytes(), 0);

    sim->cmdDangleAll_Click();
    ASSERT_TRUE(pair->IsDanglingCurrentlyOn(true));
    client->write("collected during the dangle");
    ASSERT_TRUE(WaitUntil([&] { return !Descriptions(1, SocketEventType::ClientBytesBufferedDangling).isEmpty(); }));
    // The dangle ends (discarding), unthrottled from then on.
    sim->chkThrottleC2SData->setChecked(false);
    pair->tmrDangleStopTimer->SetInterval(1);
    ASSERT_TRUE(WaitUntil([&] { return !pair->IsDanglingCurrentlyOn(true); }));
    client->write("end");
    pair->tmrC2SThrottleDataRequest->SetInterval(1);   // a slice still due goes now
    ASSERT_TRUE(WaitUntil([&] { return backend.received[0].endsWith("end"); }));
    EXPECT_EQ(backend.received[0].size(), data.size() + 3);
    EXPECT_TRUE(backend.received[0] == data + "end");
}

// A throttled direction whose last slice has just gone (its pacing still
// running) is left with nothing to send by a dangle that discards what its
// sender sent before leaving: its side closes when the dangle ends, not at
// a pacing tick ten minutes on.
TEST_F(FailureSimTest, ADiscardingDangleThatEmptiesAThrottledDirectionClosesIt)
{
    StartProxy();
    for (QLineEdit* box : {sim->txtS2CBytes, sim->txtC2SBytes}) box->setText("1000");
    for (QLineEdit* box : {sim->txtS2CPeriod, sim->txtC2SPeriod, sim->txtDangleStopTime}) box->setText("600000");
    sim->optDangleClose(2)->setChecked(true);
    const QByteArray slice = Pattern(1000);
    int n = 0;
    for (const bool s2c : {true, false}) {
        SCOPED_TRACE(s2c ? "server to client" : "client to server");
        ++n;
        sim->chkThrottleS2CData->setChecked(s2c);
        sim->chkThrottleC2SData->setChecked(!s2c);
        sim->optDangleDirections(s2c ? 1 : 0)->setChecked(true);
        auto client = Connected(n);
        SocketPair* pair = Pair(n);
        ASSERT_NE(pair, nullptr);
        QTcpSocket* server = backend.conns[size_t(n - 1)];
        const QByteArray& got = s2c ? client->received : backend.received[size_t(n - 1)];
        if (s2c) server->write(slice);
        else client->write(slice);
        ASSERT_TRUE(WaitUntil([&] { return got.size() == slice.size(); }));
        ASSERT_TRUE(s2c ? pair->IsServerSendingData() : pair->IsClientSendingData());

        sim->cmdDangleAll_Click();
        ASSERT_TRUE(pair->IsDanglingCurrentlyOn(!s2c));
        if (s2c) {
            server->write("discarded");
            server->disconnectFromHost();
        } else {
            client->write("discarded");
            client->socket->Close();
        }
        using namespace SocketEventType;
        ASSERT_TRUE(WaitUntil([&] {
            return !Descriptions(n, s2c ? RemoteServerDisconnected : RemoteClientDisconnected).isEmpty();
        }));
        ASSERT_FALSE(Descriptions(n, s2c ? ServerBytesBufferedDangling : ClientBytesBufferedDangling).isEmpty());
        pair->tmrDangleStopTimer->SetInterval(1);
        if (s2c) EXPECT_TRUE(WaitUntil([&] { return client->ended; }));
        else EXPECT_TRUE(WaitUntil([&] { return server->state() != QAbstractSocket::ConnectedState; }));
        EXPECT_TRUE(pair->Dead());
        EXPECT_EQ(got, slice);
    }
}

TEST_F(FailureSimTest, TerminateAllAndDangleAll)
{
    StartProxy();
    sim->txtDangleStopTime->setText("300");
    auto a = Connected(1);
    auto b = Connected(2);
    sim->cmdDangleAll_Click();
    EXPECT_TRUE(Pair(1)->IsDanglingCurrentlyOn(true));
    EXPECT_TRUE(Pair(2)->IsDanglingCurrentlyOn(false));
    EXPECT_EQ(Descriptions(2, 21).size(), 1);
    ASSERT_TRUE(WaitUntil([&] { return !Pair(1)->IsDanglingCurrentlyOn(true); }));
    sim->cmdTerminateAllConnections_Click();
    EXPECT_TRUE(WaitUntil([&] { return a->ended && b->ended; }));
    EXPECT_TRUE(Pair(1)->Dead());
    EXPECT_TRUE(Pair(2)->Dead());
    // Dead pairs are passed over.
    EXPECT_NO_THROW(sim->cmdTerminateAllConnections_Click());
    EXPECT_EQ(Descriptions(1, 5).size(), 1);
}

TEST_F(FailureSimTest, LongDangleOfFastStreamHoldsBoundedBacklog)
{
    StartProxy();
    sim->chkDangleConnections->setChecked(true);
    sim->txtDangleNthConnection->setText("1");
    sim->txtDangleStartTime->setText("1");
    sim->txtDangleStopTime->setText("2000");
    sim->optDangleDirections(0)->setChecked(true);
    const qint64 total = 64 * 1024 * 1024;
    const QByteArray data = Pattern(total);
    auto client = Connected(1);
    SocketPair* pair = Pair(1);
    auto* relay = dynamic_cast<ProtocolRelay*>(pair->mobjProtocolHandler.get());
    ASSERT_NE(relay, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return pair->IsDanglingCurrentlyOn(true); }));

    client->write(data);
    qint64 peak = 0;
    const auto sample = [&] {
        if (pair->IsDanglingCurrentlyOn(true))
            peak = qMax(peak, relay->C2SBufferedBytes() + pair->sckServer->BytesAvailable());
    };
    WaitUntil([&] {
        sample();
        return !pair->IsDanglingCurrentlyOn(true);
    }, 5000);
    EXPECT_GT(peak, 0);   // the stream did reach the pair during the dangle
    // What the relay and the socket layer hold stays flat: the sender meets
    // TCP flow control instead.
    EXPECT_LE(peak, 2 * ProtocolRelay::kBackPressureBytes + 1024 * 1024);
    EXPECT_TRUE(WaitUntil([&] { return backend.received[0].size() >= total; }, 30000));
    EXPECT_TRUE(backend.received[0] == data);
}

} // namespace
