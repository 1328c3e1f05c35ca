#pragma once
// "Pass Through Properties": the remote server and port a Pass Through
// listening port relays to.
#include "protocols/ProtocolPropertyPage.h"

class QLabel;
class QLineEdit;

class frmProtocolPassThruPP : public PortPropertyPage {
    Q_OBJECT
public:
    explicit frmProtocolPassThruPP(QWidget* parent = nullptr);

    // Shown until the user names the real server; never resolves.
    static constexpr const char* kDefaultServer = "enter-remote-server-name.invalid";

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* txtProxyServer = nullptr;
};
