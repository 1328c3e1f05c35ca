#include "platform/SingleWindow.h"

#include <QWindow>

namespace tsy {

void ShowOwned(QWidget* window, QWidget* owner)
{
    if (!window) return;
    if (owner && owner->windowHandle()) {
        // The native window exists from here on, hidden, so that it can be
        // told its owner before it is mapped.
        window->winId();
        if (QWindow* handle = window->windowHandle()) handle->setTransientParent(owner->windowHandle());
    }
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace tsy
