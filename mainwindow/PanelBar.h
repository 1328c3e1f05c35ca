#pragma once
// A bar of text panels, counted from 1: the main window's status bar and its
// two pane title strips. A panel either stretches into the spare width or
// sizes itself to its text (with a minimum); the clock panel keeps the time
// of day up to date on its own.
#include <QFrame>
#include <QList>
#include <QString>

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

signals:
    void PanelDblClick(int index);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void UpdateClock();
    QList<QLabel*> mPanels;
    QTimer* mClock = nullptr;
};
