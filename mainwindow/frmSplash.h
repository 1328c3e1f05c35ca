#pragma once
// The splash window shown while the program starts: our picture with the
// version line over its lower right corner. No border, no caption, no taskbar
// entry, centred on the screen.
#include <QPixmap>
#include <QPointer>
#include <QWidget>

class QLabel;

class frmSplash : public QWidget {
    Q_OBJECT
public:
    static frmSplash* Instance();   // loads it hidden on first use
    static bool IsLoaded();
    static void Unload();

    QLabel* lblVersion = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    frmSplash();
    void Form_Load();
    QPixmap mPicture;
};
