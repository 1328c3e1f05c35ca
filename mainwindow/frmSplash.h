#pragma once
// The splash window shown while the program starts: our picture with the
// version line over its lower right corner. No border, no caption, no taskbar
// entry, centred on the screen.
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include "platform/SingleWindow.h"

class QLabel;

// Loaded hidden on first use.
class frmSplash : public tsy::SingleInstance<frmSplash, QWidget> {
    Q_OBJECT
    friend Lifecycle;

public:
    static void Unload();

    QLabel* lblVersion = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    frmSplash();
    void Form_Load();
    QPixmap mPicture;
};
