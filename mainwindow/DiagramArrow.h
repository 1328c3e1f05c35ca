#pragma once
// An arrow of the connection diagram: an animation that remembers the event
// it draws (weakly: the purge may drop the event while the arrow stands) and
// passes a left click on to the main window.
#include "platform/AnimationControl.h"

#include <QFont>
#include <QLabel>
#include <QList>
#include <QRectF>
#include <QStaticText>
#include <QString>
#include <memory>

class SocketEvent;

class DiagramArrow : public tsy::AnimationControl {
    Q_OBJECT
public:
    DiagramArrow(QWidget* parent, int row, bool serverSide);

    std::weak_ptr<SocketEvent> mobjEvent;
    const int mintRow;
    const bool mblnServerSide;   // between the proxy and the server

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool mblnPressed = false;
};

// The caption under an arrow: its text wrapped at word boundaries (a word
// wider than the box anywhere), each line centred, within the caption's box.
// Text that would not fit is drawn smaller, down to a floor; below that its
// last line that fits ends in an ellipsis.
class DiagramCaption : public QLabel {
    Q_OBJECT
public:
    struct Line {
        QString text;   // without the blanks it was broken at
        QRectF rect;    // where it is drawn, in the caption's coordinates
    };
    struct Layout {
        QFont font;
        QList<Line> lines;
        bool whole = true;   // every word of the text is drawn
    };
    // The lines of text, a line break at each "\n", in a box of that size.
    static Layout LayOut(const QString& text, const QFont& font, const QSizeF& box);

    explicit DiagramCaption(QWidget* parent);
    // The lines as drawn at the caption's present text, font and size.
    const Layout& Lines() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    mutable Layout mLayout;
    mutable QList<QStaticText> mGlyphs;   // the lines, shaped once for every repaint
    mutable QString mLaidText;
    mutable QSize mLaidSize;
    mutable QFont mLaidFont;
};
