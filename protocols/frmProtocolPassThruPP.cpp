#include "protocols/frmProtocolPassThruPP.h"

#include "platform/Settings.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

frmProtocolPassThruPP::frmProtocolPassThruPP(QWidget* parent)
    : ProtocolPropertyPage(parent, QStringLiteral("Pass Through Properties"))
{
    Label1 = new QLabel(QStringLiteral("The pass through protocol connects a remote client to a remote server.  Tessaly "
                                       "mirrors all connection activity so that the client and the server behave as if "
                                       "TSY was not present."));
    Label1->setWordWrap(true);
    Label2 = new QLabel(QStringLiteral("On receiving a connection request from a remote client, connect to the following "
                                       "computer on the specified port:"));
    Label2->setWordWrap(true);
    Label4 = new QLabel(QStringLiteral("Remote Server:"));
    txtProxyServer = new QLineEdit();
    Label3 = new QLabel(QStringLiteral("Port:"));
    txtPort = new QLineEdit();

    TabLayout()->addWidget(Label1);
    TabLayout()->addWidget(Label2);
    auto* grid = new QGridLayout();
    grid->addWidget(Label4, 0, 0);
    grid->addWidget(txtProxyServer, 0, 1);
    grid->addWidget(Label3, 1, 0);
    grid->addWidget(txtPort, 1, 1);
    TabLayout()->addLayout(grid);
    FinishLayout();
}

void frmProtocolPassThruPP::Form_Load()
{
    const QString section = SettingsSection();
    txtPort->setText(tsy::Settings::GetSetting(section, QStringLiteral("Port"), QStringLiteral("1000")));
    txtProxyServer->setText(
        tsy::Settings::GetSetting(section, QStringLiteral("Server"), QString::fromLatin1(kDefaultServer)));
}

void frmProtocolPassThruPP::cmdOK_Click()
{
    if (!TestPort(txtPort)) return;
    const QString section = SettingsSection();
    tsy::Settings::SaveSetting(section, QStringLiteral("Port"), txtPort->text());
    tsy::Settings::SaveSetting(section, QStringLiteral("Server"), txtProxyServer->text());
    UnloadPage(true);
}
