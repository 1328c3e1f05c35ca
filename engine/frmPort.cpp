#include "engine/frmPort.h"

#include "engine/General.h"
#include "platform/DialogButtons.h"
#include "platform/Modal.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <tuple>

namespace {

frmPort::ModalRunner& Runner()
{
    static frmPort::ModalRunner runner;
    return runner;
}

bool IsBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

// The fields of one line; a comma at the line's end opens an empty field.
void SplitLine(const QString& line, QStringList& fields)
{
    const qsizetype n = line.size();
    qsizetype i = 0;
    for (;;) {
        while (i < n && IsBlank(line[i])) ++i;
        QString value;
        if (i < n && line[i] == QLatin1Char('"')) {
            const qsizetype close = line.indexOf(QLatin1Char('"'), i + 1);
            if (close < 0) {
                // No closing quote: the rest of the line is the value.
                value = line.mid(i + 1);
                i = n;
            } else {
                value = line.mid(i + 1, close - i - 1);
                i = close + 1;
                while (i < n && line[i] != QLatin1Char(',')) ++i;
            }
        } else {
            qsizetype end = line.indexOf(QLatin1Char(','), i);
            if (end < 0) end = n;
            value = line.mid(i, end - i);
            while (!value.isEmpty() && IsBlank(value.back())) value.chop(1);
            i = end;
        }
        fields.append(value);
        if (i < n && line[i] == QLatin1Char(',')) {
            ++i;
            continue;
        }
        return;
    }
}

} // namespace

PortsFileResult ParsePortsText(const QByteArray& text)
{
    PortsFileResult result;
    QStringList fields;
    const QString all = QString::fromLatin1(text);
    for (QString line : all.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
        bool blank = true;
        for (QChar c : line)
            if (!IsBlank(c)) { blank = false; break; }
        if (blank) continue;   // empty lines hold no fields
        SplitLine(line, fields);
    }
    for (qsizetype i = 0; i + 1 < fields.size(); i += 2)
        result.rows.append({fields[i], fields[i + 1]});
    if (fields.size() % 2 != 0) {
        // The file ends inside a pair: the port has no description.
        result.errorNumber = 62;
        result.errorDescription = QStringLiteral("Input past end of file");
    }
    return result;
}

PortsFileResult ReadPortsFile(const QString& path)
{
    QFile f(path);
    if (!f.exists()) {
        PortsFileResult r;
        r.errorNumber = 53;
        r.errorDescription = QStringLiteral("File not found");
        return r;
    }
    if (!f.open(QIODevice::ReadOnly)) {
        PortsFileResult r;
        r.errorNumber = 75;
        r.errorDescription = QStringLiteral("Path/File access error");
        return r;
    }
    // A port list is small; a huge file is not one, so read a bounded amount.
    constexpr qint64 kMaxBytes = 4 * 1024 * 1024;
    const QByteArray data = f.read(kMaxBytes);
    f.close();
    return ParsePortsText(data);
}

// ---------------------------------------------------------------------------

void frmPort::SetModalRunner(ModalRunner runner) { Runner() = std::move(runner); }

QString frmPort::PortsFilePath()
{
    return QDir::toNativeSeparators(QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("PORTS.TXT")));
}

frmPort::frmPort() : SingleInstance("frmPort")
{
    setWindowTitle(QStringLiteral("Port Selection"));
    setModal(true);

    Label1 = new QLabel(QStringLiteral("Select a &well-known port:"), this);
    lstDetails = new QTreeWidget(this);
    lstDetails->setColumnCount(2);
    lstDetails->setHeaderLabels({QStringLiteral("Port Number"), QStringLiteral("Description")});
    lstDetails->setRootIsDecorated(false);
    lstDetails->setUniformRowHeights(true);
    lstDetails->setSelectionMode(QAbstractItemView::SingleSelection);
    lstDetails->header()->setSectionsClickable(true);
    lstDetails->header()->setSortIndicatorShown(true);
    lstDetails->header()->setSortIndicator(0, Qt::AscendingOrder);
    Label1->setBuddy(lstDetails);

    Label2 = new QLabel(QStringLiteral(" Other "), this);
    Line1 = new QFrame(this);
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);
    Label3 = new QLabel(QStringLiteral("&Port:"), this);
    txtPort = new QLineEdit(this);
    Label3->setBuddy(txtPort);
    Label4 = new QLabel(QStringLiteral("&Description:"), this);
    txtDescription = new QLineEdit(this);
    Label4->setBuddy(txtDescription);
    std::tie(cmdOK, cmdCancel) = tsy::OkCancelButtons(this);

    connect(lstDetails, &QTreeWidget::itemClicked, this, [this] { lstDetails_Click(); });
    connect(lstDetails, &QTreeWidget::itemDoubleClicked, this, [this] { lstDetails_DblClick(); });
    connect(lstDetails->header(), &QHeaderView::sectionClicked, this, &frmPort::lstDetails_ColumnClick);
    connect(cmdOK, &QPushButton::clicked, this, &frmPort::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmPort::cmdCancel_Click);

    setMinimumSize(tsy::Runtime::TwipsToPixels(4000), tsy::Runtime::TwipsToPixels(3000));
    resize(tsy::Runtime::TwipsToPixels(6100), tsy::Runtime::TwipsToPixels(5600));   // both columns without scrolling
    Tag = QStringLiteral("CANCEL");
}

frmPort::~frmPort() = default;

void frmPort::Form_Load()
{
    // Let pending work run once before the file is read.
    tsy::Runtime::DoEvents();

    // At least wide enough for the caption and its sort mark.
    const QFontMetrics header = lstDetails->header()->fontMetrics();
    lstDetails->setColumnWidth(0, std::max(tsy::Runtime::TwipsToPixels(1000),
                                           header.horizontalAdvance(QStringLiteral("Port Number")) + 32));
    lstDetails->setColumnWidth(1, tsy::Runtime::TwipsToPixels(3600));

    const QString path = PortsFilePath();
    const PortsFileResult r = ReadPortsFile(path);
    for (const PortsFileEntry& e : r.rows) {
        auto* item = new QTreeWidgetItem(lstDetails);
        item->setText(0, e.port);
        item->setText(1, e.description);
    }
    if (r.errorNumber != 0) {
        tsy::Modal::MsgBox(this,
                           QStringLiteral("An error occurred while attempting to retrieve the port information from the file located at ")
                               + path + QStringLiteral(". The operating system reports: ")
                               + QString::number(r.errorNumber) + QStringLiteral(", ") + r.errorDescription,
                           tsy::Modal::Icon::Warning, tsy::Modal::Buttons::Ok, QStringLiteral("Tessaly"));
    }
}

void frmPort::ShowModal(QWidget* owner)
{
    Tag = QStringLiteral("CANCEL");
    if (owner != parentWidget()) setParent(owner, windowFlags() | Qt::Dialog);
    setModal(true);
    General::ApplyKeepOnTop(this);
    if (Runner())
        Runner()(this);
    else
        exec();
    // Stay loaded between uses even when the owner is unloaded.
    if (parentWidget()) setParent(nullptr, windowFlags() | Qt::Dialog);
}

void frmPort::resizeEvent(QResizeEvent* e)
{
    QDialog::resizeEvent(e);
    Form_Resize();
}

void frmPort::Form_Resize()
{
    if (isMinimized()) return;
    const int W = std::max(width(), tsy::Runtime::TwipsToPixels(4000));
    const int H = std::max(height(), tsy::Runtime::TwipsToPixels(3000));
    auto px = [](int twips) { return tsy::Runtime::TwipsToPixels(twips); };

    Label1->setGeometry(px(120), px(100), W - px(360), px(240));
    lstDetails->setGeometry(px(120), px(360), W - px(360), std::max(px(300), H - px(360) - px(2100)));

    // The "Other" group sits between the list and the buttons.
    const int top = lstDetails->geometry().bottom() + px(120);
    Label2->setGeometry(px(120), top, px(600), px(240));
    Line1->setGeometry(px(720), top + px(120) - 1, W - px(960), 2);
    Label3->setGeometry(px(120), top + px(360), px(1000), px(285));
    txtPort->setGeometry(px(1200), top + px(360), px(1000), px(285));
    Label4->setGeometry(px(120), top + px(760), px(1000), px(285));
    txtDescription->setGeometry(px(1200), top + px(760), W - px(1440), px(285));

    const int bh = px(375), bw = px(1100);
    const int cancelLeft = W - bw - px(200);
    cmdCancel->setGeometry(cancelLeft, H - bh - px(450) + px(330), bw, bh);
    cmdOK->setGeometry(cancelLeft - bw - px(120), H - bh - px(450) + px(330), bw, bh);
}

void frmPort::lstDetails_Click()
{
    QTreeWidgetItem* item = lstDetails->currentItem();
    if (!item || !item->isSelected()) return;
    txtPort->setText(item->text(0));
    txtDescription->setText(item->text(1));
}

void frmPort::lstDetails_DblClick()
{
    cmdOK_Click();
}

void frmPort::lstDetails_ColumnClick(int column)
{
    if (column == mintSortColumn) {
        mblnSortDescending = !mblnSortDescending;
    } else {
        mintSortColumn = column;
        mblnSortDescending = false;
    }
    // Ordered as text: port "110" comes before "21".
    const Qt::SortOrder order = mblnSortDescending ? Qt::DescendingOrder : Qt::AscendingOrder;
    lstDetails->sortItems(mintSortColumn, order);
    lstDetails->header()->setSortIndicator(mintSortColumn, order);
}

void frmPort::cmdOK_Click()
{
    Tag = QString();
    if (txtPort->text().isEmpty()) {
        // An OK without a port is a cancel.
        Tag = QStringLiteral("CANCEL");
        done(QDialog::Rejected);
        return;
    }
    // Only a whole port from 1 to 65535 (after rounding) can be listened on;
    // 0 would let the system pick any port.
    const auto port = tsy::Numbers::WholeInRange(txtPort->text(), 1, 65535);
    if (!port) {
        txtPort->setFocus();
        tsy::Modal::MsgBox(this, QStringLiteral("The port number must be numeric and less than 65536."),
                           tsy::Modal::Icon::Warning, tsy::Modal::Buttons::Ok, QStringLiteral("Tessaly"));
        return;
    }
    mintPort = int(*port);
    mstrDescription = txtDescription->text();
    done(QDialog::Accepted);
}

void frmPort::cmdCancel_Click()
{
    Tag = QStringLiteral("CANCEL");
    done(QDialog::Rejected);
}

void frmPort::reject()
{
    cmdCancel_Click();
}

void frmPort::closeEvent(QCloseEvent* e)
{
    // The window frame's close hides the dialog as Cancel does; it stays loaded.
    Tag = QStringLiteral("CANCEL");
    e->ignore();
    done(QDialog::Rejected);
}
