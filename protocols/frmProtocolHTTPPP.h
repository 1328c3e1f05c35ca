#pragma once
// "HTTP Properties": whether an HTTP port connects straight to the web server
// (on a given port when the request names none) or through another proxy.
#include "protocols/ProtocolPropertyPage.h"

class QButtonGroup;
class QFrame;
class QLabel;
class QLineEdit;
class QRadioButton;

class frmProtocolHTTPPP : public ProtocolPropertyPage {
    Q_OBJECT
public:
    explicit frmProtocolHTTPPP(QWidget* parent = nullptr);
    void Form_Load() override;

    QRadioButton* optPort[2] = {nullptr, nullptr};   // 0: direct, 1: via another proxy
    QLineEdit* txtSpecificPort = nullptr;
    QFrame* Frame1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* txtProxyServer = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* txtPort = nullptr;

public slots:
    void cmdOK_Click() override;
    void optPort_Click(int Index);

protected:
    frmProtocolHTTPPP(QWidget* parent, const QString& title, const QString& defaultPort,
                      const QString& defaultSpecificPort, QWidget* topText);

private:
    void Build(QWidget* topText);

    QButtonGroup* mGroup = nullptr;
    QString mstrDefaultPort;
    QString mstrDefaultSpecificPort;
};
