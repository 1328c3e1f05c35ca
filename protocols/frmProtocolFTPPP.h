#pragma once
// "FTP Properties": how to set up an FTP client; stores nothing.
#include "protocols/ProtocolPropertyPage.h"

class QLabel;

class frmProtocolFTPPP : public ProtocolPropertyPage {
    Q_OBJECT
public:
    explicit frmProtocolFTPPP(QWidget* parent = nullptr);
    void Form_Load() override {}

    QLabel* Label1 = nullptr;

public slots:
    void cmdOK_Click() override;
};
