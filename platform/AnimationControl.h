#pragma once
// Stand-in for the animation control: Open("X.avi") plays our own "X.gif";
// a missing clip leaves the control empty.
#include <QLabel>
#include <QPointer>

class QMovie;

namespace tsy {

class AnimationControl : public QLabel {
    Q_OBJECT
public:
    explicit AnimationControl(QWidget* parent = nullptr);
    bool Open(const QString& path);   // .avi resolved to .gif beside it
    void Play();
    void Stop();
    void CloseClip();
    bool IsOpen() const;
    bool IsPlaying() const;
private:
    QPointer<QMovie> mMovie;
};

} // namespace tsy
