#pragma once
// A scroll bar that paints a tall bar in strips. Qt's raster engine hands
// every fill more than 96 lines high to its worker threads; a narrow bar's
// groove, frame and handle are each such a fill, and waking the threads costs
// several times what the pixels do (a bar is painted at every change of its
// range, which under traffic is every refresh of the socket tree). Painted
// strip by strip into a small image, the bar comes out pixel for pixel the
// same. While the pointer is over it or a button is down (hover and press
// states live in Qt's own bar) it paints as usual.
#include <QScrollBar>

namespace tsy {

class StripScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace tsy
