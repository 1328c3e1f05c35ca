#pragma once
// An arrow of the connection diagram: an animation that remembers the event
// it draws (weakly: the purge may drop the event while the arrow stands) and
// passes a left click on to the main window.
#include "platform/AnimationControl.h"

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
