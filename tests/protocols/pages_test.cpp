// The protocol property pages: defaults, storing on OK only, the port test,
// the HTTP routing options, and the modal opening through ShowPropertyPage.
#include "common/StubHandler.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "platform/Modal.h"
#include "platform/Settings.h"
#include "protocols/HttpRouting.h"
#include "protocols/ProtocolFactory.h"
#include "protocols/ProtocolHandler.h"
#include "protocols/ProtocolPropertyPage.h"
#include "protocols/frmProtocolFTPPP.h"
#include "protocols/frmProtocolHTTPPP.h"
#include "protocols/frmProtocolHTTPSPP.h"
#include "protocols/frmProtocolPOP3PP.h"
#include "protocols/frmProtocolPassThruPP.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class NamedHandler : public tsytest::StubHandler {
public:
    using StubHandler::StubHandler;
    void ShowProperties(int lngPort, QWidget* frmParent) override
    {
        ShowPropertyPage<frmProtocolPassThruPP>(this, lngPort, frmParent);
    }
};

using Pairs = QList<QPair<QString, QString>>;
Pairs All(const QString& section) { return tsy::Settings::GetAllSettings(section); }
QString Get(const QString& section, const QString& key) { return tsy::Settings::GetSetting(section, key, "<none>"); }

class PagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        script = &tsy::Modal::UseScript();
    }
    void TearDown() override
    {
        ProtocolPropertyPage::SetModalRunner({});
        General::gblnKeepOnTop = false;
        tsy::Modal::SetBackend(nullptr);
    }

    template <class Page>
    std::unique_ptr<Page> Open(ProtocolHandler* handler, int port)
    {
        auto page = std::make_unique<Page>();
        page->mlngPort = port;
        page->mobjParent = handler;
        page->Form_Load();
        return page;
    }

    tsy::Modal::ScriptedBackend* script = nullptr;
    NamedHandler passThru{"Pass Through"};
    NamedHandler http{"HTTP"};
    NamedHandler https{"HTTPS"};
    NamedHandler pop3{"POP3"};
    NamedHandler ftp{"FTP"};
};

} // namespace

TEST_F(PagesTest, PassThroughDefaultsStoredOnImmediateOkAndCancelStoresNothing)
{
    const QString section = "Protocols\\Pass Through\\Port 1000";
    auto page = Open<frmProtocolPassThruPP>(&passThru, 1000);
    EXPECT_EQ(page->SettingsSection(), section);
    EXPECT_EQ(page->windowTitle(), "Pass Through Properties");
    EXPECT_EQ(page->txtPort->text(), "1000");
    page->txtProxyServer->setText("edited.example");
    page->Command1_Click();
    EXPECT_TRUE(page->Unloaded());
    EXPECT_TRUE(All(section).isEmpty());

    page = Open<frmProtocolPassThruPP>(&passThru, 1000);
    page->cmdOK_Click();
    EXPECT_TRUE(page->Unloaded());
    EXPECT_EQ(Get(section, "Port"), "1000");
    EXPECT_EQ(Get(section, "Server"), frmProtocolPassThruPP::kDefaultServer);

    // Stored values come back; texts are stored as typed.
    page = Open<frmProtocolPassThruPP>(&passThru, 1000);
    page->txtPort->setText(" 25 ");
    page->txtProxyServer->setText("mail.example.com ");
    page->cmdOK_Click();
    page = Open<frmProtocolPassThruPP>(&passThru, 1000);
    EXPECT_EQ(page->txtPort->text(), " 25 ");
    EXPECT_EQ(page->txtProxyServer->text(), "mail.example.com ");
    EXPECT_TRUE(All("Protocols\\Pass Through\\Port 1001").isEmpty());
}

TEST_F(PagesTest, EnterOnTheFocusedCancelCancelsAndTabReachesTheButtonsLast)
{
    const QString section = "Protocols\\Pass Through\\Port 1000";
    auto page = Open<frmProtocolPassThruPP>(&passThru, 1000);
    page->show();
    QTest::keyClick(page->Command1, Qt::Key_Return);
    EXPECT_TRUE(page->Unloaded());
    EXPECT_TRUE(All(section).isEmpty());

    // Top to bottom: the fields, then OK, then Cancel.
    const auto next = [](QWidget* w) {
        do w = w->nextInFocusChain();
        while (w && !(w->focusPolicy() & Qt::TabFocus));
        return w;
    };
    page = Open<frmProtocolPassThruPP>(&passThru, 1000);
    EXPECT_EQ(next(page->txtProxyServer), page->txtPort);
    EXPECT_EQ(next(page->txtPort), page->cmdOK);
    EXPECT_EQ(next(page->cmdOK), page->Command1);
    auto pop = Open<frmProtocolPOP3PP>(&pop3, 110);
    EXPECT_EQ(next(pop->txtPort), pop->cmdOK);
    auto web = Open<frmProtocolHTTPPP>(&http, 8080);
    EXPECT_EQ(next(web->txtPort), web->cmdOK);
}

TEST_F(PagesTest, PortTestRefusesAndStoresNothing)
{
    const QString section = "Protocols\\POP3\\Port 110";
    auto page = Open<frmProtocolPOP3PP>(&pop3, 110);
    EXPECT_EQ(page->txtPort->text(), "110");
    for (const char* bad : {"65536", "80x", "0", "-1", "65535.5", "", "-0.4"}) {
        page->txtPort->setText(bad);
        page->cmdOK_Click();
        EXPECT_FALSE(page->Unloaded()) << bad;
        EXPECT_EQ(script->texts().last(), "The port must be numeric and less than 65536") << bad;
        EXPECT_EQ(script->calls.last().icon, tsy::Modal::Icon::Warning);
        EXPECT_EQ(script->calls.last().title, "Tessaly");
    }
    EXPECT_EQ(script->count("MsgBox"), 7);
    EXPECT_TRUE(All(section).isEmpty());
    page->txtPort->setText("65535");
    page->cmdOK_Click();
    EXPECT_TRUE(page->Unloaded());
    EXPECT_EQ(Get(section, "Port"), "65535");
    page = Open<frmProtocolPOP3PP>(&pop3, 110);
    page->txtPort->setText("995.4");   // rounds to a port: stored as typed
    page->cmdOK_Click();
    EXPECT_EQ(Get(section, "Port"), "995.4");
}

TEST_F(PagesTest, HttpOptionsChooseWhichPortIsTested)
{
    const QString section = "Protocols\\HTTP\\Port 8080";
    auto page = Open<frmProtocolHTTPPP>(&http, 8080);
    EXPECT_TRUE(page->optPort[0]->isChecked());
    EXPECT_FALSE(page->optPort[1]->isChecked());
    EXPECT_FALSE(page->txtPort->isEnabled());
    EXPECT_FALSE(page->txtProxyServer->isEnabled());
    EXPECT_TRUE(page->txtSpecificPort->isEnabled());
    EXPECT_EQ(page->txtPort->text(), "8080");
    EXPECT_EQ(page->txtSpecificPort->text(), "80");
    EXPECT_EQ(page->txtProxyServer->text(), HttpRouting::kPlaceholderProxy);

    // Via another proxy: the proxy port is tested, the direct one is not.
    page->optPort[1]->click();
    EXPECT_TRUE(page->txtPort->isEnabled());
    page->txtPort->setText("");
    page->txtSpecificPort->setText("nonsense");
    page->cmdOK_Click();
    EXPECT_FALSE(page->Unloaded());
    EXPECT_TRUE(All(section).isEmpty());
    page->txtPort->setText("3128");
    page->txtProxyServer->setText("proxy.example");
    page->cmdOK_Click();
    EXPECT_TRUE(page->Unloaded());
    EXPECT_EQ(All(section), (Pairs{{"ConnectToPort", "False"}, {"ConnectToProxy", "True"}, {"Port", "3128"},
                                   {"Proxy", "proxy.example"}, {"SpecificPort", "nonsense"}}));

    // Reopened: the proxy option is selected; direct again tests only its port.
    page = Open<frmProtocolHTTPPP>(&http, 8080);
    EXPECT_TRUE(page->optPort[1]->isChecked());
    EXPECT_FALSE(page->optPort[0]->isChecked());
    page->optPort[0]->click();
    EXPECT_FALSE(page->txtPort->isEnabled());
    page->txtPort->setText("bad");
    page->cmdOK_Click();
    EXPECT_FALSE(page->Unloaded());   // "nonsense" in the direct port
    page->txtSpecificPort->setText("81");
    page->cmdOK_Click();
    EXPECT_TRUE(page->Unloaded());
    EXPECT_EQ(Get(section, "ConnectToPort"), "True");
    EXPECT_EQ(Get(section, "Port"), "bad");
}

TEST_F(PagesTest, HttpBothOptionsFalseShowsNeitherAndTestsNoPort)
{
    const QString section = "Protocols\\HTTP\\Port 8080";
    tsy::Settings::SaveSetting(section, "ConnectToPort", "False");
    tsy::Settings::SaveSetting(section, "ConnectToProxy", "False");
    tsy::Settings::SaveSetting(section, "Port", "x");
    tsy::Settings::SaveSetting(section, "SpecificPort", "y");
    auto page = Open<frmProtocolHTTPPP>(&http, 8080);
    EXPECT_FALSE(page->optPort[0]->isChecked());
    EXPECT_FALSE(page->optPort[1]->isChecked());
    EXPECT_TRUE(page->txtPort->isEnabled());
    EXPECT_TRUE(page->txtProxyServer->isEnabled());
    page->cmdOK_Click();
    EXPECT_TRUE(page->Unloaded());
    EXPECT_EQ(script->count("MsgBox"), 0);
    EXPECT_EQ(Get(section, "ConnectToPort"), "False");
    EXPECT_EQ(Get(section, "ConnectToProxy"), "False");

    // Both True: the later one wins.
    tsy::Settings::SaveSetting(section, "ConnectToPort", "True");
    tsy::Settings::SaveSetting(section, "ConnectToProxy", "True");
    page = Open<frmProtocolHTTPPP>(&http, 8080);
    EXPECT_FALSE(page->optPort[0]->isChecked());
    EXPECT_TRUE(page->optPort[1]->isChecked());
    // The group is exclusive again after loading.
    page->optPort[0]->click();
    EXPECT_TRUE(page->optPort[0]->isChecked());
    EXPECT_FALSE(page->optPort[1]->isChecked());
}

TEST_F(PagesTest, HttpsOkStoresItsHiddenFields)
{
    const QString section = "Protocols\\HTTPS\\Port 443";
    auto page = Open<frmProtocolHTTPSPP>(&https, 443);
    EXPECT_EQ(page->windowTitle(), "HTTPS Properties");
    ASSERT_NE(page->Label1, nullptr);
    EXPECT_TRUE(page->Label1->text().startsWith("To use HTTPS ensure"));
    EXPECT_FALSE(page->Frame1->isVisibleTo(page.get()));
    EXPECT_FALSE(page->optPort[0]->isVisibleTo(page.get()));
    EXPECT_FALSE(page->txtSpecificPort->isVisibleTo(page.get()));
    page->cmdOK_Click();
    EXPECT_TRUE(page->Unloaded());
    EXPECT_EQ(All(section), (Pairs{{"ConnectToPort", "True"}, {"ConnectToProxy", "False"}, {"Port", "443"},
                                   {"Proxy", HttpRouting::kPlaceholderProxy}, {"SpecificPort", "443"}}));
}

TEST_F(PagesTest, FtpPageStoresNothing)
{
    auto page = Open<frmProtocolFTPPP>(&ftp, 21);
    EXPECT_EQ(page->windowTitle(), "FTP Properties");
    EXPECT_TRUE(page->Label1->text().contains('@'));
    page->cmdOK_Click();
    EXPECT_TRUE(page->Unloaded());
    page = Open<frmProtocolFTPPP>(&ftp, 21);
    page->Command1_Click();
    EXPECT_TRUE(tsy::Settings::GetKeys("Protocols\\FTP\\Port 21").isEmpty());
    EXPECT_TRUE(All("Protocols\\FTP\\Port 21").isEmpty());
}

TEST_F(PagesTest, ShowPropertyPageLoadsShowsModallyAndReleasesThePage)
{
    tsy::Settings::SaveSetting("Protocols\\Pass Through\\Port 2500", "Server", "smtp.example");
    QWidget parent;
    QPointer<ProtocolPropertyPage> seen;
    bool modal = false, topMost = true;
    ProtocolPropertyPage::SetModalRunner([&](ProtocolPropertyPage* page) {
        seen = page;
        modal = page->isModal() && page->parentWidget() == &parent;
        topMost = page->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        EXPECT_EQ(page->mlngPort, 2500);
        EXPECT_EQ(page->mobjParent, &passThru);
        EXPECT_EQ(static_cast<frmProtocolPassThruPP*>(page)->txtProxyServer->text(), "smtp.example");
        page->cmdOK_Click();
    });
    passThru.ShowProperties(2500, &parent);
    EXPECT_TRUE(modal);
    EXPECT_FALSE(topMost);
    EXPECT_TRUE(seen.isNull());   // released when it closed
    EXPECT_EQ(Get("Protocols\\Pass Through\\Port 2500", "Port"), "1000");

    General::gblnKeepOnTop = true;
    passThru.ShowProperties(2500, &parent);
    EXPECT_TRUE(topMost);
}

TEST_F(PagesTest, EachHandlerOpensItsOwnPage)
{
    const QList<QPair<QString, QString>> expected = {{"Pass Through", "frmProtocolPassThruPP"},
                                                      {"HTTP", "frmProtocolHTTPPP"},
                                                      {"HTTPS", "frmProtocolHTTPSPP"},
                                                      {"POP3", "frmProtocolPOP3PP"},
                                                      {"FTP", "frmProtocolFTPPP"}};
    QWidget parent;
    for (const auto& [name, pageClass] : expected) {
        std::shared_ptr<ProtocolHandler> handler = CreateProtocolHandler(name);
        ASSERT_TRUE(handler) << name.toStdString();
        QString opened;
        QString section;
        ProtocolPropertyPage::SetModalRunner([&](ProtocolPropertyPage* page) {
            opened = QString::fromLatin1(page->metaObject()->className());
            section = page->SettingsSection();
            page->Command1_Click();
        });
        handler->ShowProperties(3000, &parent);
        EXPECT_EQ(opened, pageClass);
        EXPECT_EQ(section, "Protocols\\" + name + "\\Port 3000");
    }
    EXPECT_TRUE(tsy::Settings::GetKeys("Protocols").isEmpty());
}
