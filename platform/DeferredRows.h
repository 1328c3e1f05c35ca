#pragma once
// The keyed tree and list hand some rows to Qt's view later than to their
// key index. Whatever finds a row by its place on screen (a click, a double
// click, a context menu) must find the rows the keys describe: those views
// hand over what waits first.
#include <QEvent>

namespace tsy {

inline bool FindsRowsByPlace(const QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::ContextMenu: return true;
    default: return false;
    }
}

} // namespace tsy
