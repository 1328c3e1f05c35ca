#include "export/frmEventDetails.h"

#include "engine/General.h"
#include "history/SocketEvent.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/frmMain.h"
#include "platform/FormatLibrary.h"
#include "platform/LoadedWindows.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/UpDown.h"
#include "platform/WindowTimer.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

const QString kSection = QStringLiteral("EventDetails");

constexpr int kMinWidthTwips = 4740;
constexpr int kMinHeightTwips = 4005;

int Px(int twips) { return tsy::Runtime::TwipsToPixels(twips); }
int Tw(int px) { return tsy::Runtime::PixelsToTwips(px); }

QLabel* Caption(const QString& text, QWidget* parent, const char* name)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    // Descriptions, errors and peer names come from the network.
    label->setTextFormat(Qt::PlainText);
    return label;
}

QIcon NavIcon(const QString& name)
{
    const QDir res(QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("res/nav")));
    QIcon icon(res.filePath(name + QStringLiteral(".png")));
    icon.addFile(res.filePath(name + QStringLiteral("_disabled.png")), QSize(), QIcon::Disabled);
    return icon;
}

// A stored measure in twips, or the fallback when the text is not a number
// that fits.
int StoredTwips(const QString& key, int fallback)
{
    const QString text = tsy::Settings::GetSetting(kSection, key, QString::number(fallback));
    const auto v = tsy::Numbers::WholeInRange(text, -1000000, 1000000);
    return v ? int(*v) : fallback;
}

char FormatCode(const QString& item)
{
    if (item == QStringLiteral("Hex")) return 'h';
    if (item == QStringLiteral("Octal")) return 'o';
    if (item == QStringLiteral("Decimal")) return 'd';
    if (item == QStringLiteral("Binary")) return 'b';
    return 0;
}

} // namespace

// ---- loading and unloading ------------------------------------------------

frmEventDetails::frmEventDetails() : SingleWindow("frmEventDetails", Qt::Tool)
{
    setWindowTitle(QStringLiteral("Event Details"));
    BuildControls();
}

void frmEventDetails::BuildControls()
{
    setMinimumSize(Px(kMinWidthTwips), Px(kMinHeightTwips));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(4, 4, 4, 4);
    tabTab = new QTabWidget(this);
    tabTab->setObjectName(QStringLiteral("tabTab"));
    outer->addWidget(tabTab);

    const auto buttons = [this](int index, QWidget* parent) {
        cmdLeft[index] = new QPushButton(NavIcon(QStringLiteral("Previous")), QString(), parent);
        cmdLeft[index]->setObjectName(QStringLiteral("cmdLeft_%1").arg(index));
        cmdLeft[index]->setToolTip(QStringLiteral("Previous event"));
        cmdRight[index] = new QPushButton(NavIcon(QStringLiteral("Next")), QString(), parent);
        cmdRight[index]->setObjectName(QStringLiteral("cmdRight_%1").arg(index));
        cmdRight[index]->setToolTip(QStringLiteral("Next event"));
        connect(cmdLeft[index], &QPushButton::clicked, this, &frmEventDetails::cmdLeft_Click);
        connect(cmdRight[index], &QPushButton::clicked, this, &frmEventDetails::cmdRight_Click);
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        row->setSpacing(0);
        row->addWidget(cmdLeft[index]);
        row->addWidget(cmdRight[index]);
        return row;
    };

    auto* general = new QWidget(tabTab);
    auto* g = new QVBoxLayout(general);
    lblEventTime = Caption(QStringLiteral("Event Time:"), general, "lblEventTime");
    lblFinishTime = Caption(QStringLiteral("Finish Time:"), general, "lblFinishTime");
    lblDescription = Caption(QStringLiteral("Description:"), general, "lblDescription");
    lblErrorNumber = Caption(QStringLiteral("Error Number:"), general, "lblErrorNumber");
    lblErrorDescription = Caption(QStringLiteral("Error Description:"), general, "lblErrorDescription");
    lblRemoteClient = Caption(QStringLiteral("Remote Client:"), general, "lblRemoteClient");
    lblRemoteServer = Caption(QStringLiteral("Remote Server:"), general, "lblRemoteServer");
    for (QLabel* l : {lblDescription, lblErrorDescription, lblRemoteClient, lblRemoteServer}) {
        l->setWordWrap(true);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    for (QLabel* l : {lblEventTime, lblFinishTime, lblDescription, lblErrorNumber, lblErrorDescription,
                      lblRemoteClient, lblRemoteServer})
        g->addWidget(l);
    g->addStretch(1);
    g->addLayout(buttons(0, general));
    tabTab->addTab(general, QStringLiteral("&General"));

    auto* data = new QWidget(tabTab);
    auto* d = new QVBoxLayout(data);
    txtData = new QPlainTextEdit(data);
    txtData->setObjectName(QStringLiteral("txtData"));
    txtData->setReadOnly(true);
    txtData->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::Monospace);
    mono.setPointSizeF(8.25);
    txtData->setFont(mono);
    d->addWidget(txtData, 1);
    fraContainer = new QFrame(data);
    fraContainer->setObjectName(QStringLiteral("fraContainer"));
    auto* f = new QHBoxLayout(fraContainer);
    f->setContentsMargins(0, 0, 0, 0);
    auto* label1 = new QLabel(QStringLiteral("&Format:"), fraContainer);
    cboFormat = new QComboBox(fraContainer);
    cboFormat->setObjectName(QStringLiteral("cboFormat"));
    cboFormat->addItems({QStringLiteral("AscII"), QStringLiteral("Hex"), QStringLiteral("Octal"),
                         QStringLiteral("Decimal"), QStringLiteral("Binary")});
    label1->setBuddy(cboFormat);
    auto* label2 = new QLabel(QStringLiteral("&Bytes Per Row:"), fraContainer);
    txtBytesPerRow = new QLineEdit(QStringLiteral("16"), fraContainer);
    txtBytesPerRow->setObjectName(QStringLiteral("txtBytesPerRow"));
    txtBytesPerRow->setMaximumWidth(50);
    label2->setBuddy(txtBytesPerRow);
    updBytesPerRow = new tsy::UpDown(fraContainer);
    updBytesPerRow->setObjectName(QStringLiteral("updBytesPerRow"));
    updBytesPerRow->SetRange(4, 128);
    updBytesPerRow->SetIncrement(4);
    updBytesPerRow->SetBuddy(txtBytesPerRow);
    f->addWidget(label1);
    f->addWidget(cboFormat);
    f->addSpacing(12);
    f->addWidget(label2);
    f->addWidget(txtBytesPerRow);
    f->addWidget(updBytesPerRow);
    f->addStretch(1);
    auto* nav = buttons(1, fraContainer);
    f->addLayout(nav);
    d->addWidget(fraContainer);
    tabTab->addTab(data, QStringLiteral("&Data"));

    connect(cboFormat, &QComboBox::activated, this, &frmEventDetails::cboFormat_Click);
    connect(txtBytesPerRow, &QLineEdit::textChanged, this, &frmEventDetails::txtBytesPerRow_Change);

    tmrControlAvailability = new tsy::WindowTimer(this, 1000, true);
    connect(tmrControlAvailability, &tsy::WindowTimer::Timer, this, &frmEventDetails::UpdateButtons);
}

void frmEventDetails::Form_Load()
{
    // A stored format outside the list, or a measure that is no number, takes
    // that setting's default.
    const auto format = tsy::Numbers::WholeInRange(tsy::Settings::GetSetting(kSection, QStringLiteral("Format"), QStringLiteral("0")), 0, 4);
    cboFormat->setCurrentIndex(format ? int(*format) : 0);
    const QString bpr = tsy::Settings::GetSetting(kSection, QStringLiteral("BytesPerRow"), QStringLiteral("8"));
    txtBytesPerRow->setText(tsy::Numbers::IsNumeric(bpr) ? bpr : QStringLiteral("8"));

    resize(Px(7200), Px(5400));
    const int left = StoredTwips(QStringLiteral("Left"), Tw(x()));
    const int top = StoredTwips(QStringLiteral("Top"), Tw(y()));
    const int w = StoredTwips(QStringLiteral("Width"), Tw(width()));
    const int h = StoredTwips(QStringLiteral("Height"), Tw(height()));
    move(Px(left), Px(top));
    resize(Px(std::max(w, kMinWidthTwips)), Px(std::max(h, kMinHeightTwips)));
    ClearDetails();
}

void frmEventDetails::Form_Unload()
{
    tsy::Settings::SaveSetting(kSection, QStringLiteral("Format"), QString::number(cboFormat->currentIndex()));
    tsy::Settings::SaveSetting(kSection, QStringLiteral("BytesPerRow"), txtBytesPerRow->text());
    tsy::Settings::SaveSetting(kSection, QStringLiteral("Left"), QString::number(Tw(x())));
    tsy::Settings::SaveSetting(kSection, QStringLiteral("Top"), QString::number(Tw(y())));
    tsy::Settings::SaveSetting(kSection, QStringLiteral("Width"), QString::number(Tw(width())));
    tsy::Settings::SaveSetting(kSection, QStringLiteral("Height"), QString::number(Tw(height())));
}

void frmEventDetails::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) Form_Activate();
}

void frmEventDetails::Form_Activate()
{
    if (!ShowEvent()) ClearDetails();
    UpdateButtons();
}

// ---- showing one event ------------------------------------------------------

void frmEventDetails::SetDetails(std::shared_ptr<SocketPairHistory> objSocketPairHistory, int intEventIndex)
{
    mobjHistory = std::move(objSocketPairHistory);
    mintEventIndex = intEventIndex;
    mobjEvent.reset();
    try {
        if (mobjHistory) mobjEvent = mobjHistory->mobjSocketPairEvents.Item(intEventIndex);
    } catch (...) {
        // A position the history does not hold: the show below fails quietly.
    }
    ShowEvent();
}

int frmEventDetails::LocateEvent() const
{
    if (!mobjHistory || !mobjEvent) return 0;
    const auto& events = mobjHistory->mobjSocketPairEvents;
    // The purge only drops the oldest events, so the event can only have
    // moved towards the front.
    for (int p = std::min(mintEventIndex, events.Count()); p >= 1; --p)
        if (events.Item(p) == mobjEvent) return p;
    return 0;
}

bool frmEventDetails::ShowEvent()
{
    if (mintEventIndex == 0) return true;
    try {
        const int position = LocateEvent();
        if (position == 0) return false;   // no longer held: never show another event in its place
        mintEventIndex = position;
        const SocketEvent& ev = *mobjEvent;
        const SocketPairHistory& h = *mobjHistory;

        lblEventTime->setText(QStringLiteral("Event Time: ") + ev.mstrEventTime);
        lblFinishTime->setText(QStringLiteral("Finish Time: ") + ev.mstrEventEndTime);
        lblDescription->setText(QStringLiteral("Description: ") + ev.mstrDescription);
        lblErrorNumber->setText(ev.mlngErrorNumber == 0 ? QStringLiteral("Error Number: ")
                                                       : QStringLiteral("Error Number: ") + QString::number(ev.mlngErrorNumber));
        lblErrorDescription->setText(QStringLiteral("Error Description: ") + ev.mstrErrorString);

        // Laying out a multi-MiB event takes a while: skip it when the box
        // already shows this event in this layout.
        const QString layout = cboFormat->currentText() + QLatin1Char('/') + txtBytesPerRow->text();
        if (mobjDataShown != mobjEvent || mstrDataFormat != layout) {
            QString text;
            if (ev.mstrData.isEmpty()) {
                text = QStringLiteral("<No data in this event>");
            } else if (const char code = FormatCode(cboFormat->currentText()); code == 0) {
                text = QString::fromLatin1(ev.mstrData);
            } else {
                const auto result = tsy::FormatLibrary::Format(ev.mstrData, code, txtBytesPerRow->text().toInt());
                if (!result.ok) return false;
                text = QString::fromLatin1(result.text);
            }
            txtData->setPlainText(text);
            mobjDataShown = mobjEvent;
            mstrDataFormat = layout;
        }

        setWindowTitle(QStringLiteral("Event Details - #") + QString::number(position) + QStringLiteral("  ") + ev.mstrDescription);

        const auto peer = [](const QString& prefix, const QString& ip, int port, const QString& name) {
            QString text = prefix + ip + QLatin1Char(':') + QString::number(port);
            if (!name.isEmpty()) text += QStringLiteral(" (") + name + QLatin1Char(')');
            return text;
        };
        lblRemoteClient->setText(peer(QStringLiteral("Remote Client: "), h.mstrRemoteClientIP, h.mlngRemoteClientPort, h.mstrRemoteClientName));
        lblRemoteServer->setText(peer(QStringLiteral("Remote Server: "), h.mstrRemoteServerIP, h.mlngRemoteServerPort, h.mstrRemoteServerName));

        if (frmMain::IsLoaded()) {
            // The diagram turns to the event's page and frames it.
            frmMain* main = frmMain::Instance();
            const bool pageChanged = main->CheckForPageChange(position);
            if (pageChanged && General::gblnConnectionDiagramView) main->DisplayConnectionDiagram(main->mobjCurrentHistory);
            if (General::gblnConnectionDiagramView) {
                // The diagram's own history is looked up by position, which also
                // draws an event that came after its page was drawn; an event of
                // another history has no element there and fails the highlight.
                const bool framed = main->mobjCurrentHistory == mobjHistory ? main->HighlightEventAt(position)
                                                                             : main->HighlightEvent(ev.mobjUIObject.data());
                if (!framed) return false;
            }
        }

        SetEnabledAll(true);
        return true;
    } catch (...) {
        return false;
    }
}

void frmEventDetails::ClearDetails()
{
    lblEventTime->setText(QStringLiteral("Event Time: "));
    lblFinishTime->setText(QStringLiteral("Finish Time: "));
    lblDescription->setText(QStringLiteral("Description: "));
    lblErrorNumber->setText(QStringLiteral("Error Number: "));
    lblErrorDescription->setText(QStringLiteral("Error Description: "));
    lblRemoteClient->setText(QStringLiteral("Remote Client: "));
    lblRemoteServer->setText(QStringLiteral("Remote Server: "));
    txtData->clear();
    mobjDataShown.reset();
    mstrDataFormat.clear();
    setWindowTitle(QStringLiteral("Event Details - No Event"));

    if (frmMain::IsLoaded()) frmMain::Instance()->UnhighlightEvent();

    mobjHistory.reset();
    mobjEvent.reset();
    mintEventIndex = 0;
    SetEnabledAll(false);
    for (int i = 0; i < 2; ++i) {
        cmdLeft[i]->setEnabled(false);
        cmdRight[i]->setEnabled(false);
    }
}

void frmEventDetails::SetEnabledAll(bool enabled)
{
    for (QWidget* w : std::initializer_list<QWidget*>{lblEventTime, lblFinishTime, lblDescription, lblErrorNumber,
                                                      lblErrorDescription, lblRemoteClient, lblRemoteServer, txtData,
                                                      fraContainer})
        w->setEnabled(enabled);
}

void frmEventDetails::UpdateButtons()
{
    if (mintEventIndex == 0 || !mobjHistory) return;
    const int position = LocateEvent();
    const int count = mobjHistory->mobjSocketPairEvents.Count();
    for (int i = 0; i < 2; ++i) {
        cmdLeft[i]->setEnabled(position > 1);
        cmdRight[i]->setEnabled(position != 0 && position < count);
    }
}

void frmEventDetails::Step(int delta)
{
    if (mintEventIndex == 0 || !mobjHistory) return;
    const int from = LocateEvent();
    const int to = from + delta;
    if (from == 0 || to < 1 || to > mobjHistory->mobjSocketPairEvents.Count()) {
        UpdateButtons();
        return;   // the window keeps what it shows
    }
    mobjEvent = mobjHistory->mobjSocketPairEvents.Item(to);
    mintEventIndex = to;
    UpdateButtons();
    ShowEvent();
}

void frmEventDetails::cmdLeft_Click() { Step(-1); }

void frmEventDetails::cmdRight_Click() { Step(1); }

void frmEventDetails::cboFormat_Click() { ShowEvent(); }

void frmEventDetails::txtBytesPerRow_Change()
{
    if (mblnApplyingRule) return;
    const QString ruled = tsy::Numbers::BytesPerRowRule(txtBytesPerRow->text());
    if (ruled != txtBytesPerRow->text()) {
        mblnApplyingRule = true;
        txtBytesPerRow->setText(ruled);
        mblnApplyingRule = false;
    }
    ShowEvent();
}
