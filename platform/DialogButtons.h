#pragma once
// The OK and Cancel buttons of a modal dialog: OK is the default button
// (Enter presses it), and Enter on a focused Cancel cancels.
#include <utility>

class QPushButton;
class QWidget;

namespace tsy {

std::pair<QPushButton*, QPushButton*> OkCancelButtons(QWidget* parent);

} // namespace tsy
