#pragma once
// Stand-in for the animation control: Open("X.avi") plays our own "X.gif";
// a missing clip leaves the control empty.
#include <QLabel>

#include <memory>

namespace tsy {

class AnimationControl : public QLabel {
    Q_OBJECT
public:
    explicit AnimationControl(QWidget* parent = nullptr);
    ~AnimationControl() override;
    bool Open(const QString& path);   // .avi resolved to .gif beside it
    void Play();
    void Stop();
    void CloseClip();
    bool IsOpen() const;
    bool IsPlaying() const;

    // A clip's frames, decoded once and shared by every control showing it.
    struct Clip;
    // Moves a playing control on to the frame due at `now` (ms on the shared clock).
    void Advance(qint64 now);

private:
    void ShowFrame(int frame);
    std::shared_ptr<const Clip> mClip;
    int mFrame = 0;
    bool mPlaying = false;
    qint64 mDue = 0;   // when the next frame is due on the shared clock
};

} // namespace tsy
