#pragma once
// A scroll bar that keeps its last picture and paints a tall bar in strips.
// Qt's raster engine hands fills and lines of many spans (a tall bar's
// groove, frame and handle; a wide bar's frame) to its worker threads, and
// waking them costs several times what the pixels do. The bar is painted
// again at every change of its range, which under traffic is every refresh
// of the socket tree, and whole at every change of view. Drawn once into an
// image (strip by strip when tall) and copied while nothing about it
// changes, the bar comes out pixel for pixel the same. While the pointer is
// over it or a button is down (hover and press states live in Qt's own bar)
// it paints as usual.
#include <QImage>
#include <QPalette>
#include <QScrollBar>

namespace tsy {

class StripScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Look {
        QSize size;
        qreal ratio = 0;
        int state = 0, direction = 0, minimum = 0, maximum = 0, position = 0, pageStep = 0;
        bool upsideDown = false;
        qint64 palette = 0;
        const void* style = nullptr;
        bool operator==(const Look&) const = default;
    };
    Look mLook;
    QImage mPicture;
};

} // namespace tsy
