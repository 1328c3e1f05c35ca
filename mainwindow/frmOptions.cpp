#include "mainwindow/frmOptions.h"

#include "engine/General.h"
#include "mainwindow/frmMain.h"
#include "mainwindow/frmSysTray.h"
#include "platform/AnimationControl.h"
#include "platform/DialogButtons.h"
#include "platform/LoadedWindows.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/UpDown.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

const QString kSection = QStringLiteral("Options");

// The stored keys with their defaults, in the order the load reads them.
struct KeyDefault {
    const char* key;
    const char* defaultValue;
};
constexpr KeyDefault kLoadOrder[] = {
    {"Discard", "1"},       {"NumberToKeep", "100"}, {"MaxMemorySize", "400"},
    {"MaxEventCount", "200"}, {"RunMinimized", "0"},  {"RunAtStarup", "0"},
    {"ShowToolBar", "1"},   {"StatusBar", "1"},      {"SystemTray", "1"},
    {"AnimateConnectionDiagram", "1"}, {"RemoveEmptyEphemeralReferences", "1"},
};
constexpr const char* kSaveOrder[] = {
    "ShowToolBar", "SystemTray", "RunMinimized", "StatusBar", "AnimateConnectionDiagram",
    "RemoveEmptyEphemeralReferences", "RunAtStarup", "Discard", "NumberToKeep", "MaxMemorySize", "MaxEventCount",
};

bool SwitchValue(const QString& stored, const QString& defaultValue)
{
    if (const auto v = tsy::Numbers::ParseNumeric(stored)) return *v != 0;
    return tsy::Numbers::ParseNumeric(defaultValue).value_or(0) != 0;
}

QLabel* Caption(const QString& text, QWidget* parent, QWidget* buddy = nullptr)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    if (buddy) label->setBuddy(buddy);
    return label;
}

QCheckBox* Box(const char* name, const QString& text, QWidget* parent)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

// A hidden main window is laid out when it is shown; laying it out before
// its first showing would measure a client area that has no size yet.
void LayOut(frmMain* main)
{
    if (main->isVisible()) main->ResizeForm();
}

} // namespace

// ---- loading and unloading ----------------------------------------------------------

bool frmOptions::StoredSwitch(const QString& key)
{
    for (const KeyDefault& k : kLoadOrder) {
        if (key != QLatin1String(k.key)) continue;
        const QString def = QString::fromLatin1(k.defaultValue);
        return SwitchValue(tsy::Settings::GetSetting(kSection, key, def), def);
    }
    return false;
}

int frmOptions::Value(const QCheckBox* box) { return box && box->isChecked() ? 1 : 0; }

frmOptions::frmOptions() : SingleWindow("frmOptions", Qt::Dialog)
{
    setWindowTitle(QStringLiteral("Options"));
    BuildControls();
}

void frmOptions::keyPressEvent(QKeyEvent* event)
{
    // A focused button takes Enter itself; elsewhere Enter is OK and Escape Cancel.
    if (!tsy::PressForKey(event, cmdOK, cmdCancel)) QWidget::keyPressEvent(event);
}

void frmOptions::BuildControls()
{
    auto* outer = new QVBoxLayout(this);
    tabOptions = new QTabWidget(this);
    tabOptions->setObjectName(QStringLiteral("tabOptions"));
    outer->addWidget(tabOptions);

    const auto line = [](QVBoxLayout* layout, std::initializer_list<QWidget*> widgets) {
        auto* row = new QHBoxLayout;
        row->setSpacing(4);
        for (QWidget* w : widgets) row->addWidget(w);
        row->addStretch(1);
        layout->addLayout(row);
    };
    const auto numberBox = [](const char* name, QWidget* parent) {
        auto* box = new QLineEdit(parent);
        box->setObjectName(QString::fromLatin1(name));
        box->setFixedWidth(60);
        return box;
    };
    const auto upDown = [](const char* name, QLineEdit* buddy, qint64 lo, qint64 hi, qint64 step, QWidget* parent) {
        auto* upd = new tsy::UpDown(parent);
        upd->setObjectName(QString::fromLatin1(name));
        upd->SetBuddy(buddy);
        upd->SetRange(lo, hi);
        upd->SetIncrement(step);
        return upd;
    };

    // "Data Purging": one untitled frame.
    auto* tab0 = new QWidget(tabOptions);
    auto* tab0Layout = new QVBoxLayout(tab0);
    auto* purging = new QGroupBox(tab0);
    tab0Layout->addWidget(purging);
    tab0Layout->addStretch(1);
    auto* l0 = new QVBoxLayout(purging);
    chkDiscard = Box("chkDiscard", QStringLiteral("&Discard dead socket connections and events"), purging);
    txtNumberToKeep = numberBox("txtNumberToKeep", purging);
    updNumberToKeep = upDown("updNumberToKeep", txtNumberToKeep, 10, 50000, 10, purging);
    txtMaxMemorySize = numberBox("txtMaxMemorySize", purging);
    updMaxMemorySize = upDown("updMaxMemorySize", txtMaxMemorySize, 1, 100, 1, purging);
    txtMaximumEventCount = numberBox("txtMaximumEventCount", purging);
    upMaximumEventCount = upDown("upMaximumEventCount", txtMaximumEventCount, 10, 50000, 10, purging);
    chkRemoveEphemeralPortReferences = Box("chkRemoveEphemeralPortReferences",
                                           QStringLiteral("&Automatically remove references to empty ephemeral connections"),
                                           purging);
    line(l0, {chkDiscard});
    line(l0, {Caption(QStringLiteral("&Retain a maximum of"), purging, txtNumberToKeep), txtNumberToKeep, updNumberToKeep,
              Caption(QStringLiteral("dead socket connections before discarding oldest."), purging)});
    line(l0, {Caption(QStringLiteral("or discard dead socket &connections when more than "), purging, txtMaxMemorySize),
              txtMaxMemorySize, updMaxMemorySize, Caption(QStringLiteral("Kbytes"), purging)});
    line(l0, {Caption(QStringLiteral("of memory has been consumed."), purging)});
    line(l0, {Caption(QStringLiteral("&Keep a maximum of "), purging, txtMaximumEventCount), txtMaximumEventCount,
              upMaximumEventCount, Caption(QStringLiteral("events per socket connection."), purging)});
    line(l0, {chkRemoveEphemeralPortReferences});
    tabOptions->addTab(tab0, QStringLiteral("Data Purging"));

    // "User Interface": frame "General ".
    auto* tab1 = new QWidget(tabOptions);
    auto* tab1Layout = new QVBoxLayout(tab1);
    auto* general = new QGroupBox(QStringLiteral("General "), tab1);
    tab1Layout->addWidget(general);
    tab1Layout->addStretch(1);
    auto* l1 = new QVBoxLayout(general);
    chkShowToolBar = Box("chkShowToolBar", QStringLiteral("S&how toolbar"), general);
    chkShowStatusBar = Box("chkShowStatusBar", QStringLiteral("Show St&atus Bar"), general);
    chkAnimateConnectionDiagram = Box("chkAnimateConnectionDiagram", QStringLiteral("A&nimate connection diagram"), general);
    chkRunAtStartup = Box("chkRunAtStartup", QStringLiteral("Run &Tessaly at startup"), general);
    chkRunMinimized = Box("chkRunMinimized", QStringLiteral("Run minimi&zed"), general);
    chkDisplayInSysTray = Box("chkDisplayInSysTray", QStringLiteral("Run &from the system tray"), general);
    for (QCheckBox* box : {chkShowToolBar, chkShowStatusBar, chkAnimateConnectionDiagram, chkRunAtStartup,
                           chkRunMinimized, chkDisplayInSysTray})
        l1->addWidget(box);
    tabOptions->addTab(tab1, QStringLiteral("User Interface"));

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    cmdOK->setAutoDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    outer->addLayout(buttons);

    // The settings in the order the load reads them.
    const QHash<QString, QCheckBox*> boxes = {
        {QStringLiteral("Discard"), chkDiscard},
        {QStringLiteral("RunMinimized"), chkRunMinimized},
        {QStringLiteral("RunAtStarup"), chkRunAtStartup},
        {QStringLiteral("ShowToolBar"), chkShowToolBar},
        {QStringLiteral("StatusBar"), chkShowStatusBar},
        {QStringLiteral("SystemTray"), chkDisplayInSysTray},
        {QStringLiteral("AnimateConnectionDiagram"), chkAnimateConnectionDiagram},
        {QStringLiteral("RemoveEmptyEphemeralReferences"), chkRemoveEphemeralPortReferences},
    };
    const QHash<QString, void (frmOptions::*)()> handlers = {
        {QStringLiteral("RunAtStarup"), &frmOptions::chkRunAtStartup_Click},
        {QStringLiteral("ShowToolBar"), &frmOptions::chkShowToolBar_Click},
        {QStringLiteral("StatusBar"), &frmOptions::chkShowStatusBar_Click},
        {QStringLiteral("SystemTray"), &frmOptions::chkDisplayInSysTray_Click},
        {QStringLiteral("AnimateConnectionDiagram"), &frmOptions::chkAnimateConnectionDiagram_Click},
    };
    const QHash<QString, QLineEdit*> texts = {
        {QStringLiteral("NumberToKeep"), txtNumberToKeep},
        {QStringLiteral("MaxMemorySize"), txtMaxMemorySize},
        {QStringLiteral("MaxEventCount"), txtMaximumEventCount},
    };
    for (const KeyDefault& k : kLoadOrder) {
        Setting s;
        s.key = QString::fromLatin1(k.key);
        s.defaultValue = QString::fromLatin1(k.defaultValue);
        s.chk = boxes.value(s.key);
        s.handler = handlers.value(s.key);
        s.txt = texts.value(s.key);
        mcolLoadOrder.append(s);
        // A user's click runs the box's handler at once.
        if (s.chk && s.handler) {
            const auto handler = s.handler;
            connect(s.chk, &QCheckBox::toggled, this, [this, handler] { (this->*handler)(); });
        }
    }
    for (const char* key : kSaveOrder) mcolSaveOrder.append(QString::fromLatin1(key));

    connect(cmdOK, &QPushButton::clicked, this, &frmOptions::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::cmdCancel_Click);
}

const frmOptions::Setting* frmOptions::Find(const QString& key) const
{
    for (const Setting& s : mcolLoadOrder)
        if (s.key == key) return &s;
    return nullptr;
}

void frmOptions::Form_Load()
{
    // Rewritten below when the stored switch is on, so the entry always
    // names where the program is now.
    DoNotRunAtStartUp();
    tabOptions->setCurrentIndex(0);
    // The load applies every switch, the toolbar's among them, and lays the
    // main window out again.
    LoadOptions();
}

void frmOptions::LoadOptions()
{
    for (const Setting& s : mcolLoadOrder) {
        const QString stored = tsy::Settings::GetSetting(kSection, s.key, s.defaultValue);
        if (s.txt) {
            s.txt->setText(stored);
            continue;
        }
        if (!s.chk) continue;
        {
            const QSignalBlocker quiet(s.chk);
            s.chk->setChecked(SwitchValue(stored, s.defaultValue));
        }
        // Every switch's effect is applied for the value loaded, changed or
        // not: after an unload that stored nothing, an effect left behind by
        // an unsaved click must not outlive its box.
        if (s.handler) (this->*s.handler)();
    }
}

void frmOptions::SaveOptions()
{
    for (const QString& key : mcolSaveOrder) {
        const Setting* s = Find(key);
        if (!s) continue;
        const QString value = s->chk ? QString::number(Value(s->chk)) : s->txt->text();
        tsy::Settings::SaveSetting(kSection, key, value);
    }
}

// ---- commands ---------------------------------------------------------------------------

void frmOptions::cmdOK_Click()
{
    SaveOptions();
    hide();
}

void frmOptions::cmdCancel_Click()
{
    LoadOptions();
    hide();
}

void frmOptions::RunAtStartUp()
{
    try {
        General::SetRegistryValue(General::HKEY_RUN, QStringLiteral("TessalyApp"), General::REG_SZ,
                                  tsy::Runtime::ProgramPath());
    } catch (...) {
        // The box keeps the state the user gave it.
    }
}

void frmOptions::DoNotRunAtStartUp()
{
    try {
        General::DeleteRegistryValue(General::HKEY_RUN, QStringLiteral("TessalyApp"));
    } catch (...) {
    }
}

// ---- switches: each acts on the main window only while that is loaded -------------------

void frmOptions::chkShowToolBar_Click()
{
    if (!frmMain::IsLoaded()) return;
    frmMain* main = frmMain::Instance();
    if (!main->barToolbar) return;
    main->barToolbar->setVisible(Value(chkShowToolBar) == 1);
    LayOut(main);
}

void frmOptions::chkShowStatusBar_Click()
{
    if (!frmMain::IsLoaded()) return;
    frmMain* main = frmMain::Instance();
    if (!main->barStatus) return;
    main->barStatus->setVisible(Value(chkShowStatusBar) == 1);
    LayOut(main);
}

void frmOptions::chkAnimateConnectionDiagram_Click()
{
    if (!frmMain::IsLoaded()) return;
    frmMain* main = frmMain::Instance();
    const bool play = Value(chkAnimateConnectionDiagram) == 1;
    main->setEnabled(false);
    setEnabled(false);
    setCursor(Qt::WaitCursor);
    for (tsy::AnimationControl* clip : main->findChildren<tsy::AnimationControl*>()) {
        if (!clip->IsOpen()) continue;   // nothing to play
        play ? clip->Play() : clip->Stop();
    }
    main->setEnabled(true);
    setEnabled(true);
    unsetCursor();
}

void frmOptions::chkRunAtStartup_Click()
{
    if (Value(chkRunAtStartup) == 1) RunAtStartUp();
    else DoNotRunAtStartUp();
}

void frmOptions::chkDisplayInSysTray_Click()
{
    if (Value(chkDisplayInSysTray) == 1) frmSysTray::Load();
    else frmSysTray::Unload();
}
