// The configuration window and the port dialog: rows, protocol choices,
// listening, deletion, Close, and the PORTS.TXT reader.
#include "common/ProxyFixtures.h"
#include "common/StubHandler.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmConfigure.h"
#include "engine/frmError.h"
#include "engine/frmPort.h"
#include "platform/KeyedTree.h"
#include "platform/Modal.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/Winsock.h"
#include "protocols/ProtocolHandler.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTreeWidget>
#include <QHeaderView>
#include <gtest/gtest.h>

namespace {

// A prototype that only names its protocol and counts property requests.
class NamedHandler : public tsytest::StubHandler {
public:
    using StubHandler::StubHandler;
    void ShowProperties(int lngPort, QWidget*) override { shownFor.append(lngPort); }
    QList<int> shownFor;
};

using tsytest::FreePort;

bool CanConnect(int port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, quint16(port));
    const bool ok = s.waitForConnected(2000);
    s.abort();
    return ok;
}

QString Get(const QString& section, const QString& key) { return tsy::Settings::GetSetting(section, key, "<none>"); }

int RowOf(QListWidget* list, const QString& text)
{
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->text() == text) return i;
    return -1;
}

int Ticked(QListWidget* list)
{
    int n = 0;
    for (int i = 0; i < list->count(); ++i) n += list->item(i)->checkState() == Qt::Checked;
    return n;
}

void Flush() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

class ConfigureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        script = &tsy::Modal::UseScript();
        for (const char* name : {"HTTP", "Pass Through", "HTTPS", "POP3", "FTP"})
            General::gcolProtocols.Add(std::make_shared<NamedHandler>(name), name);
        tree = new tsy::KeyedTree();
        tree->Add(QString(), "ROOT", "All Activity");
        General::SetSocketTree(tree);
        General::gobjListening = new Listening();
    }
    void TearDown() override
    {
        frmConfigure::Unload();
        frmPort::Unload();
        frmPort::SetModalRunner({});
        tsy::Runtime::SetProgramDir(QString());
        if (General::gobjListening) General::gobjListening->DeInitaliseListeningSockets();
        delete General::gobjListening;
        General::gobjListening = nullptr;
        General::SetSocketTree(nullptr);
        delete tree;
        General::gcolProtocols.Clear();
        General::gblnApplicationClosing = true;
        frmError::Unload();
        General::gblnApplicationClosing = false;
        Flush();
        tsy::Modal::SetBackend(nullptr);
    }

    // Adds a port through the dialog, typing the port and description.
    void AddPort(const QString& port, const QString& description)
    {
        frmPort::SetModalRunner([=](frmPort* d) {
            d->txtPort->setText(port);
            d->txtDescription->setText(description);
            d->cmdOK_Click();
        });
        frmConfigure::Instance()->cmdPortAdd_Click();
    }

    tsy::Modal::ScriptedBackend* script = nullptr;
    tsy::KeyedTree* tree = nullptr;
};

} // namespace

TEST_F(ConfigureTest, EmptyTableDisablesPortControlsAndCloseStillWritesTheSwitch)
{
    frmConfigure* w = frmConfigure::Instance();
    EXPECT_EQ(w->windowTitle(), "Configure Tessaly");
    EXPECT_EQ(w->lvwPort->topLevelItemCount(), 0);
    EXPECT_FALSE(w->lstProtocol->isEnabled());
    EXPECT_FALSE(w->cmdConfigure->isEnabled());
    EXPECT_FALSE(w->cmdDeletePort->isEnabled());
    ASSERT_EQ(w->lstProtocol->count(), 6);
    EXPECT_EQ(w->lstProtocol->item(0)->text(), "<Don't use>");
    EXPECT_EQ(w->lstProtocol->item(1)->text(), "HTTP");
    EXPECT_TRUE(w->chkShowAtStartUp->isChecked());   // default 1
    w->chkShowAtStartUp->setChecked(false);
    w->cmdClose_Click();
    EXPECT_EQ(Get("Options", "ShowConfigAtStartUp"), "0");
    EXPECT_TRUE(tsy::Settings::GetKeys("PortsInUse").isEmpty());
}

TEST_F(ConfigureTest, AddChooseHttpListenThenDelete)
{
    const int port = FreePort();
    const QString p = QString::number(port);
    AddPort(p, "");

    frmConfigure* w = frmConfigure::Instance();
    ASSERT_EQ(w->lvwPort->topLevelItemCount(), 1);
    QTreeWidgetItem* row = w->RowByKey("KEY" + p);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->text(1), "Port " + p);   // empty description
    EXPECT_EQ(w->SelectedPort(), port);
    EXPECT_EQ(w->CheckedProtocol(), "<Don't use>");
    EXPECT_EQ(Get("Protocols", p), "<Don't use>");
    EXPECT_EQ(Get("PortsInUse", p), "Port " + p);
    ASSERT_TRUE(tree->Exists("PROTO" + p));
    EXPECT_TRUE(tree->Text("PROTO" + p).endsWith("- Not Listening"));
    EXPECT_FALSE(w->cmdConfigure->isEnabled());
    EXPECT_TRUE(w->cmdDeletePort->isEnabled());

    // The user picks HTTP: stored, listening, Configure names it.
    w->lstProtocol->setCurrentRow(RowOf(w->lstProtocol, "HTTP"));
    EXPECT_EQ(Get("Protocols", p), "HTTP");
    EXPECT_EQ(w->CheckedProtocol(), "HTTP");
    EXPECT_TRUE(w->cmdConfigure->isEnabled());
    EXPECT_EQ(w->cmdConfigure->text(), "Configure HTTP for port " + p + "...");
    EXPECT_FALSE(w->cmdStartListening->isVisibleTo(w));
    EXPECT_TRUE(CanConnect(port));

    // Configure asks the HTTP prototype, with the port and this window.
    w->cmdConfigure_Click();
    auto* http = static_cast<NamedHandler*>(General::gcolProtocols.Item("HTTP").get());
    EXPECT_EQ(http->shownFor, QList<int>{port});

    // Delete asks first; No keeps everything.
    script->answers = {tsy::Modal::Answer::No};
    w->cmdDeletePort_Click();
    EXPECT_EQ(script->texts().last(), "Are you sure you want to remove this port?");
    EXPECT_EQ(script->calls.last().icon, tsy::Modal::Icon::Question);
    EXPECT_EQ(script->calls.last().buttons, tsy::Modal::Buttons::YesNo);
    EXPECT_EQ(w->lvwPort->topLevelItemCount(), 1);
    EXPECT_EQ(Get("Protocols", p), "HTTP");

    script->answers = {tsy::Modal::Answer::Yes};
    w->cmdDeletePort_Click();
    EXPECT_EQ(w->lvwPort->topLevelItemCount(), 0);
    EXPECT_EQ(Get("Protocols", p), "<none>");
    EXPECT_EQ(Get("PortsInUse", p), "<none>");
    EXPECT_FALSE(tree->Exists("PROTO" + p));
    EXPECT_FALSE(General::gobjListening->mcolListeningSocket.Exists("KEY" + p));
    EXPECT_FALSE(CanConnect(port));
    EXPECT_FALSE(w->lstProtocol->isEnabled());
    EXPECT_FALSE(w->cmdDeletePort->isEnabled());
}

TEST_F(ConfigureTest, DeletingOneOfSeveralSelectsTheLastRow)
{
    for (const char* port : {"41001", "41002", "41003"}) {
        tsy::Settings::SaveSetting("Protocols", port, "<Don't use>");
        tsy::Settings::SaveSetting("PortsInUse", port, QStringLiteral("Desc ") + port);
    }
    frmConfigure* w = frmConfigure::Instance();
    ASSERT_EQ(w->lvwPort->topLevelItemCount(), 3);
    ASSERT_TRUE(w->SelectPortRow(41001));
    w->lvwPort_Click();
    script->answers = {tsy::Modal::Answer::Yes};
    w->cmdDeletePort_Click();
    EXPECT_EQ(w->lvwPort->topLevelItemCount(), 2);
    EXPECT_EQ(w->SelectedPort(), 41003);
    EXPECT_EQ(w->lblProtocol->text(), "Protocol a&ssigned to port 41003");
}

TEST_F(ConfigureTest, SwitchingRowsShowsEachPortsProtocolWithoutStoringIt)
{
    tsy::Settings::SaveSetting("Protocols", "41101", "HTTP");
    tsy::Settings::SaveSetting("PortsInUse", "41101", "Web");
    tsy::Settings::SaveSetting("Protocols", "41102", "POP3");
    tsy::Settings::SaveSetting("PortsInUse", "41102", "Mail");
    tsy::Settings::SaveSetting("Protocols", "41103", "Gopher");   // none of the items
    tsy::Settings::SaveSetting("PortsInUse", "41103", "Odd");
    tsy::Settings::SaveSetting("PortsInUse", "41104", "FTP Data - Dynamically allocated");

    frmConfigure* w = frmConfigure::Instance();
    ASSERT_EQ(w->lvwPort->topLevelItemCount(), 3);   // the FTP data port has no row
    for (int i = 0; i < 2; ++i) {   // back and forth, as a user clicks
        for (const auto& [port, protocol] : {std::pair{"KEY41102", "POP3"}, std::pair{"KEY41101", "HTTP"}}) {
            w->lvwPort->setCurrentItem(w->RowByKey(port));   // the user's click
            EXPECT_EQ(w->CheckedProtocol(), protocol);
            EXPECT_EQ(Ticked(w->lstProtocol), 1) << port;   // the earlier port's protocol is unticked
        }
    }
    w->lvwPort->setCurrentItem(w->RowByKey("KEY41103"));
    EXPECT_EQ(w->CheckedProtocol(), "");
    EXPECT_EQ(Ticked(w->lstProtocol), 0);
    EXPECT_FALSE(w->cmdStartListening->isVisibleTo(w));
    EXPECT_EQ(Get("Protocols", "41101"), "HTTP");
    EXPECT_EQ(Get("Protocols", "41102"), "POP3");
    EXPECT_EQ(Get("Protocols", "41103"), "Gopher");
}

TEST_F(ConfigureTest, StartListeningRetriesAPortAnotherProgramHeld)
{
    const int port = FreePort();
    const QString p = QString::number(port);
    AddPort(p, "Retry");
    frmConfigure* w = frmConfigure::Instance();

    auto* blocker = new QTcpServer();
    ASSERT_TRUE(blocker->listen(QHostAddress::Any, quint16(port)));
    w->lstProtocol->setCurrentRow(RowOf(w->lstProtocol, "Pass Through"));
    EXPECT_EQ(Get("Protocols", p), "Pass Through");
    EXPECT_TRUE(w->cmdStartListening->isVisibleTo(w));   // the listen failed
    ASSERT_NE(frmError::Loaded(), nullptr);
    EXPECT_GE(frmError::Loaded()->EntryCount(), 1);

    delete blocker;
    w->cmdStartListening_Click();
    EXPECT_FALSE(w->cmdStartListening->isVisibleTo(w));
    EXPECT_TRUE(CanConnect(port));

    // Back to "<Don't use>": idle, and Configure has nothing to open.
    w->lstProtocol->setCurrentRow(0);
    EXPECT_EQ(Get("Protocols", p), "<Don't use>");
    EXPECT_FALSE(w->cmdConfigure->isEnabled());
    EXPECT_FALSE(CanConnect(port));
}

TEST_F(ConfigureTest, AddingAPortThatHasASocketOnlyIdlesIt)
{
    const int port = FreePort();
    const QString p = QString::number(port);
    AddPort(p, "First");
    frmConfigure* w = frmConfigure::Instance();
    w->lstProtocol->setCurrentRow(RowOf(w->lstProtocol, "HTTP"));
    ASSERT_TRUE(CanConnect(port));

    AddPort(p, "Second");
    EXPECT_EQ(w->lvwPort->topLevelItemCount(), 1);
    EXPECT_EQ(w->RowByKey("KEY" + p)->text(1), "First");
    EXPECT_EQ(Get("Protocols", p), "<Don't use>");
    EXPECT_EQ(Get("PortsInUse", p), "Second");
    EXPECT_FALSE(CanConnect(port));
    w->cmdClose_Click();   // the row's description goes back
    EXPECT_EQ(Get("PortsInUse", p), "First");
}

TEST_F(ConfigureTest, CloseRewritesPortsInUseAndKeepsFtpDataEntries)
{
    tsy::Settings::SaveSetting("Protocols", "41201", "<Don't use>");
    tsy::Settings::SaveSetting("PortsInUse", "41201", "Kept row");
    tsy::Settings::SaveSetting("PortsInUse", "41202", "FTP Data - Dynamically allocated");
    tsy::Settings::SaveSetting("PortsInUse", "41203", "Old FTP Data - Dynamically allocated");
    frmConfigure* w = frmConfigure::Instance();
    ASSERT_EQ(w->lvwPort->topLevelItemCount(), 1);
    w->RowByKey("KEY41201")->setText(1, "Renamed row");
    tsy::Settings::SaveSetting("PortsInUse", "41209", "Stray entry");

    w->show();
    w->cmdClose_Click();
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(frmConfigure::IsLoaded());
    EXPECT_EQ(Get("PortsInUse", "41201"), "Renamed row");
    EXPECT_EQ(Get("PortsInUse", "41202"), "FTP Data - Dynamically allocated");
    EXPECT_EQ(Get("PortsInUse", "41203"), "<none>");
    EXPECT_EQ(Get("PortsInUse", "41209"), "<none>");
    EXPECT_EQ(Get("Options", "ShowConfigAtStartUp"), "1");

    // The window frame stores the same way and unloads; the next use refills.
    tsy::Settings::SaveSetting("PortsInUse", "41209", "Stray entry");
    w->show();
    w->close();
    Flush();
    EXPECT_FALSE(frmConfigure::IsLoaded());
    EXPECT_EQ(Get("PortsInUse", "41209"), "<none>");
    tsy::Settings::SaveSetting("Protocols", "41210", "<Don't use>");
    tsy::Settings::SaveSetting("PortsInUse", "41210", "New");
    EXPECT_EQ(frmConfigure::Instance()->lvwPort->topLevelItemCount(), 2);
}

// ---- Port dialog ----------------------------------------------------------

TEST_F(ConfigureTest, PortChecksRefuseAndStoreNothing)
{
    frmPort* d = frmPort::Instance();
    for (const char* bad : {"65536", "80x", "0", "-1", "65535.5", "1e9"}) {
        const int before = script->count("MsgBox");
        bool seen = false;
        frmPort::SetModalRunner([&](frmPort* dlg) {
            dlg->txtPort->setText(bad);
            dlg->txtDescription->setText("Bad");
            dlg->cmdOK_Click();
            seen = dlg->Tag.isEmpty();   // refused: still open, no result yet
            dlg->cmdCancel_Click();
        });
        frmConfigure::Instance()->cmdPortAdd_Click();
        EXPECT_TRUE(seen) << bad;
        EXPECT_EQ(script->count("MsgBox"), before + 1) << bad;
        EXPECT_EQ(script->texts().last(), "The port number must be numeric and less than 65536.");
        EXPECT_EQ(script->calls.last().icon, tsy::Modal::Icon::Warning);
        EXPECT_EQ(d->Tag, "CANCEL");
    }
    EXPECT_TRUE(tsy::Settings::GetKeys("PortsInUse").isEmpty());
    EXPECT_TRUE(tsy::Settings::GetKeys("Protocols").isEmpty());
    EXPECT_EQ(frmConfigure::Instance()->lvwPort->topLevelItemCount(), 0);

    const struct { const char* text; int port; } good[] = {
        {"65535", 65535}, {" 8080 ", 8080}, {"80.5", 80}, {"81.5", 82}, {"1", 1}, {"0.6", 1}};
    for (const auto& g : good) {
        d->txtPort->setText(g.text);
        d->txtDescription->setText("");
        d->cmdOK_Click();
        EXPECT_EQ(d->Tag, "") << g.text;
        EXPECT_EQ(d->mintPort, g.port) << g.text;
    }
    // An empty port is a cancel, whatever the description.
    d->txtPort->setText("");
    d->txtDescription->setText("Something");
    d->cmdOK_Click();
    EXPECT_EQ(d->Tag, "CANCEL");
}

TEST_F(ConfigureTest, PortDialogRowsClickSortAndDoubleClick)
{
    QTemporaryDir dir;
    QFile f(QDir(dir.path()).filePath("PORTS.TXT"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("21,\"FTP\"\r\n110,\"POP3, mail\"\r\n8080,\"Web cache\"\r\n");
    f.close();
    tsy::Runtime::SetProgramDir(dir.path());
    frmPort* d = frmPort::Instance();
    EXPECT_EQ(script->count("MsgBox"), 0);
    ASSERT_EQ(d->lstDetails->topLevelItemCount(), 3);

    auto order = [d] {
        QStringList ports;
        for (int i = 0; i < d->lstDetails->topLevelItemCount(); ++i) ports << d->lstDetails->topLevelItem(i)->text(0);
        return ports.join(' ');
    };
    d->lstDetails_ColumnClick(0);   // already the sort column: descending
    EXPECT_EQ(order(), "8080 21 110");
    d->lstDetails_ColumnClick(0);
    EXPECT_EQ(order(), "110 21 8080");   // as text
    d->lstDetails_ColumnClick(1);
    EXPECT_EQ(order(), "21 110 8080");
    d->lstDetails_ColumnClick(1);
    EXPECT_EQ(order(), "8080 110 21");

    QTreeWidgetItem* pop = d->lstDetails->topLevelItem(1);
    d->lstDetails->setCurrentItem(pop);
    d->lstDetails_Click();
    d->lstDetails_DblClick();
    EXPECT_EQ(d->Tag, "");
    EXPECT_EQ(d->mintPort, 110);
    EXPECT_EQ(d->mstrDescription, "POP3, mail");

    // Kept between uses; the file is not read again.
    f.remove();
    frmPort* again = frmPort::Instance();
    EXPECT_EQ(again, d);
    EXPECT_EQ(again->txtPort->text(), "110");
    EXPECT_EQ(again->lstDetails->topLevelItemCount(), 3);
}

TEST_F(ConfigureTest, EnterOnAFocusedButtonPressesThatButtonAndHeadersFit)
{
    // The port dialog: Enter on a focused Cancel cancels; the Port Number
    // column is wide enough for its caption.
    QTemporaryDir dir;
    tsy::Runtime::SetProgramDir(dir.path());
    frmPort::SetModalRunner([](frmPort* d) {
        d->show();
        d->txtPort->setText("41010");
        QTest::keyClick(d->cmdCancel, Qt::Key_Return);
    });
    frmConfigure* w = frmConfigure::Instance();
    w->show();
    w->cmdPortAdd_Click();
    EXPECT_EQ(frmPort::Instance()->Tag, "CANCEL");
    EXPECT_EQ(w->lvwPort->topLevelItemCount(), 0);
    // The dialog outlives its owner's unloading, keeping what it held.
    frmConfigure::Unload();
    Flush();
    ASSERT_TRUE(frmPort::IsLoaded());
    EXPECT_EQ(frmPort::Instance()->txtPort->text(), "41010");
    QTreeWidget* list = frmPort::Instance()->lstDetails;
    EXPECT_GT(list->columnWidth(0), list->header()->fontMetrics().horizontalAdvance("Port Number") + 16);

    // The configuration window: Enter on a focused Delete asks about the
    // port instead of closing the window.
    frmConfigure::Unload();   // its Close rewrites PortsInUse: store after it
    Flush();
    tsy::Settings::SaveSetting("Protocols", "41011", "<Don't use>");
    tsy::Settings::SaveSetting("PortsInUse", "41011", "Desc");
    w = frmConfigure::Instance();
    w->show();
    script->answers = {tsy::Modal::Answer::No};
    QTest::keyClick(w->cmdDeletePort, Qt::Key_Return);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(script->texts().count("Are you sure you want to remove this port?"), 1);
    EXPECT_EQ(w->lvwPort->topLevelItemCount(), 1);
    // Elsewhere Enter still presses Close.
    QTest::keyClick(w->lvwPort, Qt::Key_Return);
    EXPECT_FALSE(w->isVisible());
}

TEST_F(ConfigureTest, MissingPortsFileIsReportedAndAPortCanStillBeTyped)
{
    QTemporaryDir dir;
    tsy::Runtime::SetProgramDir(dir.path());
    frmPort* d = frmPort::Instance();
    ASSERT_EQ(script->count("MsgBox"), 1);
    const QString path = QDir::toNativeSeparators(QDir(dir.path()).filePath("PORTS.TXT"));
    EXPECT_EQ(script->texts().first(),
              "An error occurred while attempting to retrieve the port information from the file located at " + path
                  + ". The operating system reports: 53, File not found");
    EXPECT_EQ(d->lstDetails->topLevelItemCount(), 0);
    d->lstDetails_Click();   // no rows: nothing changes
    EXPECT_EQ(d->txtPort->text(), "");
    d->txtPort->setText("8080");
    d->txtDescription->setText("Typed");
    d->cmdOK_Click();
    EXPECT_EQ(d->mintPort, 8080);
    EXPECT_EQ(d->mstrDescription, "Typed");
}

TEST(PortsFileTest, QuotedFieldsMissingDescriptionAndTheInstalledFile)
{
    PortsFileResult r = ParsePortsText("  7 , \"Echo, and more\" trailing\n\n9,Discard  \n13,\"Day\"\r\n");
    ASSERT_EQ(r.rows.size(), 3);
    EXPECT_EQ(r.errorNumber, 0);
    EXPECT_EQ(r.rows[0].port, "7");
    EXPECT_EQ(r.rows[0].description, "Echo, and more");
    EXPECT_EQ(r.rows[1].description, "Discard");
    EXPECT_EQ(r.rows[2].description, "Day");

    // Two pairs on a line, and a last port without its description.
    r = ParsePortsText("1,\"A\",2,\"B\"\n3\n");
    ASSERT_EQ(r.rows.size(), 2);
    EXPECT_EQ(r.rows[1].port, "2");
    EXPECT_EQ(r.errorNumber, 62);
    EXPECT_EQ(r.errorDescription, "Input past end of file");

    // A comma at the line's end gives an empty description.
    r = ParsePortsText("4,\n");
    ASSERT_EQ(r.rows.size(), 1);
    EXPECT_EQ(r.rows[0].description, "");
    EXPECT_EQ(r.errorNumber, 0);

    EXPECT_EQ(ReadPortsFile("/nonexistent/dir/PORTS.TXT").errorNumber, 53);

    // The file installed beside the program reads whole.
    const QString installed = QDir(qEnvironmentVariable("TSY_SOURCE_DIR")).filePath("PORTS.TXT");
    r = ReadPortsFile(installed);
    EXPECT_EQ(r.errorNumber, 0) << installed.toStdString();
    EXPECT_GT(r.rows.size(), 20);
    for (const auto& e : r.rows) {
        bool ok = false;
        const int n = e.port.toInt(&ok);
        EXPECT_TRUE(ok && n >= 1 && n <= 65535) << e.port.toStdString();
        EXPECT_FALSE(e.description.isEmpty()) << e.port.toStdString();
    }
}

TEST_F(ConfigureTest, MainWindowPortCommands)
{
    const int port = FreePort();
    const QString p = QString::number(port);
    tsy::Settings::SaveSetting("Protocols", "41301", "POP3");
    tsy::Settings::SaveSetting("PortsInUse", "41301", "Other");
    AddPort(p, "Web");
    frmConfigure* w = frmConfigure::Instance();
    w->lstProtocol->setCurrentRow(RowOf(w->lstProtocol, "HTTP"));
    ASSERT_TRUE(CanConnect(port));

    // "&Protocol..." on the node of 41301, then of the new port.
    EXPECT_EQ(frmConfigure::ShowPort(41301), w);
    EXPECT_EQ(w->SelectedPort(), 41301);
    EXPECT_EQ(w->CheckedProtocol(), "POP3");
    frmConfigure::ShowPort(port);
    EXPECT_EQ(w->CheckedProtocol(), "HTTP");

    // "S&top Listening".
    frmConfigure::StopListening(port);
    EXPECT_EQ(Get("Protocols", p), "<Don't use>");
    EXPECT_EQ(w->CheckedProtocol(), "<Don't use>");
    EXPECT_FALSE(CanConnect(port));
    EXPECT_TRUE(tree->Text("PROTO" + p).endsWith("- Not Listening"));
    EXPECT_EQ(Get("Protocols", "41301"), "POP3");
}

TEST_F(ConfigureTest, FlippingACheckMarkKeepsTheCurrentChoice)
{
    const int port = FreePort();
    const QString p = QString::number(port);
    AddPort(p, "Marks");
    frmConfigure* w = frmConfigure::Instance();
    w->lstProtocol->setCurrentRow(RowOf(w->lstProtocol, "HTTP"));
    const int errorsBefore = frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0;

    // The mark of the chosen item flipped off comes back on.
    w->lstProtocol->item(RowOf(w->lstProtocol, "HTTP"))->setCheckState(Qt::Unchecked);
    EXPECT_EQ(w->CheckedProtocol(), "HTTP");
    // Another item's mark: the current item stays the choice, alone checked.
    w->lstProtocol->item(RowOf(w->lstProtocol, "POP3"))->setCheckState(Qt::Checked);
    EXPECT_EQ(w->CheckedProtocol(), "HTTP");
    EXPECT_EQ(w->lstProtocol->item(RowOf(w->lstProtocol, "POP3"))->checkState(), Qt::Unchecked);
    EXPECT_EQ(Get("Protocols", p), "HTTP");
    EXPECT_TRUE(CanConnect(port));
    EXPECT_EQ(frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0, errorsBefore);
}

// A click on an item's check box, as a user makes it: the item becomes the
// current one and its protocol is chosen, stored and listened with.
TEST_F(ConfigureTest, AClickOnACheckBoxChoosesThatProtocol)
{
    const int port = FreePort();
    const QString p = QString::number(port);
    AddPort(p, "Boxes");
    frmConfigure* w = frmConfigure::Instance();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    QListWidget* list = w->lstProtocol;
    const int errorsBefore = frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0;

    // The check indicator where the view's style draws it.
    const auto clickBox = [&](const QString& name) {
        QListWidgetItem* item = list->item(RowOf(list, name));
        QStyleOptionViewItem option;
        option.initFrom(list);
        option.rect = list->visualItemRect(item);
        option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
        option.text = item->text();
        option.checkState = item->checkState();
        option.widget = list;
        const QRect box = list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
        ASSERT_TRUE(option.rect.contains(box));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, box.center());
    };

    for (const QString name : {"HTTP", "POP3", "POP3", "<Don't use>", "Pass Through"}) {
        SCOPED_TRACE(name.toStdString());
        clickBox(name);
        EXPECT_EQ(list->currentRow(), RowOf(list, name));
        EXPECT_EQ(w->CheckedProtocol(), name);
        for (int i = 0; i < list->count(); ++i)
            EXPECT_EQ(list->item(i)->checkState(), i == RowOf(list, name) ? Qt::Checked : Qt::Unchecked) << i;
        EXPECT_EQ(Get("Protocols", p), name);
        EXPECT_EQ(w->cmdConfigure->isEnabled(), name != "<Don't use>");
        EXPECT_EQ(CanConnect(port), name != "<Don't use>");
    }
    EXPECT_EQ(frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0, errorsBefore);
}
