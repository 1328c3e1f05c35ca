#include "platform/AnimationControl.h"

#include <QFileInfo>
#include <QMovie>

namespace tsy {

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
    if (!QFileInfo::exists(file)) return false;   // a missing clip leaves the control empty
    auto* movie = new QMovie(file, QByteArray(), this);
    if (!movie->isValid()) {
        delete movie;
        return false;
    }
    mMovie = movie;
    setMovie(movie);
    movie->jumpToFrame(0);
    return true;
}

void AnimationControl::Play()
{
    if (mMovie && mMovie->state() != QMovie::Running) mMovie->start();
}

void AnimationControl::Stop()
{
    if (mMovie) mMovie->setPaused(true);
}

void AnimationControl::CloseClip()
{
    if (!mMovie) return;
    mMovie->stop();
    clear();
    delete mMovie.data();
}

bool AnimationControl::IsOpen() const { return !mMovie.isNull(); }

bool AnimationControl::IsPlaying() const { return mMovie && mMovie->state() == QMovie::Running; }

} // namespace tsy
