#include "platform/AnimationControl.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QImageReader>
#include <QPixmap>
#include <QPointer>
#include <QSet>
#include <QTimer>

namespace tsy {

struct AnimationControl::Clip {
    QList<QPixmap> frames;
    QList<int> delays;   // ms before the next frame
};

namespace {

// A diagram page opens a clip per element and is drawn afresh after every
// purge: each clip is decoded once and its frames shared.
std::shared_ptr<const AnimationControl::Clip> LoadClip(const QString& file)
{
    static QHash<QString, std::shared_ptr<const AnimationControl::Clip>> clips;
    if (const auto found = clips.constFind(file); found != clips.constEnd()) return *found;
    QImageReader reader(file);
    auto clip = std::make_shared<AnimationControl::Clip>();
    QImage image;
    while (reader.read(&image)) {
        clip->frames.append(QPixmap::fromImage(image));
        const int delay = reader.nextImageDelay();
        clip->delays.append(delay > 0 ? delay : 100);
        if (!reader.supportsAnimation()) break;
    }
    if (clip->frames.isEmpty()) return nullptr;   // a missing clip is looked for again next time
    clips.insert(file, clip);
    return clip;
}

// One clock for every playing control. A page of the connection diagram
// plays some sixty clips; each with a timer of its own woke the event loop
// hundreds of times a second, and each wake-up painted again. On the shared
// clock the frames that are due change together, at the main window's paint
// cadence, which is as often as a frame change can show anyway.
class Clock : public QObject {
public:
    static constexpr int kTickMs = 40;

    // Made with the first control to play; it goes with the application.
    static Clock* Instance(bool make)
    {
        static QPointer<Clock> clock;
        if (!clock && make && QCoreApplication::instance()) clock = new Clock(QCoreApplication::instance());
        return clock;
    }
    qint64 Now() const { return mSince.elapsed(); }
    void Add(AnimationControl* control)
    {
        mPlaying.insert(control);
        if (!mTimer.isActive()) mTimer.start();
    }
    void Remove(AnimationControl* control)
    {
        mPlaying.remove(control);
        if (mPlaying.isEmpty()) mTimer.stop();
    }

private:
    explicit Clock(QObject* parent) : QObject(parent)
    {
        mSince.start();
        mTimer.setInterval(kTickMs);
        connect(&mTimer, &QTimer::timeout, this, [this] {
            const qint64 now = Now();
            const auto playing = mPlaying;   // a control may stop itself on the way
            for (AnimationControl* control : playing)
                if (mPlaying.contains(control)) control->Advance(now);
        });
    }
    QElapsedTimer mSince;
    QTimer mTimer;
    QSet<AnimationControl*> mPlaying;
};

} // namespace

AnimationControl::AnimationControl(QWidget* parent) : QLabel(parent)
{
    setAlignment(Qt::AlignCenter);
}

AnimationControl::~AnimationControl() { Stop(); }

bool AnimationControl::Open(const QString& path)
{
    CloseClip();
    QString file = path;
    if (file.endsWith(QLatin1String(".avi"), Qt::CaseInsensitive))
        file = file.left(file.size() - 4) + QStringLiteral(".gif");
    mClip = LoadClip(file);
    if (!mClip) return false;   // a missing clip leaves the control empty
    ShowFrame(0);
    return true;
}

void AnimationControl::ShowFrame(int frame)
{
    mFrame = frame;
    setPixmap(mClip->frames[frame]);
}

void AnimationControl::Play()
{
    if (!mClip || mClip->frames.size() < 2 || IsPlaying()) return;
    Clock* clock = Clock::Instance(true);
    if (!clock) return;   // no application, no clock
    mPlaying = true;
    mDue = clock->Now() + mClip->delays[mFrame];
    clock->Add(this);
}

void AnimationControl::Advance(qint64 now)
{
    if (!mPlaying || !mClip) return;
    // Every frame keeps its own delay; after a long stall the clip goes on
    // from where it stands rather than racing through what it missed.
    if (now - mDue > 10000) mDue = now;
    int frame = mFrame;
    while (mDue <= now) {
        frame = int((frame + 1) % mClip->frames.size());
        mDue += mClip->delays[frame];
    }
    if (frame != mFrame) ShowFrame(frame);
}

void AnimationControl::Stop()
{
    if (!mPlaying) return;
    mPlaying = false;
    if (Clock* clock = Clock::Instance(false)) clock->Remove(this);
}

void AnimationControl::CloseClip()
{
    if (!mClip) return;
    Stop();
    clear();
    mClip.reset();
}

bool AnimationControl::IsOpen() const { return mClip != nullptr; }

bool AnimationControl::IsPlaying() const { return mPlaying; }

} // namespace tsy
