#pragma once
// Stand-in for the up-down control: two arrow buttons beside a text box that
// step the number in it. The box itself takes any text.
#include <QLineEdit>
#include <QPointer>
#include <QString>
#include <QWidget>

class QToolButton;

namespace tsy {

class UpDown : public QWidget {
    Q_OBJECT
public:
    explicit UpDown(QWidget* parent = nullptr);

    void SetBuddy(QLineEdit* buddy);   // the Up and Down keys in it step too
    QLineEdit* Buddy() const { return mBuddy; }
    void SetRange(qint64 lo, qint64 hi);
    void SetIncrement(qint64 step);
    qint64 Min() const { return mMin; }
    qint64 Max() const { return mMax; }
    qint64 Increment() const { return mStep; }

    void StepUp();
    void StepDown();

    // The buddy's text after one arrow press. Inside the range the number
    // moves one step, stopping at the edge; from outside the range the arrow
    // towards it goes to the edge and the other leaves the text alone; an
    // arrow never moves the number against its direction. Text that is not a
    // number counts as below the range.
    static QString Stepped(const QString& text, qint64 lo, qint64 hi, qint64 step, bool up);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Step(bool up);

    QPointer<QLineEdit> mBuddy;
    QToolButton* mUp = nullptr;
    QToolButton* mDown = nullptr;
    qint64 mMin = 0;
    qint64 mMax = 100;
    qint64 mStep = 1;
};

} // namespace tsy
