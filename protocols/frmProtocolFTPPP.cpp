#include "protocols/frmProtocolFTPPP.h"

#include <QLabel>
#include <QVBoxLayout>

frmProtocolFTPPP::frmProtocolFTPPP(QWidget* parent)
    : ProtocolPropertyPage(parent, QStringLiteral("FTP Properties"))
{
    Label1 = new QLabel(QStringLiteral(
        "In configuring your FTP client, set it to use a proxy server and give the name of this computer as the proxy "
        "server.  As the user id, enter your user id followed by a '@' followed by the name of the FTP site, for "
        "example anonymous@ftp.example.com.  To reach a site on a port other than 21, add a ':' and the port after "
        "the site's name."));
    Label1->setWordWrap(true);
    TabLayout()->addWidget(Label1);
    FinishLayout();
}

void frmProtocolFTPPP::cmdOK_Click()
{
    UnloadPage(true);
}
