#include "platform/DialogButtons.h"

#include <QKeyEvent>
#include <QPushButton>

namespace tsy {

std::pair<QPushButton*, QPushButton*> OkCancelButtons(QWidget* parent)
{
    auto* ok = new QPushButton(QStringLiteral("OK"), parent);
    ok->setDefault(true);
    ok->setAutoDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), parent);
    cancel->setAutoDefault(true);
    return {ok, cancel};
}

bool PressForKey(QKeyEvent* event, QPushButton* enter, QPushButton* escape)
{
    QPushButton* pressed = nullptr;
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) pressed = enter;
    else if (event->key() == Qt::Key_Escape) pressed = escape;
    if (!pressed) return false;
    pressed->click();
    return true;
}

} // namespace tsy
