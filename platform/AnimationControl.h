#pragma once
// Stand-in for the animation control: Open("X.avi") plays our own "X.gif";
// a missing clip leaves the control empty.
#include <QLabel>

#include <memory>

class QTimer;

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

    // A clip's frames, decoded once and shared by every control showing it.
    struct Clip;
private:
    void ShowFrame(int frame);
    std::shared_ptr<const Clip> mClip;
    int mFrame = 0;
    QTimer* mTimer = nullptr;
};

} // namespace tsy
