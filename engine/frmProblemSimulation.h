#pragma once
// The failure-simulation window: refuse, terminate, dangle and throttle
// connections by rule. For now it holds the settings with their defaults and
// answers the decisions the listening side and the socket pairs ask; its
// controls, settings storage and status panels arrive with the window itself.
#include <QString>
#include <QWidget>

class frmProblemSimulation : public QWidget {
    Q_OBJECT
public:
    // Loads the window (hidden) on first use, like reading one of its controls.
    static frmProblemSimulation* Instance();
    static bool IsLoaded();
    static void Unload();

    // ---- the decisions ------------------------------------------------------
    bool ShouldConnectionRequestBeRefused();
    bool ShouldConnectionBeTerminated(int& lngPeriod, QString& strComment);
    bool ShouldConnectionBeDangled(int& lngTimeBeforeDanglePeriod, int& lngTimeDuringDangle,
                                   int& intDataToDangle, QString& strComment);
    bool IsThrottlingNeeded(bool blnFromServerToClient, int lngDataLength,
                            int& lngAmountOfDataToSend, int& lngNextSendPeriod);
    // "Start Dangle On All Open Connections".
    void cmdDangleAll_Click();

    // Counters of requests and connections asked about; they wrap like the
    // signed 16-bit numbers they are.
    int RequestCounter = 0;
    int ConnectionCounter = 0;

    // ---- the switches (1 on, 0 off) ---------------------------------------
    int chkRefuseConnections = 0;
    int chkTerminateConnections = 0;
    int chkDangleConnections = 0;
    int chkThrottleC2SData = 0;
    int chkThrottleS2CData = 0;

    // ---- option groups: the index of the chosen member, -1 for none -------
    int optRefuse = 0;
    int optClose = 0;
    int optCloseTime = 0;
    int optGracefulTermination = 0;   // read by the pair when its termination fires
    int optDangle = 0;
    int optDangleStartTime = 0;
    int optDangleStopTime = 0;
    int optDangleClose = 1;           // read by the pair when its dangle ends
    int optDangleDirections = 2;
    int optC2SThrottle = 0;
    int optS2CThrottle = 0;

    // ---- number boxes, as text ---------------------------------------------
    QString txtRefuseNthConnection = "5";
    QString txtRefuseNPercOfConnections = "10";
    QString txtTerminateNthConnection = "5";
    QString txtTerminateNPercOfConnections = "10";
    QString txtTerminateTime = "20000";
    QString txtTerminateTimeFrom = "5000";
    QString txtTerminateTimeTo = "20000";
    QString txtDangleNthConnection = "5";
    QString txtDangleNPercOfConnections = "10";
    QString txtDangleStartTime = "10000";
    QString txtDangleStartTimeFrom = "5000";
    QString txtDangleStartTimeTo = "30000";
    QString txtDangleStopTime = "10000";
    QString txtDangleStopTimeFrom = "5000";
    QString txtDangleStopTimeTo = "30000";
    QString txtC2SBytes = "200";
    QString txtC2SPeriod = "100";
    QString txtC2SBytesFrom = "100";
    QString txtC2SBytesTo = "300";
    QString txtC2SPeriodFrom = "50";
    QString txtC2SPeriodTo = "500";
    QString txtS2CBytes = "200";
    QString txtS2CPeriod = "100";
    QString txtS2CBytesFrom = "100";
    QString txtS2CBytesTo = "300";
    QString txtS2CPeriodFrom = "50";
    QString txtS2CPeriodTo = "500";

private:
    frmProblemSimulation();
    ~frmProblemSimulation() override;

    bool SelectionRuleFires(int intOption, int intCounter, const QString& strNth, const QString& strPercent);
    void TimeRule(int intOption, const QString& strFixed, const QString& strFrom, const QString& strTo, int& lngOut);
};
