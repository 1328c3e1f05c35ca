#include "engine/frmConfigure.h"

#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmError.h"
#include "engine/frmPort.h"
#include "mainwindow/frmMain.h"
#include "platform/KeyedTree.h"
#include "platform/Modal.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolHandler.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString kProtocols = QStringLiteral("Protocols");
const QString kPortsInUse = QStringLiteral("PortsInUse");
constexpr int KeyRole = Qt::UserRole;

QString DontUse() { return QString::fromLatin1(frmConfigure::kDontUse); }
QString FtpData() { return QString::fromLatin1(frmConfigure::kFtpData); }
QString RowKey(int port) { return QStringLiteral("KEY") + QString::number(port); }

// The view moves the current item on a press beside an item's check box but
// not on the box itself, whose press it keeps for the mark's flip; the choice
// reads the current item, so a press on the box makes its item current first.
class CheckBoxPress : public QObject {
public:
    explicit CheckBoxPress(QListWidget* list) : QObject(list), mList(list) { list->viewport()->installEventFilter(this); }

    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() != QEvent::MouseButtonPress && e->type() != QEvent::MouseButtonDblClick) return false;
        const auto* mouse = static_cast<QMouseEvent*>(e);
        QListWidgetItem* item = mouse->button() == Qt::LeftButton ? mList->itemAt(mouse->position().toPoint()) : nullptr;
        if (item && item != mList->currentItem() && (item->flags() & Qt::ItemIsEnabled)) mList->setCurrentItem(item);
        return false;
    }

private:
    QListWidget* mList;
};

} // namespace

frmConfigure* frmConfigure::ShowPort(int lngPort)
{
    frmConfigure* w = Instance();
    // A port without a row (an FTP data port) leaves the selection as it is.
    w->SelectPortRow(lngPort);
    w->lvwPort_Click();
    return w;
}

void frmConfigure::StopListening(int lngPort)
{
    tsy::Settings::SaveSetting(kProtocols, QString::number(lngPort), DontUse());
    if (General::gobjListening) General::gobjListening->CheckListeningStatus(lngPort);
    // An open window shows the change at once.
    if (frmConfigure* w = Loaded(); w && w->SelectedPort() == lngPort) w->lvwPort_Click();
}

frmConfigure::frmConfigure() : SingleWindow("frmConfigure")
{
    setWindowTitle(QStringLiteral("Configure Tessaly"));
    setModal(false);

    Frame1 = new QGroupBox(QStringLiteral("Proxy Ports"), this);
    lblPort = new QLabel(QStringLiteral("&Ports to listen on:"), Frame1);
    lvwPort = new QTreeWidget(Frame1);
    lvwPort->setColumnCount(2);
    lvwPort->setHeaderLabels({QStringLiteral("Port"), QStringLiteral("Description")});
    lvwPort->setRootIsDecorated(false);
    lvwPort->setUniformRowHeights(true);
    lvwPort->setSelectionMode(QAbstractItemView::SingleSelection);
    lvwPort->setColumnWidth(0, 70);
    lvwPort->setMinimumWidth(300);
    lblPort->setBuddy(lvwPort);

    lblProtocol = new QLabel(QStringLiteral("Protocol assigned to &selected port:"), Frame1);
    lstProtocol = new QListWidget(Frame1);
    lstProtocol->setSelectionMode(QAbstractItemView::SingleSelection);
    lblProtocol->setBuddy(lstProtocol);

    cmdPortAdd = new QPushButton(QStringLiteral("&Add..."), Frame1);
    cmdDeletePort = new QPushButton(QStringLiteral("&Delete"), Frame1);
    cmdStartListening = new QPushButton(QStringLiteral("S&tart Listening"), Frame1);
    cmdStartListening->hide();
    cmdConfigure = new QPushButton(QStringLiteral("Confi&gure..."), Frame1);
    chkShowAtStartUp = new QCheckBox(QStringLiteral("Sho&w this screen at startup."), this);
    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setDefault(true);
    // A button with the focus takes Enter itself; elsewhere Enter presses Close.
    for (QPushButton* b : {cmdPortAdd, cmdDeletePort, cmdStartListening, cmdConfigure}) b->setAutoDefault(true);

    auto* grid = new QGridLayout(Frame1);
    grid->addWidget(lblPort, 0, 0);
    grid->addWidget(lvwPort, 1, 0, 1, 1);
    auto* right = new QVBoxLayout();
    right->addWidget(lblProtocol);
    right->addWidget(lstProtocol);
    grid->addLayout(right, 1, 1);
    grid->addWidget(lblProtocol, 0, 1);
    right->removeWidget(lblProtocol);
    auto* buttons = new QHBoxLayout();
    buttons->addWidget(cmdPortAdd);
    buttons->addWidget(cmdDeletePort);
    buttons->addStretch(1);
    buttons->addWidget(cmdStartListening);
    buttons->addWidget(cmdConfigure);
    grid->addLayout(buttons, 2, 0, 1, 2);
    grid->setColumnStretch(0, 3);
    grid->setColumnStretch(1, 2);

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(Frame1, 1);
    auto* bottom = new QHBoxLayout();
    bottom->addWidget(chkShowAtStartUp);
    bottom->addStretch(1);
    bottom->addWidget(cmdClose);
    outer->addLayout(bottom);
    resize(620, 380);

    connect(lvwPort, &QTreeWidget::currentItemChanged, this, [this] { lvwPort_Click(); });
    connect(lstProtocol, &QListWidget::currentRowChanged, this, [this] { lstProtocol_Click(); });
    connect(lstProtocol, &QListWidget::itemChanged, this, &frmConfigure::lstProtocol_ItemCheck);
    new CheckBoxPress(lstProtocol);
    connect(cmdPortAdd, &QPushButton::clicked, this, &frmConfigure::cmdPortAdd_Click);
    connect(cmdDeletePort, &QPushButton::clicked, this, &frmConfigure::cmdDeletePort_Click);
    connect(cmdStartListening, &QPushButton::clicked, this, &frmConfigure::cmdStartListening_Click);
    connect(cmdConfigure, &QPushButton::clicked, this, &frmConfigure::cmdConfigure_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmConfigure::cmdClose_Click);
}

frmConfigure::~frmConfigure() = default;

void frmConfigure::Form_Load()
{
    LoadAllDetails();
}

void frmConfigure::LoadAllDetails()
{
    EnablePortControls();

    // Check marks and rows set here must not reach the storing handlers.
    const QSignalBlocker blockList(lstProtocol);
    const QSignalBlocker blockRows(lvwPort);
    lstProtocol->clear();
    lvwPort->clear();

    auto addProtocol = [this](const QString& name) {
        auto* item = new QListWidgetItem(name, lstProtocol);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    };
    addProtocol(DontUse());
    IsLoading = true;
    for (const auto& handler : General::gcolProtocols)
        if (handler) addProtocol(handler->GetProtocolName());

    for (const auto& [port, description] : tsy::Settings::GetAllSettings(kPortsInUse)) {
        if (description.contains(FtpData())) continue;
        auto* row = new QTreeWidgetItem(lvwPort);
        row->setText(0, port);
        row->setText(1, description);
        row->setData(0, KeyRole, QStringLiteral("KEY") + port);
    }
    if (lvwPort->topLevelItemCount() > 0) lvwPort->setCurrentItem(lvwPort->topLevelItem(0));

    bool ok = false;
    const int show = tsy::Settings::GetSetting(QStringLiteral("Options"), QStringLiteral("ShowConfigAtStartUp"),
                                               QStringLiteral("1")).trimmed().toInt(&ok);
    chkShowAtStartUp->setChecked(ok ? show != 0 : true);

    EnablePortControls();
    lvwPort_Click();
    IsLoading = false;
}

void frmConfigure::EnablePortControls()
{
    const bool rows = lvwPort->topLevelItemCount() > 0;
    lstProtocol->setEnabled(rows);
    lblProtocol->setEnabled(rows);
    cmdConfigure->setEnabled(rows);
    cmdDeletePort->setEnabled(rows);
}

void frmConfigure::UpdateConfigureCaption()
{
    if (lvwPort->topLevelItemCount() == 0) return;
    QListWidgetItem* current = lstProtocol->currentItem();
    cmdConfigure->setText(QStringLiteral("Configure ") + (current ? current->text() : QString())
                          + QStringLiteral(" for port ") + QString::number(SelectedPort()) + QStringLiteral("..."));
}

QTreeWidgetItem* frmConfigure::RowByKey(const QString& key) const
{
    for (int i = 0; i < lvwPort->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lvwPort->topLevelItem(i);
        if (row->data(0, KeyRole).toString() == key) return row;
    }
    return nullptr;
}

bool frmConfigure::SelectPortRow(int lngPort)
{
    QTreeWidgetItem* row = RowByKey(RowKey(lngPort));
    if (!row) return false;
    const QSignalBlocker block(lvwPort);
    lvwPort->setCurrentItem(row);
    row->setSelected(true);
    return true;
}

int frmConfigure::SelectedPort() const
{
    QTreeWidgetItem* row = lvwPort->currentItem();
    return row ? row->text(0).toInt() : 0;
}

QString frmConfigure::CheckedProtocol() const
{
    for (int i = 0; i < lstProtocol->count(); ++i)
        if (lstProtocol->item(i)->checkState() == Qt::Checked) return lstProtocol->item(i)->text();
    return QString();
}

bool frmConfigure::PortIsListening(int lngPort) const
{
    Listening* listening = General::gobjListening;
    if (!listening) return false;
    const QString key = RowKey(lngPort);
    if (!General::ExistsInCollection(listening->mcolListeningSocket, key)) return false;
    const QPointer<tsy::Winsock> socket = listening->mcolListeningSocket.Item(key);
    return socket && socket->State() == tsy::Winsock::sckListening;
}

void frmConfigure::lvwPort_Click()
{
    try {
        cmdStartListening->hide();
        if (lvwPort->topLevelItemCount() == 0) return;
        QTreeWidgetItem* row = lvwPort->currentItem();
        if (!row) throw std::runtime_error("no row selected");
        const int port = row->text(0).toInt();
        lblProtocol->setText(QStringLiteral("Protocol a&ssigned to port ") + row->text(0));
        const QString protocol = tsy::Settings::GetSetting(kProtocols, row->text(0), QString());

        // Showing a port's protocol must never store it anywhere.
        const bool wasLoading = IsLoading;
        IsLoading = true;
        {
            const QSignalBlocker block(lstProtocol);
            int found = -1;
            // Every item is visited: one left ticked by an earlier port would
            // otherwise stand beside this port's own.
            for (int i = 0; i < lstProtocol->count(); ++i) {
                QListWidgetItem* item = lstProtocol->item(i);
                if (found >= 0 || item->text() != protocol) {
                    item->setCheckState(Qt::Unchecked);
                    continue;
                }
                item->setCheckState(Qt::Checked);
                found = i;
                if (i != 0 && !PortIsListening(port)) cmdStartListening->show();
            }
            // The current item follows the checked one, so that Configure and
            // its caption name this port's protocol.
            lstProtocol->setCurrentRow(found);
        }
        QListWidgetItem* current = lstProtocol->currentItem();
        cmdConfigure->setEnabled(current && lstProtocol->row(current) != 0);
        IsLoading = wasLoading;
        UpdateConfigureCaption();
    } catch (...) {
        IsLoading = false;
        frmError::LogError(QStringLiteral("An error occurred while attempting to process the port selection."));
    }
}

void frmConfigure::lstProtocol_Click()
{
    ProtocolChoice();
}

void frmConfigure::lstProtocol_ItemCheck(QListWidgetItem* item)
{
    // A click on a check box first makes its item current (and chosen), then
    // flips the mark; that flip restores the mark rather than choosing again.
    QListWidgetItem* current = lstProtocol->currentItem();
    QTreeWidgetItem* row = lvwPort->currentItem();
    if (item && item == current && row
        && tsy::Settings::GetSetting(kProtocols, row->text(0)) == current->text()) {
        const QSignalBlocker block(lstProtocol);
        current->setCheckState(Qt::Checked);
        return;
    }
    ProtocolChoice();
}

void frmConfigure::ProtocolChoice()
{
    QListWidgetItem* current = lstProtocol->currentItem();
    QTreeWidgetItem* row = lvwPort->currentItem();
    if (!current || !row) return;   // nothing chosen, or no port to store it for

    cmdConfigure->setEnabled(lstProtocol->row(current) != 0);
    {
        const QSignalBlocker block(lstProtocol);
        for (int i = 0; i < lstProtocol->count(); ++i) {
            QListWidgetItem* item = lstProtocol->item(i);
            item->setCheckState(item == current ? Qt::Checked : Qt::Unchecked);
        }
    }
    const QString port = row->text(0);
    tsy::Settings::SaveSetting(kProtocols, port, current->text());
    tsy::Settings::SaveSetting(kPortsInUse, port, row->text(1));

    if (!IsLoading) {
        if (General::gobjListening) General::gobjListening->CheckListeningStatus(port.toInt());
        lvwPort_Click();
    }
    UpdateConfigureCaption();
}

void frmConfigure::cmdPortAdd_Click()
{
    frmPort* dialog = frmPort::Instance();
    dialog->ShowModal(this);   // topmost first while Keep on Top is ticked
    if (dialog->Tag == QStringLiteral("CANCEL")) return;

    const int port = dialog->mintPort;
    const QString key = RowKey(port);
    const bool hasSocket = General::gobjListening
                           && General::ExistsInCollection(General::gobjListening->mcolListeningSocket, key);
    if (!hasSocket) {
        auto* row = RowByKey(key);
        if (!row) {
            row = new QTreeWidgetItem(lvwPort);
            row->setText(0, QString::number(port));
            row->setData(0, KeyRole, key);
        }
        {
            const QSignalBlocker block(lvwPort);
            lvwPort->setCurrentItem(row);
        }
        if (dialog->mstrDescription.isEmpty()) dialog->mstrDescription = QStringLiteral("Port ") + QString::number(port);
        row->setText(1, dialog->mstrDescription);
        lvwPort_Click();
        IsLoading = true;
        if (lstProtocol->count() > 0) {
            const QSignalBlocker block(lstProtocol);
            for (int i = 0; i < lstProtocol->count(); ++i)
                lstProtocol->item(i)->setCheckState(i == 0 ? Qt::Checked : Qt::Unchecked);
            lstProtocol->setCurrentRow(0);
        }
        IsLoading = false;
        tsy::Settings::SaveSetting(kProtocols, QString::number(port), DontUse());
        tsy::Settings::SaveSetting(kPortsInUse, QString::number(port), dialog->mstrDescription);
        if (General::gobjListening) General::gobjListening->CreateNewSocket(port, dialog->mstrDescription);
        EnablePortControls();
        cmdConfigure->setEnabled(false);
        UpdateConfigureCaption();
    } else {
        // The port has a socket already: idle it under its new description.
        tsy::Settings::SaveSetting(kProtocols, QString::number(port), DontUse());
        tsy::Settings::SaveSetting(kPortsInUse, QString::number(port), dialog->mstrDescription);
        General::gobjListening->CheckListeningStatus(port);
    }
}

void frmConfigure::cmdDeletePort_Click()
{
    QTreeWidgetItem* row = lvwPort->currentItem();
    if (!row) return;
    if (tsy::Modal::MsgBox(this, QStringLiteral("Are you sure you want to remove this port?"), tsy::Modal::Icon::Question,
                           tsy::Modal::Buttons::YesNo, QStringLiteral("Tessaly"))
        != tsy::Modal::Answer::Yes)
        return;

    const QString port = row->text(0);
    tsy::Settings::DeleteSetting(kProtocols, port);
    tsy::Settings::DeleteSetting(kPortsInUse, port);
    if (General::gobjListening) General::gobjListening->CheckListeningStatus(port.toInt());

    if (tsy::KeyedTree* tree = General::SocketTree()) {
        const QString node = QStringLiteral("PROTO") + port;
        if (tree->Exists(node)) tree->Remove(node);
        tree->update();
    }

    {
        const QSignalBlocker block(lvwPort);
        delete row;
        if (lvwPort->topLevelItemCount() > 0) {
            QTreeWidgetItem* last = lvwPort->topLevelItem(lvwPort->topLevelItemCount() - 1);
            lvwPort->setCurrentItem(last);
            last->setSelected(true);
        }
    }
    if (lvwPort->topLevelItemCount() > 0) lvwPort_Click();
    EnablePortControls();
    if (lvwPort->topLevelItemCount() == 0) {
        const QSignalBlocker block(lstProtocol);
        for (int i = 0; i < lstProtocol->count(); ++i) lstProtocol->item(i)->setCheckState(Qt::Unchecked);
        cmdStartListening->hide();
    }
}

void frmConfigure::cmdStartListening_Click()
{
    const int port = SelectedPort();
    if (port != 0 && General::gobjListening) General::gobjListening->CheckListeningStatus(port);
    lvwPort_Click();
}

void frmConfigure::cmdConfigure_Click()
{
    QListWidgetItem* current = lstProtocol->currentItem();
    if (!current || current->text() == DontUse()) return;
    const QString name = current->text();
    if (!General::ExistsInCollection(General::gcolProtocols, name)) return;
    const std::shared_ptr<ProtocolHandler> handler = General::gcolProtocols.Item(name);
    if (handler) handler->ShowProperties(SelectedPort(), this);
}

void frmConfigure::CloseSteps()
{
    for (const auto& [port, description] : tsy::Settings::GetAllSettings(kPortsInUse))
        if (description != FtpData()) tsy::Settings::DeleteSetting(kPortsInUse, port);
    for (int i = 0; i < lvwPort->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lvwPort->topLevelItem(i);
        tsy::Settings::SaveSetting(kPortsInUse, row->text(0), row->text(1));
    }
    tsy::Settings::SaveSetting(QStringLiteral("Options"), QStringLiteral("ShowConfigAtStartUp"),
                               chkShowAtStartUp->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
}

void frmConfigure::cmdClose_Click()
{
    CloseSteps();
    hide();
    if (frmMain::IsLoaded()) {
        frmMain* main = frmMain::Instance();
        if (main->isVisible() && !main->isMinimized()) main->activateWindow();
    }
}

void frmConfigure::reject()
{
    cmdClose_Click();
}

bool frmConfigure::event(QEvent* e)
{
    if (e->type() == QEvent::WindowActivate) Form_Activate();
    return QDialog::event(e);
}

void frmConfigure::Form_Activate()
{
    UpdateConfigureCaption();
}
