#pragma once
// The socket tree's item painter. Every node has the same font and icon
// size, so the size of each text is measured once; and a row that is neither
// selected, current nor under the pointer is drawn once into a picture that
// later rows with the same text, icon and width copy. Laying a row's text out
// is most of a tree repaint, and the tree repaints its open branch of event
// nodes at every refresh under traffic, nearly all alike. The copies show the
// same pixels.
#include <QHash>
#include <QImage>
#include <QStyledItemDelegate>

namespace tsy {

class TreeRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    mutable QHash<QString, QSize> mSizes;
    mutable QHash<QString, QImage> mRows;
};

} // namespace tsy
