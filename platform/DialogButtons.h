#pragma once
// The OK and Cancel buttons of a modal dialog: OK is the default button
// (Enter presses it), and Enter on a focused Cancel cancels.
#include <utility>

class QKeyEvent;
class QPushButton;
class QWidget;

namespace tsy {

std::pair<QPushButton*, QPushButton*> OkCancelButtons(QWidget* parent);

// For a window that is not a dialog but keys like one: Enter (either key)
// presses enter, Escape presses escape when there is one. True when the key
// was taken.
bool PressForKey(QKeyEvent* event, QPushButton* enter, QPushButton* escape = nullptr);

} // namespace tsy
