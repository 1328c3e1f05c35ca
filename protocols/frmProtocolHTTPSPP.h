#pragma once
// "HTTPS Properties": tells how to set up a browser for the tunnel. The
// routing fields of the HTTP page are kept but hidden; OK stores what they hold.
#include "protocols/frmProtocolHTTPPP.h"

class frmProtocolHTTPSPP : public frmProtocolHTTPPP {
    Q_OBJECT
public:
    explicit frmProtocolHTTPSPP(QWidget* parent = nullptr);

    QLabel* Label1 = nullptr;
};
