#include "protocols/frmProtocolPassThruPP.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

frmProtocolPassThruPP::frmProtocolPassThruPP(QWidget* parent)
    : PortPropertyPage(parent, QStringLiteral("Pass Through Properties"))
{
    Label1 = AddText(QStringLiteral("The pass through protocol connects a remote client to a remote server.  Tessaly "
                                    "mirrors all connection activity so that the client and the server behave as if "
                                    "TSY was not present."));
    Label2 = AddText(QStringLiteral("On receiving a connection request from a remote client, connect to the following "
                                    "computer on the specified port:"));
    Label4 = new QLabel(QStringLiteral("Remote Server:"));
    txtProxyServer = StoredBox(QStringLiteral("Server"), QString::fromLatin1(kDefaultServer));
    Label3 = new QLabel(QStringLiteral("Port:"));
    txtPort = StoredBox(QStringLiteral("Port"), QStringLiteral("1000"));

    auto* grid = new QGridLayout();
    grid->addWidget(Label4, 0, 0);
    grid->addWidget(txtProxyServer, 0, 1);
    grid->addWidget(Label3, 1, 0);
    grid->addWidget(txtPort, 1, 1);
    TabLayout()->addLayout(grid);
    FinishLayout();
}
