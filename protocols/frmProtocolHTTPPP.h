#pragma once
// "HTTP Properties": whether an HTTP port connects straight to the web server
// (on a given port when the request names none) or through another proxy.
#include "protocols/ProtocolPropertyPage.h"

class QButtonGroup;
class QFrame;
class QLabel;
class QLineEdit;
class QRadioButton;

class frmProtocolHTTPPP : public PortPropertyPage {
    Q_OBJECT
public:
    explicit frmProtocolHTTPPP(QWidget* parent = nullptr);
    void Form_Load() override;

    QRadioButton* optPort[2] = {nullptr, nullptr};   // 0: direct, 1: via another proxy
    QLineEdit* txtSpecificPort = nullptr;
    QFrame* Frame1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* txtProxyServer = nullptr;

public slots:
    void cmdOK_Click() override;
    void optPort_Click(int Index);

protected:
    // topText: an explanation above the routing choices (none when empty).
    frmProtocolHTTPPP(QWidget* parent, const QString& title, const QString& defaultPort,
                      const QString& defaultSpecificPort, const QString& topText);

private:
    void Build(const QString& topText);

    QButtonGroup* mGroup = nullptr;
    QString mstrDefaultPort;
    QString mstrDefaultSpecificPort;
};
