// The real-time pane's settings window. Nothing is applied on OK: the
// recorder and the pane writer read these controls as they work, so OK only
// stores them and Cancel reads the store back.
#include "export/frmRealTimeData.h"

#include "mainwindow/frmMain.h"
#include "platform/DialogButtons.h"
#include "platform/FormatLibrary.h"
#include "platform/LoadedWindows.h"
#include "platform/Modal.h"
#include "platform/Numbers.h"
#include "platform/Settings.h"
#include "platform/UpDown.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace {

const QString kRealTime = QStringLiteral("RealTime");
const QString kOptions = QStringLiteral("Options");

// Colour keys and their defaults (0x00BBGGRR): blue, light blue, red, light red.
constexpr const char* kColourKeys[4] = {"Color1", "Color2", "Color3", "Color4"};
constexpr int kColourDefaults[4] = {0xFF0000, 0xFFA4A4, 0x0000FF, 0x9797FF};

QColor ToQColor(int v) { return QColor(v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF); }
int FromQColor(const QColor& c) { return c.red() | (c.green() << 8) | (c.blue() << 16); }

QLabel* Caption(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A framed name in the small pictures of client, proxy and server.
QLabel* Box(const QString& text, QWidget* parent)
{
    QLabel* label = Caption(text, parent);
    label->setFrameShape(QFrame::Box);
    label->setAlignment(Qt::AlignCenter);
    label->setMinimumSize(90, 40);
    return label;
}

QCheckBox* Check(const QString& text, const char* name, QWidget* parent)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

// The arrows step the box's own number, so box and arrows never disagree.
tsy::UpDown* UpDownFor(QLineEdit* box, int lo, int hi, int step, QWidget* parent)
{
    auto* upDown = new tsy::UpDown(parent);
    upDown->SetBuddy(box);
    upDown->SetRange(lo, hi);
    upDown->SetIncrement(step);
    return upDown;
}

bool StoredTick(const QString& section, const QString& key, const QString& def)
{
    const auto whole = tsy::Numbers::WholeInRange(tsy::Settings::GetSetting(section, key, def), -32768, 32767);
    return whole && *whole == 1;
}

} // namespace

// ---- loading and unloading --------------------------------------------------------

frmRealTimeData::frmRealTimeData() : SingleWindow("frmRealTimeData", Qt::Dialog)
{
    setWindowTitle(QStringLiteral("Real Time Data"));
    BuildControls();
}

void frmRealTimeData::keyPressEvent(QKeyEvent* event)
{
    // A focused button is the one Enter presses; elsewhere it is OK.
    auto* focused = qobject_cast<QPushButton*>(focusWidget());
    if (!tsy::PressForKey(event, focused ? focused : cmdOK)) QWidget::keyPressEvent(event);
}

void frmRealTimeData::BuildControls()
{
    auto* outer = new QVBoxLayout(this);
    tabOptions = new QTabWidget(this);
    tabOptions->setObjectName(QStringLiteral("tabOptions"));
    outer->addWidget(tabOptions);

    // "Display": the switch, then the four directions around a small picture.
    auto* display = new QWidget(tabOptions);
    auto* ld = new QVBoxLayout(display);
    ld->addWidget(Caption(QStringLiteral("Select the real time data to display:"), display));
    chkShowRealTimeData = Check(QStringLiteral("Show the real time data window"), "chkShowRealTimeData", display);
    ld->addWidget(chkShowRealTimeData);
    chkClientToTSY = Check(QStringLiteral("Client To TSY"), "chkClientToTSY", display);
    chkTSYToClient = Check(QStringLiteral("TSY To Client"), "chkTSYToClient", display);
    chkTSYToServer = Check(QStringLiteral("TSY To Server"), "chkTSYToServer", display);
    chkServerToTSY = Check(QStringLiteral("Server To TSY"), "chkServerToTSY", display);
    auto* picture = new QGridLayout;
    picture->addWidget(Box(QStringLiteral("Client"), display), 0, 0, 2, 1);
    picture->addWidget(chkClientToTSY, 0, 1);
    picture->addWidget(chkTSYToClient, 1, 1);
    picture->addWidget(Box(QStringLiteral("Tessaly"), display), 0, 2, 2, 1);
    picture->addWidget(chkTSYToServer, 0, 3);
    picture->addWidget(chkServerToTSY, 1, 3);
    picture->addWidget(Box(QStringLiteral("Server"), display), 0, 4, 2, 1);
    ld->addLayout(picture);
    chkIncludeBufferedData = Check(QStringLiteral("Display data placed in send buffer"), "chkIncludeBufferedData", display);
    ld->addWidget(chkIncludeBufferedData);
    ld->addStretch(1);
    tabOptions->addTab(display, QStringLiteral("Display"));

    // "Colors": a swatch and a "..." button per direction.
    auto* colours = new QWidget(tabOptions);
    auto* lc = new QVBoxLayout(colours);
    lc->addWidget(Caption(QStringLiteral("Select the colours used to display the real-time data:"), colours));
    auto* ends = new QHBoxLayout;
    ends->addWidget(Box(QStringLiteral("Remote Client"), colours));
    ends->addStretch(1);
    ends->addWidget(Box(QStringLiteral("Tessaly"), colours));
    ends->addStretch(1);
    ends->addWidget(Box(QStringLiteral("Remote Server"), colours));
    lc->addLayout(ends);
    auto* swatches = new QGridLayout;
    static const char* const kDirections[4] = {"Client To TSY", "TSY To Server", "TSY to Client", "Server To TSY"};
    for (int i = 0; i < 4; ++i) {
        lblColor[i] = new QLabel(colours);
        lblColor[i]->setObjectName(QStringLiteral("lblColor_") + QString::number(i));
        lblColor[i]->setAutoFillBackground(true);
        lblColor[i]->setFrameShape(QFrame::Box);
        lblColor[i]->setFixedSize(40, 18);
        cmdColor[i] = new QPushButton(QStringLiteral("..."), colours);
        cmdColor[i]->setObjectName(QStringLiteral("cmdColor_") + QString::number(i));
        cmdColor[i]->setFixedWidth(30);
        connect(cmdColor[i], &QPushButton::clicked, this, [this, i] { cmdColor_Click(i); });
        const int row = i, col = 0;
        swatches->addWidget(Caption(QString::fromLatin1(kDirections[i]), colours), row, col);
        swatches->addWidget(lblColor[i], row, col + 1);
        swatches->addWidget(cmdColor[i], row, col + 2);
        SetColourValue(i, kColourDefaults[i]);
    }
    swatches->setColumnStretch(3, 1);
    lc->addLayout(swatches);
    lc->addStretch(1);
    tabOptions->addTab(colours, QStringLiteral("Colors"));

    // "Format": how a block is written, and which blocks reach the pane.
    auto* format = new QWidget(tabOptions);
    auto* lf = new QVBoxLayout(format);
    auto* fraFormat = new QGroupBox(QStringLiteral("Real time data format"), format);
    auto* lff = new QGridLayout(fraFormat);
    optDisplayAs.group = new QButtonGroup(this);
    const QStringList formats = {QStringLiteral("AscII"), QStringLiteral("Hex"), QStringLiteral("Octal"),
                                 QStringLiteral("Decimal"), QStringLiteral("Binary")};
    for (int i = 0; i < formats.size(); ++i) {
        auto* option = new QRadioButton(formats[i], fraFormat);
        option->setObjectName(QStringLiteral("optDisplayAs_") + QString::number(i));
        optDisplayAs.group->addButton(option, i);
        optDisplayAs.members.append(option);
        lff->addWidget(option, i, 0);
    }
    chkIncludeDateTimeStamp = Check(QStringLiteral("Include Date/Time Stamp"), "chkIncludeDateTimeStamp", fraFormat);
    chkIncludeDataDirection =
        Check(QStringLiteral("Include data direction description"), "chkIncludeDataDirection", fraFormat);
    chkIncludeDescription = Check(QStringLiteral("Include description"), "chkIncludeDescription", fraFormat);
    chkColourCode = Check(QStringLiteral("Color code data direction"), "chkColourCode", fraFormat);
    lff->addWidget(chkIncludeDateTimeStamp, 0, 1);
    lff->addWidget(chkIncludeDataDirection, 1, 1);
    lff->addWidget(chkIncludeDescription, 2, 1);
    lff->addWidget(chkColourCode, 3, 1);
    txtBytesPerRow = new QLineEdit(QStringLiteral("16"), fraFormat);
    txtBytesPerRow->setObjectName(QStringLiteral("txtBytesPerRow"));
    txtBytesPerRow->setMaximumWidth(50);
    upBytesPerRow = UpDownFor(txtBytesPerRow, 4, 128, 4, fraFormat);
    upBytesPerRow->setObjectName(QStringLiteral("upBytesPerRow"));
    auto* perRow = new QHBoxLayout;
    perRow->addWidget(Caption(QStringLiteral("Show"), fraFormat));
    perRow->addWidget(txtBytesPerRow);
    perRow->addWidget(upBytesPerRow);
    perRow->addWidget(Caption(QStringLiteral("bytes per row"), fraFormat));
    perRow->addStretch(1);
    lff->addLayout(perRow, 4, 1);
    lf->addWidget(fraFormat);

    auto* fraSelection = new QGroupBox(QStringLiteral("Data Selection"), format);
    auto* lfs = new QVBoxLayout(fraSelection);
    optRealTimeDisplay.group = new QButtonGroup(this);
    const QStringList scopes = {QStringLiteral("Show all real-time data"),
                                QStringLiteral("Show real-time data for the selected branch of the Connection Tree")};
    for (int i = 0; i < scopes.size(); ++i) {
        auto* option = new QRadioButton(scopes[i], fraSelection);
        option->setObjectName(QStringLiteral("optRealTimeDisplay_") + QString::number(i));
        optRealTimeDisplay.group->addButton(option, i);
        optRealTimeDisplay.members.append(option);
        lfs->addWidget(option);
    }
    txtRealTimeDataSize = new QLineEdit(fraSelection);
    txtRealTimeDataSize->setObjectName(QStringLiteral("txtRealTimeDataSize"));
    txtRealTimeDataSize->setMaximumWidth(60);
    UpDown1 = UpDownFor(txtRealTimeDataSize, 10, 1000, 10, fraSelection);
    UpDown1->setObjectName(QStringLiteral("UpDown1"));
    auto* size = new QHBoxLayout;
    QLabel* lblSize = Caption(QStringLiteral("&Clear real time data window when contents exceeds"), fraSelection);
    lblSize->setBuddy(txtRealTimeDataSize);   // makes the ampersand the mnemonic
    size->addWidget(lblSize);
    size->addWidget(txtRealTimeDataSize);
    size->addWidget(UpDown1);
    size->addWidget(Caption(QStringLiteral("Kbytes"), fraSelection));
    size->addStretch(1);
    lfs->addLayout(size);
    lf->addWidget(fraSelection);
    lf->addStretch(1);
    tabOptions->addTab(format, QStringLiteral("Format"));

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    outer->addLayout(buttons);

    connect(cmdOK, &QPushButton::clicked, this, &frmRealTimeData::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmRealTimeData::cmdCancel_Click);
    connect(chkShowRealTimeData, &QCheckBox::toggled, this, [this] { chkShowRealTimeData_Click(); });
    connect(txtBytesPerRow, &QLineEdit::textChanged, this, [this] { txtBytesPerRow_Change(); });
}

void frmRealTimeData::Form_Load()
{
    tabOptions->setCurrentIndex(0);
    LoadRealTimeDataSettings();
}

void frmRealTimeData::LoadRealTimeDataSettings()
{
    using tsy::Settings::GetSetting;
    chkShowRealTimeData->setChecked(StoredTick(kRealTime, QStringLiteral("ShowRealTimeData"), QStringLiteral("1")));
    chkClientToTSY->setChecked(StoredTick(kRealTime, QStringLiteral("ClientToTSY"), QStringLiteral("1")));
    chkTSYToClient->setChecked(StoredTick(kRealTime, QStringLiteral("TSYToClient"), QStringLiteral("1")));
    chkServerToTSY->setChecked(StoredTick(kRealTime, QStringLiteral("ServerToTSY"), QStringLiteral("0")));
    chkTSYToServer->setChecked(StoredTick(kRealTime, QStringLiteral("TSYToServer"), QStringLiteral("0")));
    // A format index the window does not have means the default, Hex.
    const auto displayAs = tsy::Numbers::WholeInRange(GetSetting(kRealTime, QStringLiteral("DisplayAs"), QStringLiteral("1")), 0, 4);
    optDisplayAs.SetValue(displayAs ? int(*displayAs) : 1, true);
    chkIncludeDateTimeStamp->setChecked(StoredTick(kRealTime, QStringLiteral("IncludeDateTimeStamp"), QStringLiteral("1")));
    chkIncludeDataDirection->setChecked(StoredTick(kRealTime, QStringLiteral("IncludeDataDirection"), QStringLiteral("1")));
    chkIncludeDescription->setChecked(StoredTick(kRealTime, QStringLiteral("IncludeDescription"), QStringLiteral("1")));
    chkColourCode->setChecked(StoredTick(kRealTime, QStringLiteral("ColourCode"), QStringLiteral("1")));
    txtBytesPerRow->setText(GetSetting(kRealTime, QStringLiteral("BytesPerRow"), QStringLiteral("16")));
    chkIncludeBufferedData->setChecked(StoredTick(kRealTime, QStringLiteral("IncludeBufferedData"), QStringLiteral("0")));
    for (int i = 0; i < 4; ++i) {
        // A stored colour that is not a colour value means that colour's default.
        const auto v = tsy::Numbers::WholeInRange(
            GetSetting(kOptions, QString::fromLatin1(kColourKeys[i]), QString::number(kColourDefaults[i])), 0, 0xFFFFFF);
        SetColourValue(i, v ? int(*v) : kColourDefaults[i]);
    }
    txtRealTimeDataSize->setText(GetSetting(kOptions, QStringLiteral("RealTimeDataSize"), QStringLiteral("50")));
    // "True"/"False" as stored; other text, or a number other than 0, means all connections.
    const QString all = GetSetting(kOptions, QStringLiteral("RealTimeDataSelection"), QStringLiteral("True")).trimmed();
    const bool allConnections = !(all.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0
                                  || (tsy::Numbers::IsNumeric(all) && tsy::Numbers::ParseNumeric(all).value_or(1) == 0));
    optRealTimeDisplay.SetValue(0, allConnections);
    optRealTimeDisplay.SetValue(1, !allConnections);
}

void frmRealTimeData::SaveRealTimeDataSettings()
{
    using tsy::Settings::SaveSetting;
    const auto tick = [](const QCheckBox* box) { return QString::number(Value(box)); };
    SaveSetting(kRealTime, QStringLiteral("ShowRealTimeData"), tick(chkShowRealTimeData));
    SaveSetting(kRealTime, QStringLiteral("ClientToTSY"), tick(chkClientToTSY));
    SaveSetting(kRealTime, QStringLiteral("TSYToClient"), tick(chkTSYToClient));
    SaveSetting(kRealTime, QStringLiteral("ServerToTSY"), tick(chkServerToTSY));
    SaveSetting(kRealTime, QStringLiteral("TSYToServer"), tick(chkTSYToServer));
    SaveSetting(kRealTime, QStringLiteral("DisplayAs"), QString::number(std::max(0, optDisplayAs.Chosen())));
    SaveSetting(kRealTime, QStringLiteral("IncludeDateTimeStamp"), tick(chkIncludeDateTimeStamp));
    SaveSetting(kRealTime, QStringLiteral("IncludeDataDirection"), tick(chkIncludeDataDirection));
    SaveSetting(kRealTime, QStringLiteral("IncludeDescription"), tick(chkIncludeDescription));
    SaveSetting(kRealTime, QStringLiteral("ColourCode"), tick(chkColourCode));
    SaveSetting(kRealTime, QStringLiteral("BytesPerRow"), txtBytesPerRow->text());
    SaveSetting(kRealTime, QStringLiteral("IncludeBufferedData"), tick(chkIncludeBufferedData));
    for (int i = 0; i < 4; ++i)
        SaveSetting(kOptions, QString::fromLatin1(kColourKeys[i]), QString::number(ColourValue(i)));
    SaveSetting(kOptions, QStringLiteral("RealTimeDataSize"), txtRealTimeDataSize->text());
    SaveSetting(kOptions, QStringLiteral("RealTimeDataSelection"),
                optRealTimeDisplay.Value(0) ? QStringLiteral("True") : QStringLiteral("False"));
}

// ---- controls -----------------------------------------------------------------------

int frmRealTimeData::Value(const QCheckBox* box) { return box && box->isChecked() ? 1 : 0; }

qint64 frmRealTimeData::PaneLimit() const
{
    constexpr qint64 kDefaultKBytes = 50;
    // Without a number the pane would grow without end, and with 0 it would
    // show no data at all: the default holds until the box makes sense.
    const auto kbytes = tsy::Numbers::ParseNumeric(txtRealTimeDataSize->text());
    if (!kbytes || !(*kbytes * 1024.0 >= 1.0)) return kDefaultKBytes * 1024;
    return qint64(std::min(*kbytes * 1024.0, 1e15));
}

bool frmRealTimeData::AddToPane(qint64& paneLength, qint64 limit, qint64 shown, const QString& preamble)
{
    const bool emptied = limit < paneLength + shown;
    if (emptied) paneLength = 0;
    paneLength += (preamble.isEmpty() ? 0 : 2 + preamble.size()) + std::min(shown, limit);
    return emptied;
}

qint64 frmRealTimeData::ShownLength(qint64 bytes) const
{
    if (optDisplayAs.Value(0)) return bytes;
    const auto perRow = tsy::Numbers::WholeInRange(txtBytesPerRow->text(), 1, 128);
    if (!perRow) return bytes;
    return tsy::FormatLibrary::FormattedLength(bytes, char(GetPrintFFormat().toInt()), int(*perRow));
}

QString frmRealTimeData::GetPrintFFormat() const
{
    if (optDisplayAs.Value(1)) return QStringLiteral("104");
    if (optDisplayAs.Value(2)) return QStringLiteral("111");
    if (optDisplayAs.Value(3)) return QStringLiteral("100");
    if (optDisplayAs.Value(4)) return QStringLiteral("98");
    return QString();
}

int frmRealTimeData::ColourValue(int index) const
{
    if (index < 0 || index > 3) return 0;
    return FromQColor(lblColor[index]->palette().color(QPalette::Window));
}

void frmRealTimeData::SetColourValue(int index, int value)
{
    if (index < 0 || index > 3) return;
    QPalette palette = lblColor[index]->palette();
    palette.setColor(QPalette::Window, ToQColor(value));
    lblColor[index]->setPalette(palette);
}

void frmRealTimeData::chkShowRealTimeData_Click()
{
    // Only a main window that exists is laid out: the recorder reads this box
    // on every event, and that must never create the main window.
    if (frmMain::IsLoaded()) frmMain::Instance()->ResizeForm();
}

void frmRealTimeData::txtBytesPerRow_Change()
{
    if (mblnApplyingRule) return;
    const QString ruled = tsy::Numbers::BytesPerRowRule(txtBytesPerRow->text());
    if (ruled == txtBytesPerRow->text()) return;
    mblnApplyingRule = true;
    txtBytesPerRow->setText(ruled);
    mblnApplyingRule = false;
}

void frmRealTimeData::cmdColor_Click(int index)
{
    QColor chosen;
    // The dialog starts from the colour chosen in it last, not from the swatch.
    if (!tsy::Modal::ChooseColour(this, mclrLastChosen, &chosen)) return;
    mclrLastChosen = chosen;
    SetColourValue(index, FromQColor(chosen));
}

void frmRealTimeData::cmdOK_Click()
{
    hide();
    SaveRealTimeDataSettings();
}

void frmRealTimeData::cmdCancel_Click()
{
    LoadRealTimeDataSettings();
    hide();
}
