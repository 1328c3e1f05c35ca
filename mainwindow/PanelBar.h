#pragma once
// A bar of text panels, counted from 1: the main window's status bar and its
// two pane title strips. A panel either stretches into the spare width or
// sizes itself to its text (with a minimum); the clock panel keeps the time
// of day up to date on its own.
#include <QElapsedTimer>
#include <QFrame>
#include <QList>
#include <QString>
#include <QStringList>

class QLabel;
class QTimer;

class PanelBar : public QFrame {
    Q_OBJECT
public:
    enum class Sizing { Spring, Content };
    enum class Style { Text, Time };

    explicit PanelBar(QWidget* parent = nullptr);

    // Adds a panel at the end; minWidthTwips is its least width.
    void AddPanel(Sizing sizing, int minWidthTwips, Style style = Style::Text);
    int PanelCount() const { return int(mPanels.size()); }
    QString PanelText(int index) const;                 // "" for a panel that does not exist
    void SetPanelText(int index, const QString& text);  // ignored for a panel that does not exist
    QLabel* Panel(int index) const;                     // nullptr when it does not exist

    // A changed text relays the bar out: texts set within kShowMs of the last
    // one shown reach their panels together (PanelText has them at once), so
    // a count set at every relayed event costs one layout per kShowMs.
    static constexpr int kShowMs = 40;

signals:
    void PanelDblClick(int index);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void UpdateClock();
    void ShowTexts();
    QList<QLabel*> mPanels;
    QStringList mTexts;   // what each panel shows, or will at the next ShowTexts
    QTimer* mShow = nullptr;
    QElapsedTimer mShown;
    QTimer* mClock = nullptr;
};
