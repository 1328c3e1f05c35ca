#include "platform/UpDown.h"

#include "platform/Numbers.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace tsy {

UpDown::UpDown(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    const auto arrow = [this, layout](Qt::ArrowType type, const char* name) {
        auto* button = new QToolButton(this);
        button->setObjectName(QString::fromLatin1(name));
        button->setArrowType(type);
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setFixedWidth(16);
        button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
        layout->addWidget(button);
        return button;
    };
    mUp = arrow(Qt::UpArrow, "up");
    mDown = arrow(Qt::DownArrow, "down");
    connect(mUp, &QToolButton::clicked, this, &UpDown::StepUp);
    connect(mDown, &QToolButton::clicked, this, &UpDown::StepDown);
}

void UpDown::SetBuddy(QLineEdit* buddy)
{
    if (mBuddy) mBuddy->removeEventFilter(this);
    mBuddy = buddy;
    if (mBuddy) {
        mBuddy->installEventFilter(this);
        setFixedHeight(mBuddy->sizeHint().height());
    }
}

void UpDown::SetRange(qint64 lo, qint64 hi)
{
    mMin = std::min(lo, hi);
    mMax = std::max(lo, hi);
}

void UpDown::SetIncrement(qint64 step) { mStep = std::max<qint64>(step, 1); }

void UpDown::StepUp() { Step(true); }
void UpDown::StepDown() { Step(false); }

void UpDown::Step(bool up)
{
    if (!mBuddy) return;
    const QString text = Stepped(mBuddy->text(), mMin, mMax, mStep, up);
    if (text != mBuddy->text()) mBuddy->setText(text);
}

QString UpDown::Stepped(const QString& text, qint64 lo, qint64 hi, qint64 step, bool up)
{
    const auto parsed = Numbers::ParseNumeric(text);
    // Kept as a double: the box may hold any number, far beyond 64 bits.
    const double value = parsed ? Numbers::RoundHalfEven(*parsed) : double(lo) - 1.0;
    double next;
    if (up) {
        if (value >= double(hi)) return text;
        next = value < double(lo) ? double(lo) : std::min(value + double(step), double(hi));
    } else {
        if (value <= double(lo)) return text;
        next = value > double(hi) ? double(hi) : std::max(value - double(step), double(lo));
    }
    return QString::number(qint64(next));
}

bool UpDown::eventFilter(QObject* watched, QEvent* event)
{
    // The type first: reading mBuddy while the box is being destroyed (its
    // last events) is a downcast of an object that is no longer a QLineEdit.
    if (event->type() == QEvent::KeyPress && watched == mBuddy) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace tsy
