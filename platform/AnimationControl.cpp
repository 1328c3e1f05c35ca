#include "platform/AnimationControl.h"

#include <QHash>
#include <QImageReader>
#include <QPixmap>
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

} // namespace

AnimationControl::AnimationControl(QWidget* parent) : QLabel(parent)
{
    setAlignment(Qt::AlignCenter);
}

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
    if (!mTimer) {
        mTimer = new QTimer(this);
        mTimer->setSingleShot(true);
        connect(mTimer, &QTimer::timeout, this, [this] {
            if (!mClip) return;
            ShowFrame(int((mFrame + 1) % mClip->frames.size()));
            mTimer->start(mClip->delays[mFrame]);
        });
    }
    mTimer->start(mClip->delays[mFrame]);
}

void AnimationControl::Stop()
{
    if (mTimer) mTimer->stop();
}

void AnimationControl::CloseClip()
{
    if (!mClip) return;
    Stop();
    clear();
    mClip.reset();
}

bool AnimationControl::IsOpen() const { return mClip != nullptr; }

bool AnimationControl::IsPlaying() const { return mTimer && mTimer->isActive(); }

} // namespace tsy
