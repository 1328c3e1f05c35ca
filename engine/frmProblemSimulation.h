#pragma once
// "Connection Failure Simulation Strategies": the window whose controls are
// the failure-simulation settings (section "FailureSim"), and the four
// decisions that turn them into answers for one request, one connection or
// one send. Every decision reads the controls when it is asked.
#include <QList>
#include <QString>
#include <QWidget>

#include "platform/SingleWindow.h"

class QButtonGroup;
class QCheckBox;
class QKeyEvent;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class ThrottlePacer;

// One option group: members told apart by their index, choosing one clears
// the others; none chosen is possible (a store edited by hand).
class OptionGroup {
public:
    QRadioButton* operator()(int index) const;   // nullptr outside the group
    int Count() const { return int(members.size()); }
    int Chosen() const;                           // index of the chosen member, -1 for none
    bool Value(int index) const;
    void SetValue(int index, bool value);

    QList<QRadioButton*> members;
    QButtonGroup* group = nullptr;
};

// Loaded (hidden) on first use, like reading one of its controls; loading
// reads the settings and refreshes the status panels. Unloading, as the
// window frame's close does, stores the settings first.
class frmProblemSimulation : public tsy::SingleWindow<frmProblemSimulation, QWidget> {
    Q_OBJECT
    friend Lifecycle;

public:

    // ---- the decisions --------------------------------------------------------
    // None of them throws: a setting that cannot be used falls back (see the
    // definitions).
    bool ShouldConnectionRequestBeRefused();
    bool ShouldConnectionBeTerminated(int& lngPeriod, QString& strComment);
    bool ShouldConnectionBeDangled(int& lngTimeBeforeDanglePeriod, int& lngTimeDuringDangle,
                                   int& intDataToDangle, QString& strComment);
    // With a pacer (one per connection and direction) the period answered is
    // the wait that keeps the transfer at the rate set; without one, the
    // share of the period that the amount answered uses.
    bool IsThrottlingNeeded(bool blnFromServerToClient, int lngDataLength,
                            int& lngAmountOfDataToSend, int& lngNextSendPeriod,
                            ThrottlePacer* pacer = nullptr);

    // Counters of requests and connections asked about; they wrap like the
    // signed 16-bit numbers they are.
    int RequestCounter = 0;
    int ConnectionCounter = 0;

    // ---- controls -------------------------------------------------------------
    QTabWidget* tabOptions = nullptr;
    QPushButton* cmdOK = nullptr;   // "Close"

    // Tab 0, "Termination and Refusal".
    QCheckBox* chkTerminateConnections = nullptr;
    OptionGroup optClose;
    QLineEdit* txtTerminateNthConnection = nullptr;
    QLineEdit* txtTerminateNPercOfConnections = nullptr;
    OptionGroup optCloseTime;
    QLineEdit* txtTerminateTime = nullptr;
    QLineEdit* txtTerminateTimeFrom = nullptr;
    QLineEdit* txtTerminateTimeTo = nullptr;
    OptionGroup optGracefulTermination;   // read by the pair when its termination fires
    QPushButton* cmdTerminateAllConnections = nullptr;
    QCheckBox* chkRefuseConnections = nullptr;
    OptionGroup optRefuse;
    QLineEdit* txtRefuseNthConnection = nullptr;
    QLineEdit* txtRefuseNPercOfConnections = nullptr;

    // Tab 1, "Bandwidth Throttling".
    QCheckBox* chkThrottleS2CData = nullptr;
    OptionGroup optS2CThrottle;
    QLineEdit* txtS2CBytes = nullptr;
    QLineEdit* txtS2CPeriod = nullptr;
    QLineEdit* txtS2CBytesFrom = nullptr;
    QLineEdit* txtS2CBytesTo = nullptr;
    QLineEdit* txtS2CPeriodFrom = nullptr;
    QLineEdit* txtS2CPeriodTo = nullptr;
    QCheckBox* chkThrottleC2SData = nullptr;
    OptionGroup optC2SThrottle;
    QLineEdit* txtC2SBytes = nullptr;
    QLineEdit* txtC2SPeriod = nullptr;
    QLineEdit* txtC2SBytesFrom = nullptr;
    QLineEdit* txtC2SBytesTo = nullptr;
    QLineEdit* txtC2SPeriodFrom = nullptr;
    QLineEdit* txtC2SPeriodTo = nullptr;

    // Tab 2, "Connection Dangling".
    QCheckBox* chkDangleConnections = nullptr;
    OptionGroup optDangle;
    QLineEdit* txtDangleNthConnection = nullptr;
    QLineEdit* txtDangleNPercOfConnections = nullptr;
    OptionGroup optDangleStartTime;
    QLineEdit* txtDangleStartTime = nullptr;
    QLineEdit* txtDangleStartTimeFrom = nullptr;
    QLineEdit* txtDangleStartTimeTo = nullptr;
    OptionGroup optDangleStopTime;
    QLineEdit* txtDangleStopTime = nullptr;
    QLineEdit* txtDangleStopTimeFrom = nullptr;
    QLineEdit* txtDangleStopTimeTo = nullptr;
    OptionGroup optDangleClose;        // read by the pair when its dangle ends
    OptionGroup optDangleDirections;
    QPushButton* cmdDangleAll = nullptr;

    // A check box's value: 1 ticked, 0 clear.
    static int Value(const QCheckBox* box);

    // The number-box checks; each shows its own message when it fails.
    bool IsValidTimePeriod(const QString& strText);
    bool IsValidPositiveNumber(const QString& strText);
    // The focus-out handler shared by the 27 number boxes: checks the box's
    // text and gives the focus back when the check fails.
    void NumberBox_LostFocus(QLineEdit* box);
    // The key names in the order they are read and written.
    QStringList SettingKeys() const;

public slots:
    void cmdOK_Click();
    void cmdTerminateAllConnections_Click();
    // "Start Dangle On All Open Connections".
    void cmdDangleAll_Click();
    void chkTerminateConnections_Click();
    void chkRefuseConnections_Click();
    void chkThrottleS2CData_Click();
    void chkThrottleC2SData_Click();
    void chkDangleConnections_Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    frmProblemSimulation();

    void BuildControls();
    void Form_Load();
    void Form_Unload();
    void SaveFailureSimulationSettings();
    void RefreshSimulationStatusPanels();

    bool SelectionRuleFires(const OptionGroup& option, int intCounter, const QLineEdit* txtNth,
                            const QLineEdit* txtPercent);
    void TimeRule(const OptionGroup& option, const QLineEdit* txtFixed, const QLineEdit* txtFrom,
                  const QLineEdit* txtTo, int& lngOut);

    // One stored setting: exactly one of the three controls is set.
    struct Setting {
        QString key;
        QString defaultValue;
        QCheckBox* chk = nullptr;
        OptionGroup* opt = nullptr;
        int index = 0;
        QLineEdit* txt = nullptr;
    };
    QList<Setting> mcolSettings;
    QList<QLineEdit*> mcolTimeBoxes;
    QList<QLineEdit*> mcolCountBoxes;
    bool mblnChecking = false;
};
