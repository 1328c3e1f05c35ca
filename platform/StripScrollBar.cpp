#include "platform/StripScrollBar.h"

#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>

namespace tsy {

void StripScrollBar::paintEvent(QPaintEvent* event)
{
    if (underMouse() || QGuiApplication::mouseButtons() != Qt::NoButton
        || style()->styleHint(QStyle::SH_ScrollBar_Transient, nullptr, this)) {
        mPicture = QImage();
        QScrollBar::paintEvent(event);
        return;
    }
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    opt.subControls = QStyle::SC_All;
    opt.activeSubControls = QStyle::SC_None;
    const qreal ratio = devicePixelRatio();
    const Look look{size(), ratio, int(opt.state), int(opt.direction), opt.minimum, opt.maximum, opt.sliderPosition,
                    opt.pageStep, opt.upsideDown, qint64(opt.palette.cacheKey()), style()};
    if (mPicture.isNull() || !(look == mLook)) {
        mLook = look;
        mPicture = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
        mPicture.setDevicePixelRatio(ratio);
        mPicture.fill(Qt::transparent);
        // The engine shares out what spans more than 96 lines. A strip is
        // drawn whole into an image of its size: the style sets clips of its
        // own, so clipping the bar would not do. (Cut into columns, a wide
        // bar's frame ends come out a shade different: it is drawn whole.)
        constexpr int kStrip = 64;
        const int strip = orientation() == Qt::Vertical ? kStrip : height();
        QPainter picture(&mPicture);
        for (int y = 0; y < height(); y += strip) {
            const QRect part(0, y, width(), std::min(strip, height() - y));
            QImage image(part.size() * ratio, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(ratio);
            image.fill(Qt::transparent);
            {
                QPainter painter(&image);
                painter.translate(-part.topLeft());
                style()->drawComplexControl(QStyle::CC_ScrollBar, &opt, &painter, this);
            }
            picture.drawImage(part.topLeft(), image);
        }
    }
    QPainter painter(this);
    const QRect area = event->rect();
    painter.drawImage(area, mPicture, QRectF(QPointF(area.topLeft()) * ratio, QSizeF(area.size()) * ratio));
}

} // namespace tsy
