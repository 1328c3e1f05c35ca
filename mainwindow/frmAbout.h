#pragma once
// "About Tessaly": the product name, the version and our working animation.
// Each opening is a new window; OK and the frame close delete it.
#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;

namespace tsy {
class AnimationControl;
}

class frmAbout : public QWidget {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* owner);

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
