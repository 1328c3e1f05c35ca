#include "platform/AnimationControl.h"

#include <QBuffer>
#include <QFile>
#include <QHash>
#include <QMovie>

namespace tsy {

namespace {

// A diagram page opens a clip per element and is drawn afresh after every
// purge, so each clip file is read once and then played from memory.
QByteArray ClipBytes(const QString& file)
{
    static QHash<QString, QByteArray> clips;
    const auto found = clips.constFind(file);
    if (found != clips.constEnd()) return *found;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) return {};   // a missing clip is looked for again next time
    const QByteArray bytes = f.readAll();
    if (!bytes.isEmpty()) clips.insert(file, bytes);
    return bytes;
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
    const QByteArray bytes = ClipBytes(file);
    if (bytes.isEmpty()) return false;   // a missing clip leaves the control empty
    auto* movie = new QMovie(this);
    auto* buffer = new QBuffer(movie);
    buffer->setData(bytes);
    movie->setDevice(buffer);
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
