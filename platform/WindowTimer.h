#pragma once
// Stand-in for a window timer: an interval in ms and an enabled flag. It
// fires once per interval while enabled and the interval is at least 1 ms;
// an interval of 0 keeps it silent whatever the flag says.
#include <QObject>
#include <QTimer>

namespace tsy {

class WindowTimer : public QObject {
    Q_OBJECT
public:
    explicit WindowTimer(QObject* parent = nullptr, int intervalMs = 0, bool enabled = false);
    int Interval() const { return mInterval; }
    void SetInterval(int ms);
    bool Enabled() const { return mEnabled; }
    void SetEnabled(bool on);
signals:
    void Timer();
private:
    void apply();
    QTimer mTimer;
    int mInterval = 0;
    bool mEnabled = false;
};

} // namespace tsy
