#include "protocols/frmProtocolPOP3PP.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

frmProtocolPOP3PP::frmProtocolPOP3PP(QWidget* parent)
    : PortPropertyPage(parent, QStringLiteral("POP3 Properties"))
{
    Label1 = AddText(QStringLiteral("In configuring your e-mail client, set the name of your POP3 server to the name "
                                    "of this computer.  In the user name field, change it to your username followed "
                                    "by a '#' followed by the name of your email server.  "));
    Label2 = AddText(QStringLiteral("For example, if your mail server is called mail.example.com and your user name "
                                    "is jsmith, enter jsmith#mail.example.com as the user name."));
    Label3 = new QLabel(QStringLiteral("POP3 Server Port:"));
    txtPort = StoredBox(QStringLiteral("Port"), QStringLiteral("110"));
    Label4 = new QLabel(QStringLiteral("(This is almost always 110)"));

    auto* row = new QHBoxLayout();
    row->addWidget(Label3);
    row->addWidget(txtPort);
    row->addWidget(Label4);
    TabLayout()->addLayout(row);
    FinishLayout();
}
