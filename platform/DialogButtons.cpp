#include "platform/DialogButtons.h"

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

} // namespace tsy
