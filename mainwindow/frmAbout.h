#pragma once
// "About Tessaly": the product name, the version and our working animation.
// The command shows one window at a time (a second command brings it
// forward); OK and the frame close delete it.
#include <QWidget>

#include "platform/SingleWindow.h"

class QFrame;
class QLabel;
class QPushButton;

namespace tsy {
class AnimationControl;
}

class frmAbout : public tsy::SingleWindow<frmAbout, QWidget> {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* owner);
    // The window the command shows, made (owned by owner) when there is none.
    static frmAbout* Instance(QWidget* owner);

    QLabel* Label1 = nullptr;
    QLabel* lblBuild = nullptr;
    QFrame* panAniHolder = nullptr;
    tsy::AnimationControl* aniAnimation = nullptr;
    QPushButton* cmdOk = nullptr;

public slots:
    void cmdOk_Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Form_Load();
    bool mblnCentred = false;
};
