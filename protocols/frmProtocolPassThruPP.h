#pragma once
// "Pass Through Properties": the remote server and port a Pass Through
// listening port relays to.
#include "protocols/ProtocolPropertyPage.h"

class QLabel;
class QLineEdit;

class frmProtocolPassThruPP : public ProtocolPropertyPage {
    Q_OBJECT
public:
    explicit frmProtocolPassThruPP(QWidget* parent = nullptr);
    void Form_Load() override;

    // Shown until the user names the real server; never resolves.
    static constexpr const char* kDefaultServer = "enter-remote-server-name.invalid";

    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* txtProxyServer = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* txtPort = nullptr;

public slots:
    void cmdOK_Click() override;
};
