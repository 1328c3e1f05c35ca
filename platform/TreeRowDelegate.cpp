#include "platform/TreeRowDelegate.h"

#include <QPainter>

namespace tsy {

QSize TreeRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QString text = index.data(Qt::DisplayRole).toString();
    if (const auto it = mSizes.constFind(text); it != mSizes.constEnd()) return *it;
    const QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (mSizes.size() > 20000) mSizes.clear();
    mSizes.insert(text, size);
    return size;
}

void TreeRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    constexpr QStyle::State kLive = QStyle::State_Selected | QStyle::State_MouseOver | QStyle::State_HasFocus
        | QStyle::State_Editing;
    if ((opt.state & kLive) || opt.backgroundBrush.style() != Qt::NoBrush || opt.rect.isEmpty()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
    const QChar sep(0x1f);
    const QString key = opt.text + sep + QString::number(opt.icon.cacheKey()) + sep + QString::number(opt.rect.width())
        + sep + QString::number(opt.rect.height()) + sep + QString::number(int(opt.state)) + sep
        + QString::number(int(opt.features)) + sep + QString::number(opt.palette.cacheKey()) + sep + opt.font.key()
        + sep + QString::number(ratio) + sep + QString::number(int(opt.direction)) + sep
        + QString::number(int(opt.displayAlignment)) + sep + QString::number(int(opt.textElideMode)) + sep
        + QString::number(opt.decorationSize.width()) + sep + QString::number(int(opt.checkState));
    auto it = mRows.constFind(key);
    if (it == mRows.constEnd()) {
        // Drawn on a clear picture: copied over the view's background the
        // result is the row as drawn in place.
        QImage row(opt.rect.size() * ratio, QImage::Format_ARGB32_Premultiplied);
        row.setDevicePixelRatio(ratio);
        row.fill(Qt::transparent);
        {
            QPainter rowPainter(&row);
            QStyleOptionViewItem at = option;
            at.rect.moveTo(0, 0);
            QStyledItemDelegate::paint(&rowPainter, at, index);
        }
        if (mRows.size() >= 256) mRows.clear();
        it = mRows.insert(key, row);
    }
    painter->drawImage(opt.rect.topLeft(), *it);
}

} // namespace tsy
