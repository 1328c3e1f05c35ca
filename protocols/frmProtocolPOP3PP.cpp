#include "protocols/frmProtocolPOP3PP.h"

#include "platform/Settings.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

frmProtocolPOP3PP::frmProtocolPOP3PP(QWidget* parent)
    : ProtocolPropertyPage(parent, QStringLiteral("POP3 Properties"))
{
    Label1 = new QLabel(QStringLiteral("In configuring your e-mail client, set the name of your POP3 server to the name "
                                       "of this computer.  In the user name field, change it to your username followed "
                                       "by a '#' followed by the name of your email server.  "));
    Label1->setWordWrap(true);
    Label2 = new QLabel(QStringLiteral("For example, if your mail server is called mail.example.com and your user name "
                                       "is jsmith, enter jsmith#mail.example.com as the user name."));
    Label2->setWordWrap(true);
    Label3 = new QLabel(QStringLiteral("POP3 Server Port:"));
    txtPort = new QLineEdit();
    Label4 = new QLabel(QStringLiteral("(This is almost always 110)"));

    TabLayout()->addWidget(Label1);
    TabLayout()->addWidget(Label2);
    auto* row = new QHBoxLayout();
    row->addWidget(Label3);
    row->addWidget(txtPort);
    row->addWidget(Label4);
    TabLayout()->addLayout(row);
    FinishLayout();
}

void frmProtocolPOP3PP::Form_Load()
{
    txtPort->setText(tsy::Settings::GetSetting(SettingsSection(), QStringLiteral("Port"), QStringLiteral("110")));
}

void frmProtocolPOP3PP::cmdOK_Click()
{
    if (!TestPort(txtPort)) return;
    tsy::Settings::SaveSetting(SettingsSection(), QStringLiteral("Port"), txtPort->text());
    UnloadPage(true);
}
