// The connection diagram: one connection's events drawn 20 to a page as
// animated arrows between the client, the proxy and the server; live
// additions, paging, the highlight frame, the scroll bars and the clicks on
// the arrows.
#include "mainwindow/frmMain.h"

#include "engine/General.h"
#include "engine/Trap.h"
#include "engine/frmError.h"
#include "export/frmEventDetails.h"
#include "history/DiagramRows.h"
#include "history/Logging.h"
#include "history/SocketPairHistory.h"
#include "history/TreeImages.h"
#include "mainwindow/DiagramArrow.h"
#include "mainwindow/frmOptions.h"
#include "platform/AnimationControl.h"
#include "platform/KeyedTree.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"

#include <QAction>
#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QScrollBar>
#include <QTextLayout>
#include <QTimer>
#include <QToolBar>

#include <algorithm>

namespace {

using namespace TreeImages;

constexpr const char* kDrawEvent =
    "An error occurred while attempting to draw the socket event.  The operating system reports: ";
constexpr const char* kPurged = frmMain::kPurgedMessage;

constexpr int kEventsPerPage = 20;
constexpr int kTitleMs = 40;   // the longest a live event's count waits for the title
constexpr int kRowPitch = 1600;
// Sizes in twips of the design-time templates.
constexpr double kComputerWidth = 855;
constexpr double kComputerHeight = 735;
constexpr double kErrorHeight = 1200;
constexpr double kArrowWidth = 1920;
constexpr double kArrowHeight = 720;
constexpr double kCloudWidth = 1920;
constexpr double kCloudHeight = 1605;
constexpr double kClientLeft = 800;
const QString kErrorClip = QStringLiteral("Error.avi");

int Px(double twips) { return tsy::Runtime::TwipsToPixels(qRound(twips)); }
double Tw(int px) { return tsy::Runtime::PixelsToTwips(px); }
double Round(double v) { return tsy::Numbers::RoundHalfEven(v); }

void Place(QWidget* w, double left, double top, double width, double height)
{
    w->setGeometry(Px(left), Px(top), Px(width), Px(height));
}

[[noreturn]] void Fail(int number, const char* what) { throw tsy::CollectionError(number, what); }

double Midpoint(int a, int b) { return (double(a) + double(b)) / 2; }

// Column lefts, from the templates' width.
constexpr double kProxyLeft = kComputerWidth + 800 + 3000;
constexpr double kServerLeft = kComputerWidth + 800 + 3000 + kComputerWidth + 3000;
double ClientArrowLeft() { return Midpoint(800, int(Round(kProxyLeft))) + 400 - kArrowWidth / 2; }
double ServerArrowLeft() { return Midpoint(int(Round(kServerLeft)), 4600) + kComputerWidth / 2 - kArrowWidth / 2; }

QString ResFile(const QString& name) { return QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("res/") + name); }

// Pages of a history of n events: 0 for none, 1 for 1 to 20, 2 for 21 to 40...
int PageCount(int n) { return n <= 0 ? 0 : (n - 1) / kEventsPerPage + 1; }

// Whether newly placed clips play.
bool AnimateConnectionDiagram()
{
    return frmOptions::Value(frmOptions::Instance()->chkAnimateConnectionDiagram) == 1;
}

// Position (from 1) of the event among the history's events; 0 when the
// purge has dropped it.
int PositionOf(const SocketPairHistory& h, const SocketEvent* e)
{
    if (!e) return 0;
    const auto& events = h.mobjSocketPairEvents;
    for (int i = events.Count(); i >= 1; --i)
        if (events.Item(i).get() == e) return i;
    return 0;
}

// Captions are shown as plain text; a CR LF is the label's line break.
QString LabelText(const QString& caption)
{
    QString text = caption;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

QString PeerCaption(const QString& name, const QString& ip, int port)
{
    const QString address = QStringLiteral("(") + ip + QLatin1Char(':') + QString::number(port) + QLatin1Char(')');
    return name.isEmpty() ? address : name + QStringLiteral("\r\n") + address;
}

QString GetClientCaption(const SocketPairHistory& h)
{
    return PeerCaption(h.mstrRemoteClientName, h.mstrRemoteClientIP, h.mlngRemoteClientPort);
}

QString GetServerCaption(const SocketPairHistory& h)
{
    return PeerCaption(h.mstrRemoteServerName, h.mstrRemoteServerIP, h.mlngRemoteServerPort);
}

QString GetProxyCaption(const SocketPairHistory& h)
{
    return QStringLiteral("127.0.0.1:") + QString::number(h.mlngLocalServerPort);
}

QString GetArrowCaption(const SocketEvent& e) { return e.mstrDescription + QStringLiteral("\r\n") + e.mstrEventTime; }

void SetTag(QObject* o, const QString& tag) { o->setProperty("Tag", tag); }

void SetBackColour(QWidget* w, const QColor& colour)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Window, colour);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

// Takes one element off the canvas. It is deleted once control is back in
// the event loop: the element may be the arrow whose click is running.
void Unload(QWidget* w)
{
    if (!w) return;
    if (auto* arrow = qobject_cast<DiagramArrow*>(w)) {
        if (const auto event = arrow->mobjEvent.lock(); event && event->mobjUIObject == arrow)
            event->mobjUIObject = nullptr;
    }
    // A clip would go on turning until the deletion comes round.
    if (auto* clip = qobject_cast<tsy::AnimationControl*>(w)) clip->CloseClip();
    w->hide();
    w->deleteLater();
}

// Member `row` of a control array; a member the row already holds is
// unloaded first, so no element is ever orphaned.
template <class T>
T* Load(frmMain::ControlArray<T>& array, int row, T* element)
{
    if (auto old = array.take(row)) Unload(old.data());
    array.insert(row, element);
    return element;
}

template <class T>
void UnloadAll(frmMain::ControlArray<T>& array)
{
    for (const auto& element : std::as_const(array)) Unload(element.data());
    array.clear();
}

// What each event type draws: the first element (left out for a follow-on)
// and the ones after it.
enum class Kind { None, Client, Proxy, Server, ClientArrow, ServerArrow, Cloud };
struct Element {
    Kind kind = Kind::None;
    const char* clip = "";
};
struct Drawing {
    Element first, second, third;
};

constexpr const char* kOn = "ComputerOn.avi";
constexpr const char* kComingOn = "ComputerComingOn.avi";
constexpr const char* kGoingOff = "ComputerGoingOff.avi";
constexpr const char* kGrey = "LightningBoltGrey.avi";
constexpr const char* kError = "Error.avi";

const Drawing kDrawings[25] = {
    /* 0 */ {{Kind::Client, kComingOn}, {Kind::ClientArrow, "LightningBolt.avi"}, {Kind::Proxy, kOn}},
    /* 1 */ {{Kind::Client, kComingOn}, {Kind::ClientArrow, "LightningBoltX.avi"}, {Kind::Proxy, kOn}},
    /* 2 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, kGrey}, {Kind::Cloud, "Cloud.bmp"}},
    /* 3 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, kGrey}, {Kind::Server, kError}},
    /* 4 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, "LightningBolt.avi"}, {Kind::Server, kOn}},
    /* 5 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, kGrey}, {Kind::Server, kGoingOff}},
    /* 6 */ {{Kind::Proxy, kGoingOff}, {Kind::ClientArrow, kGrey}, {Kind::Client, kOn}},
    /* 7 */ {{Kind::Proxy, kOn}, {Kind::ClientArrow, kGrey}, {Kind::Client, kGoingOff}},
    /* 8 */ {{Kind::Proxy, kGoingOff}, {Kind::ServerArrow, kGrey}, {Kind::Server, kOn}},
    /* 9 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, "S2CData.avi"}, {Kind::Server, kOn}},
    /* 10 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, "C2SBuffer.avi"}, {}},
    /* 11 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, "C2SDangleBuffer.avi"}, {}},
    /* 12 */ {{Kind::Proxy, kOn}, {Kind::ClientArrow, "S2CBuffer.avi"}, {}},
    /* 13 */ {{Kind::Proxy, kOn}, {Kind::ClientArrow, "S2CDangleBuffer.avi"}, {}},
    /* 14 */ {{Kind::Proxy, kOn}, {Kind::Client, kOn}, {Kind::ClientArrow, "S2CData.avi"}},
    /* 15 */ {{Kind::Proxy, kOn}, {Kind::Client, kOn}, {Kind::ClientArrow, "S2CThrottle.avi"}},
    /* 16 */ {{Kind::Client, kOn}, {Kind::ClientArrow, "C2SData.avi"}, {Kind::Proxy, kOn}},
    /* 17 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, "C2SData.avi"}, {Kind::Server, kOn}},
    /* 18 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, "C2SThrottle.avi"}, {Kind::Server, kOn}},
    /* 19 */ {{Kind::Proxy, kOn}, {Kind::ClientArrow, ""}, {Kind::Client, kError}},
    /* 20 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, ""}, {Kind::Server, kError}},
    /* 21 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, "DangleStart.avi"}, {}},
    /* 22 */ {{Kind::Proxy, kOn}, {Kind::ClientArrow, "DangleStart.avi"}, {}},
    /* 23 */ {{Kind::Proxy, kOn}, {Kind::ServerArrow, "DangleStop.avi"}, {}},
    /* 24 */ {{Kind::Proxy, kOn}, {Kind::ClientArrow, "DangleStop.avi"}, {}},
};

} // namespace

// ---------------------------------------------------------------------------
// The arrow control
// ---------------------------------------------------------------------------

DiagramArrow::DiagramArrow(QWidget* parent, int row, bool serverSide)
    : tsy::AnimationControl(parent), mintRow(row), mblnServerSide(serverSide)
{
    setCursor(Qt::PointingHandCursor);
}

void DiagramArrow::mousePressEvent(QMouseEvent* event)
{
    mblnPressed = event->button() == Qt::LeftButton;
    event->accept();
}

void DiagramArrow::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = mblnPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    mblnPressed = false;
    event->accept();
    if (!click || !frmMain::IsLoaded()) return;
    if (mblnServerSide) frmMain::Instance()->aniTSY2Server_Click(mintRow);
    else frmMain::Instance()->aniClient2TSY_Click(mintRow);
}

// ---------------------------------------------------------------------------
// The arrow's caption
// ---------------------------------------------------------------------------

namespace {

constexpr double kCaptionFloorPt = 6;   // smaller than this is not read

// The lines at one font; false when they do not all fit the box's height.
bool LayOutAt(const QString& text, const QFont& font, const QSizeF& box, DiagramCaption::Layout& out)
{
    QTextLayout layout(text, font);
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    out.font = font;
    out.lines.clear();
    out.whole = true;
    double y = 0;
    bool fits = true;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(box.width());
        line.setPosition(QPointF(0, y));
        y += line.height();
        if (y > box.height()) {
            fits = false;
            break;
        }
        QString part = text.mid(line.textStart(), line.textLength());
        while (!part.isEmpty() && (part.back().isSpace() || part.back() == QChar::LineSeparator)) part.chop(1);
        out.lines.append({part, line.naturalTextRect()});
    }
    layout.endLayout();
    return fits;
}

} // namespace

DiagramCaption::Layout DiagramCaption::LayOut(const QString& text, const QFont& font, const QSizeF& box)
{
    QString laid = text;
    laid.replace(QLatin1Char('\n'), QChar::LineSeparator);
    Layout result;
    QFont f = font;
    const bool points = f.pointSizeF() > 0;
    double size = points ? f.pointSizeF() : f.pixelSize();
    const double floor = points ? kCaptionFloorPt : kCaptionFloorPt * 4 / 3;
    while (!LayOutAt(laid, f, box, result)) {
        if (size <= floor) {
            // Words are left over even at the floor: the last line drawn
            // shows that the text goes on.
            result.whole = false;
            if (result.lines.isEmpty()) break;
            Line& last = result.lines.last();
            const QFontMetricsF metrics(f);
            last.text = metrics.elidedText(last.text + QStringLiteral(" \u2026"), Qt::ElideRight, box.width());
            const double width = metrics.horizontalAdvance(last.text);
            last.rect = QRectF((box.width() - width) / 2, last.rect.y(), width, last.rect.height());
            break;
        }
        size = std::max(floor, size - (points ? 0.5 : 1));
        if (points) f.setPointSizeF(size);
        else f.setPixelSize(int(size));
    }
    return result;
}

DiagramCaption::DiagramCaption(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignHCenter | Qt::AlignTop);
}

const DiagramCaption::Layout& DiagramCaption::Lines() const
{
    // Laid out once per text, font and size: the page's redraws paint it often.
    if (mLaidText != text() || mLaidSize != size() || mLaidFont != font()) {
        mLayout = LayOut(text(), font(), QSizeF(size()));
        mGlyphs.clear();
        for (const Line& line : std::as_const(mLayout.lines)) {
            QStaticText glyphs(line.text);
            glyphs.setTextFormat(Qt::PlainText);
            glyphs.prepare(QTransform(), mLayout.font);
            mGlyphs.append(glyphs);
        }
        mLaidText = text();
        mLaidSize = size();
        mLaidFont = font();
    }
    return mLayout;
}

void DiagramCaption::paintEvent(QPaintEvent*)
{
    const Layout& layout = Lines();
    QPainter painter(this);
    painter.setFont(layout.font);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    for (int i = 0; i < layout.lines.size(); ++i) painter.drawStaticText(layout.lines[i].rect.topLeft(), mGlyphs[i]);
}

// ---------------------------------------------------------------------------
// Controls
// ---------------------------------------------------------------------------

void frmMain::BuildDiagramControls()
{
    pgrRefresh = new QProgressBar(panDiagram);
    pgrRefresh->setObjectName(QStringLiteral("pgrRefresh"));
    pgrRefresh->setRange(0, 100);
    pgrRefresh->setTextVisible(false);
    pgrRefresh->setFixedSize(Px(2400), Px(300));
    pgrRefresh->hide();

    shpHighlight = new QFrame(fraConnectionPanel);
    shpHighlight->setObjectName(QStringLiteral("shpHighlight"));
    shpHighlight->setStyleSheet(QStringLiteral("QFrame#shpHighlight { border: 2px solid #ff0000; background: transparent; }"));
    shpHighlight->setAttribute(Qt::WA_TransparentForMouseEvents);
    shpHighlight->hide();

    SetBackColour(panDiagram, Qt::white);
    SetBackColour(fraConnectionPanel, Qt::white);

    connect(scrConnectionPanelHoriz, &QScrollBar::valueChanged, this, [this](int v) {
        fraConnectionPanel->move(Px(-10.0 * v), fraConnectionPanel->y());
    });
    connect(scrConnectionPanelVert, &QScrollBar::valueChanged, this, [this](int v) {
        fraConnectionPanel->move(fraConnectionPanel->x(), Px(-10.0 * v));
    });

    const QStringList buttons = {QStringLiteral("First"), QStringLiteral("Previous"), QStringLiteral("Next"),
                                 QStringLiteral("Last")};
    for (int i = 0; i < buttons.size(); ++i) {
        mactNavigation[i] = barNavigation->findChild<QAction*>(buttons[i]);
        if (QAction* a = mactNavigation[i])
            connect(a, &QAction::triggered, this, [this, i] { barNavigation_ButtonClick(i + 1); });
    }
}

void frmMain::SetDiagramProgress(int value)
{
    pgrRefresh->setValue(std::clamp(value, 0, 100));
    pgrRefresh->repaint();
}

// ---------------------------------------------------------------------------
// Showing, drawing and clearing
// ---------------------------------------------------------------------------

void frmMain::ShowDetailsView()
{
    const bool diagram = General::gblnConnectionDiagramView;
    if (!diagram) ClearConnectionDiagram();
    tsy::KeyedTree* tree = tvwSockets;
    // A selected node the purge has removed shows neither list nor diagram.
    const QString image = tree->Exists(mnodSelectedNode) ? tree->Image(mnodSelectedNode) : QString();
    Logging* logging = General::gobjLogging;
    const auto show = [this] {
        panDiagramOuter->show();
        panDiagramOuter->raise();
    };
    if (diagram && (image == kImgSocket || image == kImgSocketDisconnected)) {
        mintCurrentPage = 0;
        mintCurrentEvent = 1;
        show();
        if (!logging) Fail(91, "Object variable or With block variable not set");
        DisplayConnectionDiagram(logging->mobjSocketPairHistory.Item(tree->Tag(mnodSelectedNode).toString()));
    } else if (diagram && image == kImgEvent) {
        if (!panDiagramOuter->isHidden()) return;
        show();
        if (!logging) Fail(91, "Object variable or With block variable not set");
        const QString socketKey = tree->ParentKey(mnodSelectedNode);
        DisplayConnectionDiagram(logging->mobjSocketPairHistory.Item(tree->Tag(socketKey).toString()));
    } else {
        panDiagramOuter->hide();
    }
}

void frmMain::DisplayConnectionDiagram(const std::shared_ptr<SocketPairHistory>& objHistory)
{
    mobjCurrentHistory = objHistory;
    UnhighlightEvent();
    if (!objHistory) Fail(91, "Object variable or With block variable not set");

    const QColor face = palette().color(QPalette::Button);
    SetBackColour(panDiagram, face);
    SetBackColour(panDiagramOuter, face);
    fraConnectionPanel->hide();
    pgrRefresh->setMaximum(100);
    pgrRefresh->move(panDiagram->width() / 2 - pgrRefresh->width() / 2, panDiagram->height() / 2);
    pgrRefresh->show();
    pgrRefresh->raise();
    panDiagramOuter->repaint();

    ClearConnectionDiagram();

    mblnAnimateDiagram = AnimateConnectionDiagram();
    const auto& events = objHistory->mobjSocketPairEvents;
    const int n = events.Count();
    mintCurrentRow = 1;
    mintPageCount = PageCount(n);
    // A page the purge has emptied since it was chosen gives way to the last one.
    mintCurrentPage = std::clamp(mintCurrentPage, 0, std::max(0, mintPageCount - 1));
    mlngDrawnTrimmed = objHistory->mlngEventCount - n;

    const int first = mintCurrentPage * kEventsPerPage + 1;
    const int last = General::GetMinimum(first + kEventsPerPage - 1, n);
    for (int i = first; i <= last; ++i) {
        SetDiagramProgress(int(double(i) / n * 50 + 50));
        // A page always starts a fresh row 1, whatever the event before it announced.
        bool followOn = false;
        if (i > first) {
            followOn = DiagramRows::JoinsRow(*events.Item(i - 1), mblnCurrentRowShared, *events.Item(i));
            if (!followOn) ++mintCurrentRow;
        }
        mblnCurrentRowShared = followOn;
        DrawDiagramEvent(objHistory, i, mintCurrentRow, followOn);
    }

    pgrRefresh->hide();
    SetBackColour(panDiagram, Qt::white);
    SetBackColour(panDiagramOuter, Qt::white);
    panDiagram->repaint();
    fraConnectionPanel->show();
    fraConnectionPanel->repaint();
    UpdateNavigationState();
}

void frmMain::ClearConnectionDiagram()
{
    SetDiagramProgress(0);
    UnloadAll(pctInternet);
    SetDiagramProgress(4);
    UnloadAll(aniClient);
    SetDiagramProgress(8);
    UnloadAll(aniTSY);
    SetDiagramProgress(12);
    UnloadAll(aniServer);
    SetDiagramProgress(16);
    UnloadAll(aniClient2TSY);
    SetDiagramProgress(20);
    UnloadAll(aniTSY2Server);
    SetDiagramProgress(24);
    UnloadAll(lblClient);
    SetDiagramProgress(28);
    UnloadAll(lblTSY);
    SetDiagramProgress(32);
    UnloadAll(lblServer);
    SetDiagramProgress(36);
    UnloadAll(lblClient2TSY);
    SetDiagramProgress(40);
    UnloadAll(lblTSY2Server);
    mobjHighlighted = nullptr;

    fraConnectionPanel->resize(fraConnectionPanel->width(), panDiagramOuter->height());
    UpdateDiagramScrollBars();
    SetDiagramProgress(45);
}

void frmMain::AddConnectionDiagramEvent(const std::shared_ptr<SocketPairHistory>& objHistory)
{
    // Only into the diagram of this very history: a new connection may have
    // been given the key of one the purge removed.
    if (!objHistory || objHistory != mobjCurrentHistory) return;
    const int n = objHistory->mobjSocketPairEvents.Count();
    const int first = mintCurrentPage * kEventsPerPage + 1;
    if (n >= first && n < first + kEventsPerPage) {
        const auto& events = objHistory->mobjSocketPairEvents;
        const bool followOn =
            n > first && DiagramRows::JoinsRow(*events.Item(n - 1), mblnCurrentRowShared, *events.Item(n));
        const int row = n == first ? 1 : mintCurrentRow + (followOn ? 0 : 1);
        // After a trim the positions drawn name other events, and the rows
        // counted no longer match the page: draw the page afresh instead.
        const bool trimmed = objHistory->mlngEventCount - n != mlngDrawnTrimmed;
        if (trimmed || row > kEventsPerPage) {
            DisplayConnectionDiagram(objHistory);
            return;
        }
        mblnAnimateDiagram = AnimateConnectionDiagram();
        mintCurrentRow = row;
        mblnCurrentRowShared = followOn;
        DrawDiagramEvent(objHistory, n, row, followOn);
    } else if (PageCount(n) == mintPageCount) {
        // Off the page and no new page: only the event count in the title
        // changes, which under traffic would be built at every event for a
        // panel that shows it at most every 40 ms.
        if (!mblnNavigationPending) {
            mblnNavigationPending = true;
            QTimer::singleShot(kTitleMs, this, [this] {
                if (mblnNavigationPending) UpdateNavigationState();
            });
        }
        return;
    }
    mintPageCount = PageCount(n);
    UpdateNavigationState();
}

void frmMain::DrawDiagramEvent(const std::shared_ptr<SocketPairHistory>& objHistory, int intEventIndex, int intRow,
                               bool blnFollowOn)
{
    General::Trap(kDrawEvent, [&] {
        const int first = mintCurrentPage * kEventsPerPage + 1;
        if (intEventIndex < first || intEventIndex >= first + kEventsPerPage) return;
        const SocketPairHistory& h = *objHistory;
        const std::shared_ptr<SocketEvent> event = h.mobjSocketPairEvents.Item(intEventIndex);
        const int type = event->mobjEventType;
        if (type < 0 || type > 24) return;
        const QString tag = QString::number(intEventIndex);

        const auto place = [&](const Element& e) {
            const QString clip = QString::fromLatin1(e.clip);
            const bool error = clip == kErrorClip;
            DiagramArrow* arrow = nullptr;
            switch (e.kind) {
            case Kind::None: break;
            case Kind::Client:
                PlaceComputer(aniClient, lblClient, kClientLeft, intRow, error ? QString() : GetClientCaption(h), clip, tag);
                break;
            case Kind::Proxy: PlaceComputer(aniTSY, lblTSY, kProxyLeft, intRow, GetProxyCaption(h), clip, tag); break;
            case Kind::Server:
                PlaceComputer(aniServer, lblServer, kServerLeft, intRow, error ? QString() : GetServerCaption(h), clip, tag);
                break;
            case Kind::Cloud: PlaceInternetCloud(intRow, clip, tag); break;
            case Kind::ClientArrow:
                arrow = PlaceArrow(aniClient2TSY, lblClient2TSY, ClientArrowLeft(), intRow, GetArrowCaption(*event), clip,
                                   tag, false);
                break;
            case Kind::ServerArrow:
                arrow = PlaceArrow(aniTSY2Server, lblTSY2Server, ServerArrowLeft(), intRow, GetArrowCaption(*event), clip,
                                   tag, true);
                break;
            }
            if (arrow) {
                arrow->mobjEvent = event;
                event->mobjUIObject = arrow;
            }
        };
        const Drawing& d = kDrawings[type];
        if (!blnFollowOn) place(d.first);
        place(d.second);
        place(d.third);

        // The canvas grows once a row passes its bottom.
        if (!aniTSY.isEmpty()) {
            const tsy::AnimationControl* lowest = aniTSY.last().data();
            if (lowest && Tw(lowest->y() + lowest->height()) > Tw(fraConnectionPanel->height())) {
                const tsy::AnimationControl* proxy = aniTSY.value(intRow).data();
                if (!proxy) Fail(340, "Control array element does not exist");
                fraConnectionPanel->resize(fraConnectionPanel->width(), Px(Tw(proxy->y()) + 1600 + 500));
                UpdateDiagramScrollBars();
            }
        }
    });
}

tsy::AnimationControl* frmMain::PlaceComputer(ControlArray<tsy::AnimationControl>& computers,
                                              ControlArray<QLabel>& captions, double left, int intRow,
                                              const QString& strCaption, const QString& strAnimationFile,
                                              const QString& strTag)
{
    auto* computer = Load(computers, intRow, new tsy::AnimationControl(fraConnectionPanel));
    if (!computer->Open(ResFile(strAnimationFile))) Fail(53, "File not found");
    const double top = double(intRow) * kRowPitch - 400;
    const double height = strAnimationFile == kErrorClip ? kErrorHeight : kComputerHeight;
    Place(computer, left, top, kComputerWidth, height);
    computer->show();
    computer->raise();
    SetTag(computer, strTag);
    if (mblnAnimateDiagram) computer->Play();

    auto* caption = Load(captions, intRow, new QLabel(fraConnectionPanel));
    caption->setTextFormat(Qt::PlainText);
    caption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    caption->setText(LabelText(strCaption));
    Place(caption, left + kComputerWidth / 2 - 1815.0 / 2, top + height + 80, 1815, 400);
    caption->show();
    SetTag(caption, strTag);
    return computer;
}

DiagramArrow* frmMain::PlaceArrow(ControlArray<DiagramArrow>& arrows, ControlArray<QLabel>& captions, double left,
                                  int intRow, const QString& strCaption, const QString& strAnimationFile,
                                  const QString& strTag, bool serverSide)
{
    auto* arrow = Load(arrows, intRow, new DiagramArrow(fraConnectionPanel, intRow, serverSide));
    const double top = double(intRow) * kRowPitch - 400;
    Place(arrow, left, top, kArrowWidth, kArrowHeight);
    if (!strAnimationFile.isEmpty()) {
        if (!arrow->Open(ResFile(strAnimationFile))) Fail(53, "File not found");
        if (mblnAnimateDiagram) arrow->Play();
    }
    arrow->show();
    SetTag(arrow, strTag);
    arrow->raise();

    QLabel* caption = Load<QLabel>(captions, intRow, new DiagramCaption(fraConnectionPanel));
    caption->setText(LabelText(strCaption));
    Place(caption, left + kArrowWidth / 2 - 2000.0 / 2, top + kArrowHeight, 2000, 800);
    caption->show();
    SetTag(caption, strTag);
    return arrow;
}

void frmMain::PlaceInternetCloud(int intRow, const QString& strPictureFile, const QString& strTag)
{
    auto* cloud = Load(pctInternet, intRow, new QLabel(fraConnectionPanel));
    const QPixmap picture(ResFile(strPictureFile));
    if (picture.isNull()) Fail(53, "File not found");
    cloud->setPixmap(picture);
    Place(cloud, kServerLeft, double(intRow) * kRowPitch - 920, kCloudWidth, kCloudHeight);
    cloud->show();
    SetTag(cloud, strTag);
    cloud->raise();
}

// ---------------------------------------------------------------------------
// Highlight, scroll bars, paging, navigation state
// ---------------------------------------------------------------------------

bool frmMain::HighlightEvent(QObject* objAnimation)
{
    try {
        shpHighlight->hide();
        auto* arrow = qobject_cast<DiagramArrow*>(objAnimation);
        const auto& arrows = arrow && arrow->mblnServerSide ? aniTSY2Server : aniClient2TSY;
        if (!arrow || arrows.value(arrow->mintRow) != arrow) Fail(91, "Object variable or With block variable not set");
        const auto event = arrow->mobjEvent.lock();
        const int position = mobjCurrentHistory ? PositionOf(*mobjCurrentHistory, event.get()) : 0;
        if (position == 0) Fail(9, "Subscript out of range");

        const QRect a = arrow->geometry();
        const double frameLeft = Tw(a.x()) - 45, frameTop = Tw(a.y()) - 15;
        const double frameWidth = Tw(a.width()) + 90, frameHeight = Tw(a.height()) + 30;
        Place(shpHighlight, frameLeft, frameTop, frameWidth, frameHeight);
        shpHighlight->show();
        shpHighlight->raise();

        // Bring the frame into view vertically: its bottom edge two thirds
        // of the way down, or its top edge a third of the way down.
        const double H = Tw(panDiagramOuter->height());
        double canvasTop = Tw(fraConnectionPanel->y());
        if (canvasTop + frameTop + frameHeight > H) canvasTop = H - frameTop - frameHeight - H / 3;
        if (canvasTop + frameTop < 0) canvasTop = H / 3 - frameTop;
        if (canvasTop > 0) canvasTop = 0;
        fraConnectionPanel->move(fraConnectionPanel->x(), Px(canvasTop));
        UpdateDiagramScrollBars();

        mintCurrentEvent = position;
        mobjHighlighted = arrow;
        UpdateNavigationState();
        return true;
    } catch (...) {
        frmError::LogError(QString::fromLatin1(kPurged));
        return false;
    }
}

bool frmMain::HighlightEventAt(int intEventIndex)
{
    QObject* arrow = nullptr;
    try {
        if (mobjCurrentHistory && General::ExistsInCollection(mobjCurrentHistory->mobjSocketPairEvents, intEventIndex)) {
            const auto event = mobjCurrentHistory->mobjSocketPairEvents.Item(intEventIndex);
            // Held but not on the canvas (it came while the event node was
            // selected, or the page shows another connection): draw its page.
            if (!event->mobjUIObject) {
                CheckForPageChange(intEventIndex);
                DisplayConnectionDiagram(mobjCurrentHistory);
            }
            arrow = event->mobjUIObject.data();
        }
    } catch (...) {
        arrow = nullptr;   // reported as purged by the highlight below
    }
    return HighlightEvent(arrow);
}

void frmMain::UnhighlightEvent()
{
    if (shpHighlight) shpHighlight->hide();
}

void frmMain::UpdateDiagramScrollBars()
{
    if (!scrConnectionPanelHoriz || !fraConnectionPanel) return;
    const double Wc = Tw(fraConnectionPanel->width()), Hc = Tw(fraConnectionPanel->height());
    const double Wv = Tw(panDiagramOuter->width()), Hv = Tw(panDiagramOuter->height());

    // One bar: range, steps, enabling and the value that matches the canvas.
    // A viewport of no size (minimised, collapsed) leaves its bar off.
    const auto update = [](QScrollBar* bar, double canvas, double view, double position, int smallChange) {
        const double max = Round((canvas - view) / 10);
        const double value = Round(-position / 10);
        if (max > 0 && view > 0) {
            bar->setEnabled(true);
            bar->setRange(0, int(max));
            bar->setSingleStep(smallChange < 0 ? int(Round(max / 18)) : smallChange);
            bar->setPageStep(int(Round(canvas / view * max / 10)));
        } else {
            bar->setEnabled(false);
            bar->setRange(0, 0);
        }
        bar->repaint();
        bar->setValue(int(std::clamp(value, 0.0, double(bar->maximum()))));
    };
    update(scrConnectionPanelHoriz, Wc, Wv, Tw(fraConnectionPanel->x()), -1);
    update(scrConnectionPanelVert, Hc, Hv, Tw(fraConnectionPanel->y()), 40);
    // The canvas always stands where the bars say, even when a value did not change.
    fraConnectionPanel->move(Px(-10.0 * scrConnectionPanelHoriz->value()), Px(-10.0 * scrConnectionPanelVert->value()));
}

bool frmMain::CheckForPageChange(int intEventIndex)
{
    if (intEventIndex < 1) return false;
    const int page = (intEventIndex - 1) / kEventsPerPage;
    if (page == mintCurrentPage) return false;
    mintCurrentPage = page;
    return true;
}

void frmMain::barNavigation_ButtonClick(int index)
{
    switch (index) {
    case 1: mintCurrentPage = 0; break;
    case 2: mintCurrentPage = std::max(0, mintCurrentPage - 1); break;
    case 3: mintCurrentPage = std::min(mintCurrentPage + 1, std::max(0, mintPageCount - 1)); break;
    case 4: mintCurrentPage = std::max(0, mintPageCount - 1); break;
    default: return;
    }
    // The buttons are only enabled while a history is shown; a redraw that
    // fails anyway leaves the old page on screen.
    try {
        DisplayConnectionDiagram(mobjCurrentHistory);
    } catch (...) {
    }
}

void frmMain::UpdateNavigationState()
{
    mblnNavigationPending = false;
    if (!barNavigation || !panDiagramOuter) return;
    const bool shown = !panDiagramOuter->isHidden();
    const bool atFirst = mintCurrentPage <= 0;
    const bool atLast = mintCurrentPage + 1 >= mintPageCount;
    const bool enable[4] = {shown && !atFirst, shown && !atFirst, shown && !atLast, shown && !atLast};
    for (int i = 0; i < 4; ++i)
        if (QAction* a = mactNavigation[i]) a->setEnabled(enable[i]);

    if (isMinimized()) return;
    QString events, page;
    try {
        const QString image = tvwSockets->Image(mnodSelectedNode);
        if (image != kImgAllActivity && image != kImgProtocol && image != kImgConnection) {
            if (!mobjCurrentHistory) Fail(91, "Object variable or With block variable not set");
            const int m = mobjCurrentHistory->mobjSocketPairEvents.Count();
            if (shpHighlight->isHidden()) {
                events = QStringLiteral("Events: ") + QString::number(m) + QStringLiteral("  ");
            } else {
                // The framed event's position now: a trim since the highlight moves it forward.
                if (mobjHighlighted) {
                    const int now = PositionOf(*mobjCurrentHistory, mobjHighlighted->mobjEvent.lock().get());
                    if (now > 0) mintCurrentEvent = now;
                }
                events = QStringLiteral("Event ") + QString::number(mintCurrentEvent) + QStringLiteral(" of ")
                    + QString::number(m) + QStringLiteral("  ");
            }
            if (mintPageCount > 0)
                page = QStringLiteral("Page ") + QString::number(mintCurrentPage + 1) + QStringLiteral(" of ")
                    + QString::number(mintPageCount) + QStringLiteral("  ");
        }
    } catch (...) {
        events.clear();
        page.clear();
    }
    lblDetails->SetPanelText(2, events);
    lblDetails->SetPanelText(3, page);
}

// ---------------------------------------------------------------------------
// Arrow clicks
// ---------------------------------------------------------------------------

void frmMain::aniClient2TSY_Click(int index) { DiagramArrowClick(aniClient2TSY.value(index).data()); }

void frmMain::aniTSY2Server_Click(int index) { DiagramArrowClick(aniTSY2Server.value(index).data()); }

void frmMain::DiagramArrowClick(DiagramArrow* clicked)
{
    const QPointer<DiagramArrow> arrow(clicked);
    try {
        if (!arrow) Fail(91, "Object variable or With block variable not set");
        tsy::KeyedTree* tree = tvwSockets;
        const QString selected = mnodSelectedNode;
        const QString key = tree->Image(selected) == kImgEvent ? tree->Tag(tree->ParentKey(selected)).toString()
                                                               : tree->Tag(selected).toString();
        Logging* logging = General::gobjLogging;
        if (!logging) Fail(91, "Object variable or With block variable not set");
        const auto eventAt = [&](const SocketPairHistory& h) {
            const int index = PositionOf(h, arrow->mobjEvent.lock().get());
            if (index == 0) Fail(9, "Subscript out of range");
            return index;
        };
        // A server-side arrow does not ask whether the history is still held:
        // one that is gone ends in the message and the all-activity view.
        if (arrow->mblnServerSide || General::ExistsInCollection(logging->mobjSocketPairHistory, key)) {
            const std::shared_ptr<SocketPairHistory> h = logging->mobjSocketPairHistory.Item(key);
            frmEventDetails::Instance()->SetDetails(h, eventAt(*h));
        }
        ShowToolWindow(frmEventDetails::Instance());
        // The details may have redrawn the page the arrow stood on: the old
        // arrows are then off the canvas, waiting to be deleted.
        if (!arrow || (arrow->mblnServerSide ? aniTSY2Server : aniClient2TSY).value(arrow->mintRow) != arrow) return;
        HighlightEvent(arrow.data());
    } catch (...) {
        frmError::LogError(QString::fromLatin1(kPurged));
        tvwSockets_NodeClick(QStringLiteral("ROOT"));
    }
}
