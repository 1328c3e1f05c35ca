#include "platform/StripScrollBar.h"

#include <QGuiApplication>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>

namespace tsy {

void StripScrollBar::paintEvent(QPaintEvent* event)
{
    constexpr int kStrip = 64;   // lines; the engine shares out fills of more than 96
    const QRect area = event->rect();
    if (orientation() != Qt::Vertical || area.height() <= kStrip || underMouse()
        || QGuiApplication::mouseButtons() != Qt::NoButton || style()->styleHint(QStyle::SH_ScrollBar_Transient, nullptr, this)) {
        QScrollBar::paintEvent(event);
        return;
    }
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    opt.subControls = QStyle::SC_All;
    opt.activeSubControls = QStyle::SC_None;
    const qreal ratio = devicePixelRatio();
    QPainter painter(this);
    for (int y = area.top(); y <= area.bottom(); y += kStrip) {
        const QRect strip(area.left(), y, area.width(), std::min(kStrip, area.bottom() + 1 - y));
        // The style sets clips of its own, so each strip is drawn whole into
        // an image of its size rather than clipped on the bar.
        QImage image(strip.size() * ratio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        {
            QPainter stripPainter(&image);
            stripPainter.translate(-strip.topLeft());
            style()->drawComplexControl(QStyle::CC_ScrollBar, &opt, &stripPainter, this);
        }
        painter.drawImage(strip.topLeft(), image);
    }
}

} // namespace tsy
