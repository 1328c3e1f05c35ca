// The failure-simulation window and its decisions. The controls are the
// settings: each decision reads them at the moment it is asked, so a change
// applies to the next request, connection or send without an apply step.
#include "engine/frmProblemSimulation.h"

#include "engine/SocketPair.h"
#include "engine/ThrottlePacer.h"
#include "mainwindow/PanelBar.h"
#include "mainwindow/frmMain.h"
#include "platform/DialogButtons.h"
#include "platform/LoadedWindows.h"
#include "platform/Modal.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cmath>
#include <limits>
#include <optional>

namespace {

const QString kSection = QStringLiteral("FailureSim");

int Wrap16(int value) { return static_cast<qint16>(static_cast<quint16>(value)); }

std::optional<double> NumberIn(const QLineEdit* box)
{
    if (!box) return std::nullopt;
    const auto value = tsy::Numbers::ParseNumeric(box->text());
    if (!value || std::isnan(*value)) return std::nullopt;
    return value;
}

// A count of an every-Nth rule: a signed 16-bit number. Beyond that range it
// saturates rather than failing, so the rule still answers.
std::optional<int> CountIn(const QLineEdit* box)
{
    const auto value = NumberIn(box);
    if (!value) return std::nullopt;
    const double rounded = tsy::Numbers::RoundHalfEven(*value);
    if (rounded < -32768.0) return -32768;
    if (rounded > 32767.0) return 32767;
    return int(rounded);
}

// A whole 32-bit number, or nothing when the value lies beyond that range.
std::optional<int> Whole32(double value)
{
    const double rounded = tsy::Numbers::RoundHalfEven(value);
    if (std::isnan(rounded) || rounded < double(std::numeric_limits<int>::min())
        || rounded > double(std::numeric_limits<int>::max()))
        return std::nullopt;
    return int(rounded);
}

// A time that cannot be held in 32 bits is clamped into what the time boxes
// accept (1 to 60000 ms) instead of failing the connection's set-up.
int TimeValue(double value)
{
    if (const auto whole = Whole32(value)) return *whole;
    return value < 0 ? 1 : 60000;
}

QLineEdit* NumberBox(QWidget* parent, const char* name)
{
    auto* box = new QLineEdit(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setMaximumWidth(70);
    return box;
}

QLabel* Caption(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

// ---- option groups -------------------------------------------------------------

QRadioButton* OptionGroup::operator()(int index) const
{
    return index >= 0 && index < members.size() ? members[index] : nullptr;
}

int OptionGroup::Chosen() const
{
    for (int i = 0; i < members.size(); ++i)
        if (members[i]->isChecked()) return i;
    return -1;
}

bool OptionGroup::Value(int index) const
{
    QRadioButton* member = (*this)(index);
    return member && member->isChecked();
}

void OptionGroup::SetValue(int index, bool value)
{
    QRadioButton* member = (*this)(index);
    if (!member) return;
    if (value) {
        member->setChecked(true);   // the group clears the others
        return;
    }
    // An exclusive group refuses to clear its chosen member; allow it here.
    if (group) group->setExclusive(false);
    member->setChecked(false);
    if (group) group->setExclusive(true);
}

// ---- loading and unloading --------------------------------------------------------

frmProblemSimulation::frmProblemSimulation() : SingleWindow("frmProblemSimulation", Qt::Dialog)
{
    setWindowTitle(QStringLiteral("Connection Failure Simulation Strategies"));
    BuildControls();
}

void frmProblemSimulation::keyPressEvent(QKeyEvent* event)
{
    // "Close" is the default button: Enter presses it from anywhere in the window.
    if (!tsy::PressForKey(event, cmdOK)) QWidget::keyPressEvent(event);
}

void frmProblemSimulation::BuildControls()
{
    auto* outer = new QVBoxLayout(this);
    tabOptions = new QTabWidget(this);
    tabOptions->setObjectName(QStringLiteral("tabOptions"));
    outer->addWidget(tabOptions);

    const auto makeGroup = [this](OptionGroup& group, const char* name, QWidget* parent,
                                  const QStringList& captions) {
        group.group = new QButtonGroup(this);
        group.group->setExclusive(true);
        for (int i = 0; i < captions.size(); ++i) {
            auto* member = new QRadioButton(captions[i], parent);
            member->setObjectName(QString::fromLatin1(name) + QLatin1Char('_') + QString::number(i));
            group.group->addButton(member, i);
            group.members.append(member);
        }
    };
    // One line of a tab: widgets side by side, then the spare width.
    const auto line = [](QVBoxLayout* layout, std::initializer_list<QWidget*> widgets, int indent = 0) {
        auto* row = new QHBoxLayout;
        if (indent > 0) row->addSpacing(indent);
        for (QWidget* w : widgets) row->addWidget(w);
        row->addStretch(1);
        layout->addLayout(row);
    };

    // Tab 0, "Termination and Refusal".
    auto* tab0 = new QWidget(tabOptions);
    auto* l0 = new QVBoxLayout(tab0);
    chkTerminateConnections = new QCheckBox(QStringLiteral("Terminate connections"), tab0);
    chkTerminateConnections->setObjectName(QStringLiteral("chkTerminateConnections"));
    makeGroup(optClose, "optClose", tab0, {QStringLiteral("Terminate every"), QStringLiteral("Randomly terminate ")});
    txtTerminateNthConnection = NumberBox(tab0, "txtTerminateNthConnection");
    txtTerminateNPercOfConnections = NumberBox(tab0, "txtTerminateNPercOfConnections");
    makeGroup(optCloseTime, "optCloseTime", tab0,
              {QStringLiteral("Terminate the connection "), QStringLiteral("Terminate the connection randomly between")});
    txtTerminateTime = NumberBox(tab0, "txtTerminateTime");
    txtTerminateTimeFrom = NumberBox(tab0, "txtTerminateTimeFrom");
    txtTerminateTimeTo = NumberBox(tab0, "txtTerminateTimeTo");
    makeGroup(optGracefulTermination, "optGracefulTermination", tab0,
              {QStringLiteral("Perform a graceful termination of socket connections"),
               QStringLiteral("Attempt to force instant closure")});
    cmdTerminateAllConnections = new QPushButton(QStringLiteral("Terminate All Connections"), tab0);
    cmdTerminateAllConnections->setObjectName(QStringLiteral("cmdTerminateAllConnections"));
    chkRefuseConnections = new QCheckBox(QStringLiteral("Refuse connections"), tab0);
    chkRefuseConnections->setObjectName(QStringLiteral("chkRefuseConnections"));
    makeGroup(optRefuse, "optRefuse", tab0, {QStringLiteral("Refuse every"), QStringLiteral("Randomly refuse")});
    txtRefuseNthConnection = NumberBox(tab0, "txtRefuseNthConnection");
    txtRefuseNPercOfConnections = NumberBox(tab0, "txtRefuseNPercOfConnections");

    line(l0, {chkTerminateConnections});
    line(l0, {optClose(0), txtTerminateNthConnection, Caption(QStringLiteral("th connection"), tab0)}, 20);
    line(l0, {optClose(1), txtTerminateNPercOfConnections, Caption(QStringLiteral("% of connections"), tab0)}, 20);
    line(l0, {optCloseTime(0), txtTerminateTime, Caption(QStringLiteral("mSec after creation"), tab0)}, 20);
    line(l0, {optCloseTime(1), txtTerminateTimeFrom, Caption(QStringLiteral("and "), tab0), txtTerminateTimeTo,
              Caption(QStringLiteral("mSec after creation"), tab0)}, 20);
    line(l0, {optGracefulTermination(0)}, 20);
    line(l0, {optGracefulTermination(1)}, 20);
    line(l0, {cmdTerminateAllConnections}, 20);
    line(l0, {chkRefuseConnections});
    line(l0, {optRefuse(0), txtRefuseNthConnection, Caption(QStringLiteral("th connection request"), tab0)}, 20);
    line(l0, {optRefuse(1), txtRefuseNPercOfConnections, Caption(QStringLiteral("% of connection requests"), tab0)},
         20);
    l0->addStretch(1);
    tabOptions->addTab(tab0, QStringLiteral("Termination and Refusal"));

    // Tab 1, "Bandwidth Throttling": server to client first.
    auto* tab1 = new QWidget(tabOptions);
    auto* l1outer = new QVBoxLayout(tab1);
    auto* frame = new QGroupBox(QStringLiteral("Bandwidth Throttling"), tab1);
    auto* l1 = new QVBoxLayout(frame);
    l1outer->addWidget(frame);
    l1outer->addStretch(1);
    const auto throttleBlock = [&](QCheckBox*& chk, const char* chkName, const QString& caption, OptionGroup& opt,
                                   const char* optName, QLineEdit*& bytes, QLineEdit*& period, QLineEdit*& bytesFrom,
                                   QLineEdit*& bytesTo, QLineEdit*& periodFrom, QLineEdit*& periodTo,
                                   const char* prefix) {
        const QString p = QString::fromLatin1(prefix);
        chk = new QCheckBox(caption, frame);
        chk->setObjectName(QString::fromLatin1(chkName));
        makeGroup(opt, optName, frame, {QStringLiteral("Transmitting"), QStringLiteral("Transmitting between ")});
        bytes = NumberBox(frame, (p + QStringLiteral("Bytes")).toLatin1().constData());
        period = NumberBox(frame, (p + QStringLiteral("Period")).toLatin1().constData());
        bytesFrom = NumberBox(frame, (p + QStringLiteral("BytesFrom")).toLatin1().constData());
        bytesTo = NumberBox(frame, (p + QStringLiteral("BytesTo")).toLatin1().constData());
        periodFrom = NumberBox(frame, (p + QStringLiteral("PeriodFrom")).toLatin1().constData());
        periodTo = NumberBox(frame, (p + QStringLiteral("PeriodTo")).toLatin1().constData());
        line(l1, {chk});
        line(l1, {opt(0), bytes, Caption(QStringLiteral("bytes every "), frame), period,
                  Caption(QStringLiteral("mSecs"), frame)}, 20);
        line(l1, {opt(1), bytesFrom, Caption(QStringLiteral("&"), frame), bytesTo,
                  Caption(QStringLiteral("bytes"), frame)}, 20);
        line(l1, {Caption(QStringLiteral("between every"), frame), periodFrom, Caption(QStringLiteral("&"), frame),
                  periodTo, Caption(QStringLiteral("mSecs"), frame)}, 40);
    };
    throttleBlock(chkThrottleS2CData, "chkThrottleS2CData", QStringLiteral("Throttle server to client data by:"),
                  optS2CThrottle, "optS2CThrottle", txtS2CBytes, txtS2CPeriod, txtS2CBytesFrom, txtS2CBytesTo,
                  txtS2CPeriodFrom, txtS2CPeriodTo, "txtS2C");
    throttleBlock(chkThrottleC2SData, "chkThrottleC2SData", QStringLiteral("Throttle client to server data by:"),
                  optC2SThrottle, "optC2SThrottle", txtC2SBytes, txtC2SPeriod, txtC2SBytesFrom, txtC2SBytesTo,
                  txtC2SPeriodFrom, txtC2SPeriodTo, "txtC2S");
    tabOptions->addTab(tab1, QStringLiteral("Bandwidth Throttling"));

    // Tab 2, "Connection Dangling".
    auto* tab2 = new QWidget(tabOptions);
    auto* l2 = new QVBoxLayout(tab2);
    chkDangleConnections = new QCheckBox(QStringLiteral("Dangle connections"), tab2);
    chkDangleConnections->setObjectName(QStringLiteral("chkDangleConnections"));
    makeGroup(optDangle, "optDangle", tab2, {QStringLiteral("Dangle every"), QStringLiteral("Randomly dangle")});
    txtDangleNthConnection = NumberBox(tab2, "txtDangleNthConnection");
    txtDangleNPercOfConnections = NumberBox(tab2, "txtDangleNPercOfConnections");
    makeGroup(optDangleStartTime, "optDangleStartTime", tab2,
              {QStringLiteral("Dangle the connection "), QStringLiteral("Dangle the connection randomly between")});
    txtDangleStartTime = NumberBox(tab2, "txtDangleStartTime");
    txtDangleStartTimeFrom = NumberBox(tab2, "txtDangleStartTimeFrom");
    txtDangleStartTimeTo = NumberBox(tab2, "txtDangleStartTimeTo");
    makeGroup(optDangleStopTime, "optDangleStopTime", tab2,
              {QStringLiteral("Dangle the connection  for"), QStringLiteral("Dangle the connection between")});
    txtDangleStopTime = NumberBox(tab2, "txtDangleStopTime");
    txtDangleStopTimeFrom = NumberBox(tab2, "txtDangleStopTimeFrom");
    txtDangleStopTimeTo = NumberBox(tab2, "txtDangleStopTimeTo");
    makeGroup(optDangleClose, "optDangleClose", tab2,
              {QStringLiteral("Close the connection after dangling"),
               QStringLiteral("Start transmitting the data after dangling"),
               QStringLiteral("Discard data collected during dangle and leave open")});
    makeGroup(optDangleDirections, "optDangleDirections", tab2,
              {QStringLiteral("Only apply dangle to data flowing from client to server"),
               QStringLiteral("Only apply dangle to data flowing from server to client"),
               QStringLiteral("Apply dangle to data flowing in both directions")});
    cmdDangleAll = new QPushButton(QStringLiteral("Start Dangle On All Open Connections"), tab2);
    cmdDangleAll->setObjectName(QStringLiteral("cmdDangleAll"));

    line(l2, {chkDangleConnections});
    line(l2, {optDangle(0), txtDangleNthConnection, Caption(QStringLiteral("th connection"), tab2)}, 20);
    line(l2, {optDangle(1), txtDangleNPercOfConnections, Caption(QStringLiteral("% of connections"), tab2)}, 20);
    line(l2, {optDangleStartTime(0), txtDangleStartTime, Caption(QStringLiteral("mSsec after creation"), tab2)}, 20);
    line(l2, {optDangleStartTime(1), txtDangleStartTimeFrom, Caption(QStringLiteral("and "), tab2),
              txtDangleStartTimeTo, Caption(QStringLiteral("mSsec after creation"), tab2)}, 20);
    line(l2, {optDangleStopTime(0), txtDangleStopTime, Caption(QStringLiteral("mSsec"), tab2)}, 20);
    line(l2, {optDangleStopTime(1), txtDangleStopTimeFrom, Caption(QStringLiteral("and "), tab2),
              txtDangleStopTimeTo, Caption(QStringLiteral("mSsec"), tab2)}, 20);
    // A gap before each of the two groups, so that they read as separate choices.
    l2->addSpacing(8);
    for (int i = 0; i < optDangleClose.Count(); ++i) line(l2, {optDangleClose(i)}, 20);
    l2->addSpacing(8);
    for (int i = 0; i < optDangleDirections.Count(); ++i) line(l2, {optDangleDirections(i)}, 20);
    line(l2, {cmdDangleAll}, 20);
    l2->addStretch(1);
    tabOptions->addTab(tab2, QStringLiteral("Connection Dangling"));

    cmdOK = new QPushButton(QStringLiteral("Close"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdOK->setAutoDefault(true);
    // A command button with the focus takes Enter itself; elsewhere Enter
    // presses Close.
    cmdTerminateAllConnections->setAutoDefault(true);
    cmdDangleAll->setAutoDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    outer->addLayout(buttons);

    // The stored settings, in the order they are read and written.
    const auto chk = [this](QCheckBox* box, const char* def) {
        Setting s;
        s.key = box->objectName();
        s.defaultValue = QString::fromLatin1(def);
        s.chk = box;
        mcolSettings.append(s);
    };
    const auto opt = [this](OptionGroup& group, const char* name, std::initializer_list<const char*> defs) {
        int i = 0;
        for (const char* def : defs) {
            Setting s;
            s.key = QString::fromLatin1(name) + QLatin1Char('_') + QString::number(i);
            s.defaultValue = QString::fromLatin1(def);
            s.opt = &group;
            s.index = i++;
            mcolSettings.append(s);
        }
    };
    const auto txt = [this](QLineEdit* box, const char* def) {
        Setting s;
        s.key = box->objectName();
        s.defaultValue = QString::fromLatin1(def);
        s.txt = box;
        mcolSettings.append(s);
    };
    chk(chkTerminateConnections, "0");
    opt(optClose, "optClose", {"True", "False"});
    txt(txtTerminateNthConnection, "5");
    txt(txtTerminateNPercOfConnections, "10");
    opt(optCloseTime, "optCloseTime", {"True", "False"});
    txt(txtTerminateTime, "20000");
    txt(txtTerminateTimeFrom, "5000");
    txt(txtTerminateTimeTo, "20000");
    opt(optGracefulTermination, "optGracefulTermination", {"True", "False"});
    chk(chkRefuseConnections, "0");
    opt(optRefuse, "optRefuse", {"True", "False"});
    txt(txtRefuseNthConnection, "5");
    txt(txtRefuseNPercOfConnections, "10");
    chk(chkThrottleS2CData, "0");
    opt(optS2CThrottle, "optS2CThrottle", {"True", "False"});
    txt(txtS2CBytes, "200");
    txt(txtS2CPeriod, "100");
    txt(txtS2CBytesFrom, "100");
    txt(txtS2CBytesTo, "300");
    txt(txtS2CPeriodFrom, "50");
    txt(txtS2CPeriodTo, "500");
    chk(chkThrottleC2SData, "0");
    opt(optC2SThrottle, "optC2SThrottle", {"True", "False"});
    txt(txtC2SBytes, "200");
    txt(txtC2SPeriod, "100");
    txt(txtC2SBytesFrom, "100");
    txt(txtC2SBytesTo, "300");
    txt(txtC2SPeriodFrom, "50");
    txt(txtC2SPeriodTo, "500");
    chk(chkDangleConnections, "0");
    opt(optDangle, "optDangle", {"True", "False"});
    txt(txtDangleNthConnection, "5");
    txt(txtDangleNPercOfConnections, "10");
    opt(optDangleStartTime, "optDangleStartTime", {"True", "False"});
    txt(txtDangleStartTime, "10000");
    txt(txtDangleStartTimeFrom, "5000");
    txt(txtDangleStartTimeTo, "30000");
    opt(optDangleStopTime, "optDangleStopTime", {"True", "False"});
    txt(txtDangleStopTime, "10000");
    txt(txtDangleStopTimeFrom, "5000");
    txt(txtDangleStopTimeTo, "30000");
    opt(optDangleClose, "optDangleClose", {"False", "True", "False"});
    opt(optDangleDirections, "optDangleDirections", {"False", "False", "True"});

    mcolTimeBoxes = {txtTerminateTime, txtTerminateTimeFrom, txtTerminateTimeTo, txtS2CPeriod, txtS2CPeriodFrom,
                     txtS2CPeriodTo, txtC2SPeriod, txtC2SPeriodFrom, txtC2SPeriodTo, txtDangleStartTime,
                     txtDangleStartTimeFrom, txtDangleStartTimeTo, txtDangleStopTime, txtDangleStopTimeFrom,
                     txtDangleStopTimeTo};
    mcolCountBoxes = {txtTerminateNthConnection, txtTerminateNPercOfConnections, txtRefuseNthConnection,
                      txtRefuseNPercOfConnections, txtDangleNthConnection, txtDangleNPercOfConnections,
                      txtS2CBytes, txtS2CBytesFrom, txtS2CBytesTo, txtC2SBytes, txtC2SBytesFrom, txtC2SBytesTo};
    for (QLineEdit* box : mcolTimeBoxes) box->installEventFilter(this);
    for (QLineEdit* box : mcolCountBoxes) box->installEventFilter(this);

    connect(cmdOK, &QPushButton::clicked, this, &frmProblemSimulation::cmdOK_Click);
    connect(cmdTerminateAllConnections, &QPushButton::clicked, this,
            &frmProblemSimulation::cmdTerminateAllConnections_Click);
    connect(cmdDangleAll, &QPushButton::clicked, this, &frmProblemSimulation::cmdDangleAll_Click);
    connect(chkTerminateConnections, &QCheckBox::stateChanged, this,
            &frmProblemSimulation::chkTerminateConnections_Click);
    connect(chkRefuseConnections, &QCheckBox::stateChanged, this, &frmProblemSimulation::chkRefuseConnections_Click);
    connect(chkThrottleS2CData, &QCheckBox::stateChanged, this, &frmProblemSimulation::chkThrottleS2CData_Click);
    connect(chkThrottleC2SData, &QCheckBox::stateChanged, this, &frmProblemSimulation::chkThrottleC2SData_Click);
    connect(chkDangleConnections, &QCheckBox::stateChanged, this, &frmProblemSimulation::chkDangleConnections_Click);
}

QStringList frmProblemSimulation::SettingKeys() const
{
    QStringList keys;
    for (const Setting& s : mcolSettings) keys << s.key;
    return keys;
}

void frmProblemSimulation::Form_Load()
{
    tabOptions->setCurrentIndex(0);
    for (const Setting& s : mcolSettings) {
        const QString value = tsy::Settings::GetSetting(kSection, s.key, s.defaultValue);
        if (s.chk) {
            // Only a whole 1 ticks the box; anything else leaves it clear.
            const auto whole = tsy::Numbers::WholeInRange(value, -32768, 32767);
            s.chk->setChecked(whole && *whole == 1);
        } else if (s.opt) {
            const QString v = value.trimmed();
            const bool chosen = v.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0
                                || (tsy::Numbers::IsNumeric(v) && tsy::Numbers::ParseNumeric(v).value_or(0) != 0);
            s.opt->SetValue(s.index, chosen);
        } else if (s.txt) {
            s.txt->setText(value);
        }
    }
    // A group the store left with no member chosen takes its default member,
    // so that every rule has a definite choice.
    for (const Setting& s : mcolSettings)
        if (s.opt && s.opt->Chosen() < 0 && s.defaultValue == QStringLiteral("True")) s.opt->SetValue(s.index, true);
    RefreshSimulationStatusPanels();
}

void frmProblemSimulation::Form_Unload() { SaveFailureSimulationSettings(); }

void frmProblemSimulation::SaveFailureSimulationSettings()
{
    for (const Setting& s : mcolSettings) {
        QString value;
        if (s.chk) value = QString::number(Value(s.chk));
        else if (s.opt) value = s.opt->Value(s.index) ? QStringLiteral("True") : QStringLiteral("False");
        else if (s.txt) value = s.txt->text();
        tsy::Settings::SaveSetting(kSection, s.key, value);
    }
}

int frmProblemSimulation::Value(const QCheckBox* box) { return box && box->isChecked() ? 1 : 0; }

void frmProblemSimulation::RefreshSimulationStatusPanels()
{
    // The panels belong to the main window; a main window that is not loaded
    // is not loaded for them (its own load comes first at start-up).
    if (!frmMain::IsLoaded()) return;
    PanelBar* bar = frmMain::Instance()->barStatus;
    if (!bar) return;
    bar->SetPanelText(4, Value(chkTerminateConnections) == 1 ? QStringLiteral("Terminate: ON ")
                                                             : QStringLiteral("Terminate: Off "));
    bar->SetPanelText(5, Value(chkRefuseConnections) == 1 ? QStringLiteral("Refuse: ON ")
                                                          : QStringLiteral("Refuse: Off "));
    bar->SetPanelText(6, Value(chkThrottleC2SData) == 1 || Value(chkThrottleS2CData) == 1
                             ? QStringLiteral("Throttle: ON ")
                             : QStringLiteral("Throttle: Off "));
    bar->SetPanelText(7, Value(chkDangleConnections) == 1 ? QStringLiteral("Dangle: ON ")
                                                          : QStringLiteral("Dangle: Off "));
}

// ---- commands ----------------------------------------------------------------------

void frmProblemSimulation::cmdOK_Click() { hide(); }

void frmProblemSimulation::chkTerminateConnections_Click() { RefreshSimulationStatusPanels(); }
void frmProblemSimulation::chkRefuseConnections_Click() { RefreshSimulationStatusPanels(); }
void frmProblemSimulation::chkThrottleS2CData_Click() { RefreshSimulationStatusPanels(); }
void frmProblemSimulation::chkThrottleC2SData_Click() { RefreshSimulationStatusPanels(); }
void frmProblemSimulation::chkDangleConnections_Click() { RefreshSimulationStatusPanels(); }

void frmProblemSimulation::cmdTerminateAllConnections_Click()
{
    // Taken first: a termination may unload windows while we walk.
    QList<QPointer<SocketPair>> pairs;
    for (QObject* window : tsy::LoadedWindows::Named(QStringLiteral("SocketPair")))
        if (auto* pair = qobject_cast<SocketPair*>(window)) pairs.append(pair);
    for (const QPointer<SocketPair>& pair : pairs)
        if (pair && pair->IsLoadedWindow() && !pair->Dead()) pair->tmrTerminationTime_Timer();
}

void frmProblemSimulation::cmdDangleAll_Click()
{
    QList<QPointer<SocketPair>> pairs;
    for (QObject* window : tsy::LoadedWindows::Named(QStringLiteral("SocketPair")))
        if (auto* pair = qobject_cast<SocketPair*>(window)) pairs.append(pair);
    for (const QPointer<SocketPair>& pair : pairs)
        if (pair && pair->IsLoadedWindow() && !pair->Dead()) pair->tmrDangleStartTimer_Timer();
}

// ---- number-box checks ------------------------------------------------------------------

bool frmProblemSimulation::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusOut && !mblnChecking) {
        auto* box = qobject_cast<QLineEdit*>(watched);
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Only a move of the focus inside the window counts, not another
        // window (such as our own message box) becoming active.
        if (box && reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason
            && (mcolTimeBoxes.contains(box) || mcolCountBoxes.contains(box)))
            NumberBox_LostFocus(box);
    }
    return QWidget::eventFilter(watched, event);
}

void frmProblemSimulation::NumberBox_LostFocus(QLineEdit* box)
{
    if (!box || mblnChecking) return;
    mblnChecking = true;
    const bool ok = mcolTimeBoxes.contains(box) ? IsValidTimePeriod(box->text()) : IsValidPositiveNumber(box->text());
    // The text stays as typed; the user corrects it in place.
    if (!ok) box->setFocus(Qt::OtherFocusReason);
    mblnChecking = false;
}

bool frmProblemSimulation::IsValidTimePeriod(const QString& strText)
{
    const auto value = tsy::Numbers::ParseNumeric(strText);
    if (!value) {
        tsy::Modal::MsgBox(this, QStringLiteral("This value must be numeric."), tsy::Modal::Icon::Information,
                           tsy::Modal::Buttons::Ok, QStringLiteral("Tessaly"));
        return false;
    }
    if (*value < 1 || *value > 60000) {
        tsy::Modal::MsgBox(this, QStringLiteral("This value lie between 1 and 60000."), tsy::Modal::Icon::Information,
                           tsy::Modal::Buttons::Ok, QStringLiteral("Tessaly"));
        return false;
    }
    return true;
}

bool frmProblemSimulation::IsValidPositiveNumber(const QString& strText)
{
    const auto value = tsy::Numbers::ParseNumeric(strText);
    if (!value) {
        tsy::Modal::MsgBox(this, QStringLiteral("This value must be numeric."), tsy::Modal::Icon::Information,
                           tsy::Modal::Buttons::Ok, QStringLiteral("Tessaly"));
        return false;
    }
    if (*value < 1) {
        tsy::Modal::MsgBox(this, QStringLiteral("This value be greater than 0."), tsy::Modal::Icon::Information,
                           tsy::Modal::Buttons::Ok, QStringLiteral("Tessaly"));
        return false;
    }
    return true;
}

// ---- the decisions --------------------------------------------------------------------

bool frmProblemSimulation::SelectionRuleFires(const OptionGroup& option, int intCounter, const QLineEdit* txtNth,
                                              const QLineEdit* txtPercent)
{
    switch (option.Chosen()) {
    case 0: {
        const auto n = CountIn(txtNth);
        if (!n) return false;
        const int divisor = *n < 1 ? 1 : *n;
        return intCounter % divisor == 0;   // the remainder takes the counter's sign
    }
    case 1: {
        const auto percent = NumberIn(txtPercent);
        if (!percent) return false;
        const double r = tsy::Runtime::Rnd();
        return *percent / 100.0 >= r;
    }
    default:
        return false;
    }
}

void frmProblemSimulation::TimeRule(const OptionGroup& option, const QLineEdit* txtFixed, const QLineEdit* txtFrom,
                                    const QLineEdit* txtTo, int& lngOut)
{
    switch (option.Chosen()) {
    case 0:
        if (const auto value = NumberIn(txtFixed)) lngOut = TimeValue(*value);
        break;
    case 1: {
        const auto from = NumberIn(txtFrom);
        const auto to = NumberIn(txtTo);
        if (from && to) {
            const double r = tsy::Runtime::Rnd();
            lngOut = TimeValue(*from + r * (*to - *from));
        }
        break;
    }
    default:
        break;
    }
}

bool frmProblemSimulation::ShouldConnectionRequestBeRefused()
{
    RequestCounter = Wrap16(RequestCounter + 1);
    if (Value(chkRefuseConnections) != 1) return false;
    return SelectionRuleFires(optRefuse, RequestCounter, txtRefuseNthConnection, txtRefuseNPercOfConnections);
}

bool frmProblemSimulation::ShouldConnectionBeTerminated(int& lngPeriod, QString& strComment)
{
    ConnectionCounter = Wrap16(ConnectionCounter + 1);
    bool blnAnswer = false;
    if (Value(chkTerminateConnections) == 1)
        blnAnswer = SelectionRuleFires(optClose, ConnectionCounter, txtTerminateNthConnection,
                                       txtTerminateNPercOfConnections);
    TimeRule(optCloseTime, txtTerminateTime, txtTerminateTimeFrom, txtTerminateTimeTo, lngPeriod);
    if (blnAnswer)
        strComment = QStringLiteral("Connection to be terminated in ") + QString::number(lngPeriod)
                     + QStringLiteral(" mSecs");
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
    if (Value(chkDangleConnections) == 1
        && SelectionRuleFires(optDangle, ConnectionCounter, txtDangleNthConnection, txtDangleNPercOfConnections)) {
        blnAnswer = true;
        strText = QStringLiteral("Connection to be dangled in ");
    }
    TimeRule(optDangleStartTime, txtDangleStartTime, txtDangleStartTimeFrom, txtDangleStartTimeTo,
             lngTimeBeforeDanglePeriod);
    if (blnAnswer) strText += QString::number(lngTimeBeforeDanglePeriod) + QStringLiteral(" mSecs");
    TimeRule(optDangleStopTime, txtDangleStopTime, txtDangleStopTimeFrom, txtDangleStopTimeTo, lngTimeDuringDangle);
    if (blnAnswer)
        strText += QStringLiteral(" and it will dangled for ") + QString::number(lngTimeDuringDangle)
                   + QStringLiteral(" mSecs");
    const int direction = optDangleDirections.Chosen();
    intDataToDangle = direction < 0 ? 0 : direction;
    if (blnAnswer) strComment = strText;
    return blnAnswer;
}

bool frmProblemSimulation::IsThrottlingNeeded(bool blnFromServerToClient, int lngDataLength,
                                              int& lngAmountOfDataToSend, int& lngNextSendPeriod,
                                              ThrottlePacer* pacer)
{
    const bool s2c = blnFromServerToClient;
    const bool blnOn = Value(s2c ? chkThrottleS2CData : chkThrottleC2SData) == 1;
    const int option = (s2c ? optS2CThrottle : optC2SThrottle).Chosen();

    // Unthrottled: everything at once. Also the answer when the boxes give no
    // usable slice, so that the data still goes out.
    const auto whole = [&] {
        if (pacer) pacer->Restart();
        lngAmountOfDataToSend = lngDataLength;
        lngNextSendPeriod = 0;
        return false;
    };
    if (!blnOn) return whole();

    std::optional<int> amount;
    std::optional<int> period;
    int heldAmount = 0;
    int heldPeriod = 0;
    if (option == 0) {
        if (const auto v = NumberIn(s2c ? txtS2CBytes : txtC2SBytes)) amount = Whole32(*v);
        if (const auto v = NumberIn(s2c ? txtS2CPeriod : txtC2SPeriod)) period = Whole32(*v);
    } else if (option == 1 && pacer && pacer->HeldSlice(heldAmount, heldPeriod)) {
        // Drawn anew for each short send, the mean rate would fall below the
        // mean slice over the mean period.
        amount = heldAmount;
        period = heldPeriod;
    } else if (option == 1) {
        const auto bytesFrom = NumberIn(s2c ? txtS2CBytesFrom : txtC2SBytesFrom);
        const auto bytesTo = NumberIn(s2c ? txtS2CBytesTo : txtC2SBytesTo);
        if (!bytesFrom || !bytesTo) return whole();
        const double r1 = tsy::Runtime::Rnd();
        amount = Whole32(*bytesFrom + r1 * (*bytesTo - *bytesFrom));
        const auto periodFrom = NumberIn(s2c ? txtS2CPeriodFrom : txtC2SPeriodFrom);
        const auto periodTo = NumberIn(s2c ? txtS2CPeriodTo : txtC2SPeriodTo);
        if (!periodFrom || !periodTo) return whole();
        const double r2 = tsy::Runtime::Rnd();
        period = Whole32(*periodFrom + r2 * (*periodTo - *periodFrom));
    }
    if (!amount || !period) return whole();

    const int slice = *amount < 1 ? 1 : *amount;   // a slice of nothing would never finish
    if (*period < 1) {
        // No wait between slices: the rest goes now.
        if (pacer) pacer->Restart();
        lngAmountOfDataToSend = lngDataLength;
        lngNextSendPeriod = 0;
        return true;
    }
    // Data shorter than a slice goes at once and the next slice waits for the
    // share of the period it used, so big slices keep the rate too.
    lngAmountOfDataToSend = slice > lngDataLength ? lngDataLength : slice;
    if (pacer) {
        lngNextSendPeriod = pacer->Wait(lngAmountOfDataToSend, slice, *period);
    } else {
        ThrottlePacer alone([] { return 0.0; });
        lngNextSendPeriod = alone.Wait(lngAmountOfDataToSend, slice, *period);
    }
    return true;
}
