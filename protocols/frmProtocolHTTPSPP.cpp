#include "protocols/frmProtocolHTTPSPP.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

frmProtocolHTTPSPP::frmProtocolHTTPSPP(QWidget* parent)
    : frmProtocolHTTPPP(
          parent, QStringLiteral("HTTPS Properties"), QStringLiteral("443"), QStringLiteral("443"),
          QStringLiteral(
              "To use HTTPS ensure that your web browser is configured so that its secure socket port (generally 443) is "
              "different to its non-secure HTTP socket port (generally 80 or 8080). In Internet Explorer's, this is dones be "
              "checking off the 'Use the same proxy server for all protocols' option."))
{
    Label1 = findChild<QLabel*>(QStringLiteral("Label1"));
    Frame1->hide();
    optPort[0]->hide();
    optPort[1]->hide();
    txtSpecificPort->hide();
    FinishLayout();
}
