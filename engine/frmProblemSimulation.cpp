// Failure-simulation decisions: each reads the settings at the moment it is
// asked, so a change applies to the next request, connection or send.
#include "engine/frmProblemSimulation.h"

#include "engine/SocketPair.h"
#include "platform/KeyedCollection.h"
#include "platform/LoadedWindows.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"

#include <QPointer>
#include <limits>

namespace {

QPointer<frmProblemSimulation> sInstance;

int Wrap16(int value) { return static_cast<qint16>(static_cast<quint16>(value)); }

// The conversions fail like the classic ones do: a text that is no number is a
// type mismatch, a number beyond the target range an overflow.
qint64 Convert(const QString& text, qint64 lo, qint64 hi)
{
    const auto value = tsy::Numbers::ParseNumeric(text);
    if (!value) throw tsy::CollectionError(13, "Type mismatch");
    const double rounded = tsy::Numbers::RoundHalfEven(*value);
    if (rounded < double(lo) || rounded > double(hi)) throw tsy::CollectionError(6, "Overflow");
    return qint64(rounded);
}

int ToLong(double value)
{
    const double rounded = tsy::Numbers::RoundHalfEven(value);
    if (rounded < double(std::numeric_limits<int>::min()) || rounded > double(std::numeric_limits<int>::max()))
        throw tsy::CollectionError(6, "Overflow");
    return int(rounded);
}

int ToLong(const QString& text)
{
    return int(Convert(text, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

} // namespace

frmProblemSimulation* frmProblemSimulation::Instance()
{
    if (!sInstance) sInstance = new frmProblemSimulation();
    return sInstance;
}

bool frmProblemSimulation::IsLoaded() { return !sInstance.isNull(); }

void frmProblemSimulation::Unload()
{
    delete sInstance.data();
}

frmProblemSimulation::frmProblemSimulation() : QWidget(nullptr)
{
    setWindowTitle(QStringLiteral("Failure Simulation"));
    setAttribute(Qt::WA_DeleteOnClose, false);
}

frmProblemSimulation::~frmProblemSimulation() = default;

bool frmProblemSimulation::SelectionRuleFires(int intOption, int intCounter, const QString& strNth,
                                              const QString& strPercent)
{
    if (intOption == 0) {
        if (!tsy::Numbers::IsNumeric(strNth)) return false;
        int n = int(Convert(strNth, -32768, 32767));
        if (n < 1) n = 1;
        return intCounter % n == 0;   // the remainder takes the counter's sign
    }
    if (intOption == 1) {
        const auto percent = tsy::Numbers::ParseNumeric(strPercent);
        if (!percent) return false;
        const double r = tsy::Runtime::Rnd();
        return *percent / 100.0 >= r;
    }
    return false;
}

void frmProblemSimulation::TimeRule(int intOption, const QString& strFixed, const QString& strFrom,
                                    const QString& strTo, int& lngOut)
{
    if (intOption == 0) {
        if (tsy::Numbers::IsNumeric(strFixed)) lngOut = ToLong(strFixed);
    } else if (intOption == 1) {
        const auto from = tsy::Numbers::ParseNumeric(strFrom);
        const auto to = tsy::Numbers::ParseNumeric(strTo);
        if (from && to) {
            const double r = tsy::Runtime::Rnd();
            lngOut = ToLong(*from + r * (*to - *from));
        }
    }
}

bool frmProblemSimulation::ShouldConnectionRequestBeRefused()
{
    RequestCounter = Wrap16(RequestCounter + 1);
    if (chkRefuseConnections != 1) return false;
    return SelectionRuleFires(optRefuse, RequestCounter, txtRefuseNthConnection, txtRefuseNPercOfConnections);
}

bool frmProblemSimulation::ShouldConnectionBeTerminated(int& lngPeriod, QString& strComment)
{
    ConnectionCounter = Wrap16(ConnectionCounter + 1);
    bool blnAnswer = false;
    if (chkTerminateConnections == 1)
        blnAnswer = SelectionRuleFires(optClose, ConnectionCounter, txtTerminateNthConnection,
                                       txtTerminateNPercOfConnections);
    TimeRule(optCloseTime, txtTerminateTime, txtTerminateTimeFrom, txtTerminateTimeTo, lngPeriod);
    if (blnAnswer)
        strComment = QStringLiteral("Connection to be terminated in ") + QString::number(lngPeriod) + QStringLiteral(" mSecs");
    return blnAnswer;
}

bool frmProblemSimulation::ShouldConnectionBeDangled(int& lngTimeBeforeDanglePeriod, int& lngTimeDuringDangle,
                                                     int& intDataToDangle, QString& strComment)
{
    lngTimeBeforeDanglePeriod = 0;
    lngTimeDuringDangle = 0;
    intDataToDangle = 0;
    bool blnAnswer = false;
    QString strText;
    if (chkDangleConnections == 1
        && SelectionRuleFires(optDangle, ConnectionCounter, txtDangleNthConnection, txtDangleNPercOfConnections)) {
        blnAnswer = true;
        strText = QStringLiteral("Connection to be dangled in ");
    }
    TimeRule(optDangleStartTime, txtDangleStartTime, txtDangleStartTimeFrom, txtDangleStartTimeTo,
             lngTimeBeforeDanglePeriod);
    if (blnAnswer) strText += QString::number(lngTimeBeforeDanglePeriod) + QStringLiteral(" mSecs");
    TimeRule(optDangleStopTime, txtDangleStopTime, txtDangleStopTimeFrom, txtDangleStopTimeTo, lngTimeDuringDangle);
    if (blnAnswer)
        strText += QStringLiteral(" and it will dangled for ") + QString::number(lngTimeDuringDangle) + QStringLiteral(" mSecs");
    intDataToDangle = (optDangleDirections >= 0 && optDangleDirections <= 2) ? optDangleDirections : 0;
    if (blnAnswer) strComment = strText;
    return blnAnswer;
}

bool frmProblemSimulation::IsThrottlingNeeded(bool blnFromServerToClient, int lngDataLength,
                                              int& lngAmountOfDataToSend, int& lngNextSendPeriod)
{
    const bool on = (blnFromServerToClient ? chkThrottleS2CData : chkThrottleC2SData) == 1;
    const int option = blnFromServerToClient ? optS2CThrottle : optC2SThrottle;
    // A group with no option chosen throttles nothing, so its data still goes out.
    if (!on || (option != 0 && option != 1)) {
        lngAmountOfDataToSend = lngDataLength;
        lngNextSendPeriod = 0;
        return false;
    }
    if (option == 0) {
        lngAmountOfDataToSend = ToLong(blnFromServerToClient ? txtS2CBytes : txtC2SBytes);
        lngNextSendPeriod = ToLong(blnFromServerToClient ? txtS2CPeriod : txtC2SPeriod);
    } else {
        const auto number = [](const QString& t) {
            const auto v = tsy::Numbers::ParseNumeric(t);
            if (!v) throw tsy::CollectionError(13, "Type mismatch");
            return *v;
        };
        const double bytesFrom = number(blnFromServerToClient ? txtS2CBytesFrom : txtC2SBytesFrom);
        const double bytesTo = number(blnFromServerToClient ? txtS2CBytesTo : txtC2SBytesTo);
        const double r1 = tsy::Runtime::Rnd();
        lngAmountOfDataToSend = ToLong(bytesFrom + r1 * (bytesTo - bytesFrom));
        const double periodFrom = number(blnFromServerToClient ? txtS2CPeriodFrom : txtC2SPeriodFrom);
        const double periodTo = number(blnFromServerToClient ? txtS2CPeriodTo : txtC2SPeriodTo);
        const double r2 = tsy::Runtime::Rnd();
        lngNextSendPeriod = ToLong(periodFrom + r2 * (periodTo - periodFrom));
    }
    if (lngAmountOfDataToSend > lngDataLength) {
        lngAmountOfDataToSend = lngDataLength;
        lngNextSendPeriod = 0;
    }
    return true;
}

void frmProblemSimulation::cmdDangleAll_Click()
{
    for (QObject* window : tsy::LoadedWindows::Named(QStringLiteral("SocketPair"))) {
        auto* pair = qobject_cast<SocketPair*>(window);
        if (pair && !pair->Dead()) pair->tmrDangleStartTimer_Timer();
    }
}
