#pragma once
// "POP3 Properties": how to set up a mail client, and the mail server's port.
#include "protocols/ProtocolPropertyPage.h"

class QLabel;
class QLineEdit;

class frmProtocolPOP3PP : public PortPropertyPage {
    Q_OBJECT
public:
    explicit frmProtocolPOP3PP(QWidget* parent = nullptr);

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label4 = nullptr;
};
