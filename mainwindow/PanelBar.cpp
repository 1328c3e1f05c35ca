#include "mainwindow/PanelBar.h"

#include "platform/Runtime.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QTime>
#include <QTimer>

PanelBar::PanelBar(QWidget* parent) : QFrame(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(2);
    mShow = new QTimer(this);
    mShow->setSingleShot(true);
    connect(mShow, &QTimer::timeout, this, &PanelBar::ShowTexts);
}

void PanelBar::AddPanel(Sizing sizing, int minWidthTwips, Style style)
{
    auto* panel = new QLabel(this);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setMinimumWidth(tsy::Runtime::TwipsToPixels(minWidthTwips));
    // A spring panel gives way when space is short; a content panel never
    // gets narrower than its text.
    panel->setSizePolicy(sizing == Sizing::Spring ? QSizePolicy::Ignored : QSizePolicy::Minimum, QSizePolicy::Preferred);
    panel->setTextInteractionFlags(Qt::NoTextInteraction);
    panel->setIndent(3);
    panel->installEventFilter(this);
    auto* box = static_cast<QHBoxLayout*>(layout());
    box->addWidget(panel, sizing == Sizing::Spring ? 1 : 0);
    mPanels.append(panel);
    mTexts.append(QString());
    if (style == Style::Time) {
        if (!mClock) {
            mClock = new QTimer(this);
            connect(mClock, &QTimer::timeout, this, &PanelBar::UpdateClock);
            mClock->start(1000);
        }
        panel->setProperty("tsyClock", true);
        UpdateClock();
    }
}

QLabel* PanelBar::Panel(int index) const
{
    if (index < 1 || index > mPanels.size()) return nullptr;
    return mPanels[index - 1];
}

QString PanelBar::PanelText(int index) const
{
    return Panel(index) ? mTexts[index - 1] : QString();
}

void PanelBar::SetPanelText(int index, const QString& text)
{
    if (!Panel(index) || mTexts[index - 1] == text) return;
    mTexts[index - 1] = text;
    if (mShow->isActive()) return;
    const qint64 since = mShown.isValid() ? mShown.elapsed() : kShowMs;
    if (since >= kShowMs) ShowTexts();
    else mShow->start(int(kShowMs - since));
}

void PanelBar::ShowTexts()
{
    mShow->stop();
    for (int i = 0; i < mPanels.size(); ++i) mPanels[i]->setText(mTexts[i]);
    mShown.start();
}

void PanelBar::UpdateClock()
{
    const QString now = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    for (int i = 0; i < mPanels.size(); ++i)
        if (mPanels[i]->property("tsyClock").toBool()) {
            mTexts[i] = now;
            mPanels[i]->setText(now);
        }
}

bool PanelBar::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        const int i = int(mPanels.indexOf(static_cast<QLabel*>(watched)));
        if (i >= 0) emit PanelDblClick(i + 1);
    }
    return QFrame::eventFilter(watched, event);
}
