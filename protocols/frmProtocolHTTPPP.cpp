#include "protocols/frmProtocolHTTPPP.h"

#include "platform/Settings.h"
#include "protocols/HttpRouting.h"

#include <QButtonGroup>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {
QString TrueFalse(bool b) { return b ? QStringLiteral("True") : QStringLiteral("False"); }

bool Truth(const QString& text)
{
    bool value = false;
    return HttpRouting::ParseTruth(text, &value) && value;
}
} // namespace

frmProtocolHTTPPP::frmProtocolHTTPPP(QWidget* parent)
    : frmProtocolHTTPPP(parent, QStringLiteral("HTTP Properties"), QStringLiteral("8080"), QStringLiteral("80"), QString())
{
    FinishLayout();
}

frmProtocolHTTPPP::frmProtocolHTTPPP(QWidget* parent, const QString& title, const QString& defaultPort,
                                     const QString& defaultSpecificPort, const QString& topText)
    : PortPropertyPage(parent, title), mstrDefaultPort(defaultPort), mstrDefaultSpecificPort(defaultSpecificPort)
{
    Build(topText);
}

void frmProtocolHTTPPP::Build(const QString& topText)
{
    if (!topText.isEmpty()) AddText(topText)->setObjectName(QStringLiteral("Label1"));
    optPort[0] = new QRadioButton(QStringLiteral("On the web server, connect to port:"));
    optPort[1] = new QRadioButton(QStringLiteral("Connect via another proxy"));
    mGroup = new QButtonGroup(this);
    mGroup->addButton(optPort[0], 0);
    mGroup->addButton(optPort[1], 1);
    optPort[0]->setChecked(true);
    txtSpecificPort = StoredBox(QStringLiteral("SpecificPort"), mstrDefaultSpecificPort);
    txtSpecificPort->setText(mstrDefaultSpecificPort);

    Frame1 = new QFrame();
    Frame1->setFrameShape(QFrame::StyledPanel);
    Label2 = new QLabel(QStringLiteral("Proxy server:"));
    txtProxyServer = StoredBox(QStringLiteral("Proxy"), QString::fromLatin1(HttpRouting::kPlaceholderProxy));
    Label3 = new QLabel(QStringLiteral("Port:"));
    txtPort = StoredBox(QStringLiteral("Port"), mstrDefaultPort);
    auto* grid = new QGridLayout(Frame1);
    grid->addWidget(Label2, 0, 0);
    grid->addWidget(txtProxyServer, 0, 1);
    grid->addWidget(Label3, 1, 0);
    grid->addWidget(txtPort, 1, 1);

    auto* direct = new QHBoxLayout();
    direct->addWidget(optPort[0]);
    direct->addWidget(txtSpecificPort);
    TabLayout()->addLayout(direct);
    TabLayout()->addWidget(optPort[1]);
    TabLayout()->addWidget(Frame1);

    // Only the user's clicks run the handler; the load runs it once itself.
    connect(optPort[0], &QRadioButton::clicked, this, [this] { optPort_Click(0); });
    connect(optPort[1], &QRadioButton::clicked, this, [this] { optPort_Click(1); });
}

void frmProtocolHTTPPP::Form_Load()
{
    const QString section = SettingsSection();
    const bool toPort = Truth(tsy::Settings::GetSetting(section, QStringLiteral("ConnectToPort"), QStringLiteral("True")));
    const bool toProxy =
        Truth(tsy::Settings::GetSetting(section, QStringLiteral("ConnectToProxy"), QStringLiteral("False")));
    // Selecting one button clears the other and the later one wins; both
    // stored False leaves neither selected, which an exclusive group would
    // not allow, so the group is opened while the values go in.
    mGroup->setExclusive(false);
    optPort[0]->setChecked(toPort);
    if (toProxy) optPort[0]->setChecked(false);
    optPort[1]->setChecked(toProxy);
    mGroup->setExclusive(true);

    LoadBoxes();
    optPort_Click(0);
}

void frmProtocolHTTPPP::optPort_Click(int Index)
{
    Q_UNUSED(Index);
    const bool viaProxy = !optPort[0]->isChecked();
    txtPort->setEnabled(viaProxy);
    txtProxyServer->setEnabled(viaProxy);
}

void frmProtocolHTTPPP::cmdOK_Click()
{
    if (optPort[1]->isChecked() && !TestPort(txtPort)) return;
    if (optPort[0]->isChecked() && !TestPort(txtSpecificPort)) return;

    const QString section = SettingsSection();
    tsy::Settings::SaveSetting(section, QStringLiteral("ConnectToPort"), TrueFalse(optPort[0]->isChecked()));
    tsy::Settings::SaveSetting(section, QStringLiteral("ConnectToProxy"), TrueFalse(optPort[1]->isChecked()));
    StoreBoxes();
    UnloadPage(true);
}
