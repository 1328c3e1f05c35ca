#include "export/OutputFile.h"
#include "engine/frmError.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tsy::Export {

namespace {
constexpr qsizetype kBufferSize = 1 << 20;
}

FileError ErrorFromErrno(int err)
{
    switch (err) {
    case ENOSPC:
    case EDQUOT: return {61, QStringLiteral("Disk full")};
    case EACCES:
    case EPERM:
    case EROFS: return {70, QStringLiteral("Permission denied")};
    case ENOENT:
    case ENOTDIR: return {76, QStringLiteral("Path not found")};
    case EISDIR: return {75, QStringLiteral("Path/File access error")};
    case EMFILE:
    case ENFILE: return {67, QStringLiteral("Too many files")};
    case ENAMETOOLONG:
    case ENXIO: return BadFileName();   // a pipe without a reader, a socket, a missing device
    default: return {57, QStringLiteral("Device I/O error (") + QString::fromLocal8Bit(std::strerror(err)) + QStringLiteral(")")};
    }
}

FileError BadFileName() { return {52, QStringLiteral("Bad file name or number")}; }

FileError NoHistory() { return {91, QStringLiteral("Object variable or With block variable not set")}; }

namespace {
FileError NotRegular(mode_t mode) { return S_ISDIR(mode) ? ErrorFromErrno(EISDIR) : BadFileName(); }
} // namespace

bool NamesAFolder(const QString& path)
{
    const QStringView last = QStringView(path).mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    return last.isEmpty() || last == QLatin1String(".") || last == QLatin1String("..");
}

bool CanCreateOrReplace(const QString& path, FileError& error)
{
    if (NamesAFolder(path)) {
        error = BadFileName();
        return false;
    }
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        if (S_ISREG(st.st_mode)) return true;
        // Opening a device or a pipe for writing may block or write to it.
        error = NotRegular(st.st_mode);
        return false;
    }
    if (errno != ENOENT) {
        error = ErrorFromErrno(errno);
        return false;
    }
    const QString folder = QFileInfo(path).path();
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0) {
        error = ErrorFromErrno(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = ErrorFromErrno(ENOTDIR);
        return false;
    }
    return true;
}

int OpenRegularFile(const QString& path, int flags, FileError& error, qint64* size)
{
    if (NamesAFolder(path)) {
        error = BadFileName();
        return -1;
    }
    const QByteArray name = QFile::encodeName(path);
    // Without O_NONBLOCK, opening a pipe waits for a reader and the whole
    // program with it; a name may turn into a pipe after any check of it.
    const int fd = ::open(name.constData(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = ErrorFromErrno(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = ErrorFromErrno(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        error = NotRegular(st.st_mode);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (size) *size = qint64(st.st_size);
    return fd;
}

void Report(const QString& strSentence, const FileError& error)
{
    frmError::LogError(strSentence + QString::number(error.number) + QStringLiteral(", ") + error.description);
}

OutputFile::~OutputFile()
{
    if (mFd >= 0) ::close(mFd);
}

bool OutputFile::Fail(int err)
{
    if (mError.number == 0) mError = ErrorFromErrno(err);
    return false;
}

bool OutputFile::Open(const QString& path)
{
    // The check gives the classic numbers for what is there now; the open
    // itself refuses whatever took its place since.
    if (!CanCreateOrReplace(path, mError)) return false;
    mFd = OpenRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, mError);
    return mFd >= 0;
}

bool OutputFile::WriteOut(const char* data, qsizetype length)
{
    while (length > 0) {
        const ssize_t n = ::write(mFd, data, size_t(length));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        data += n;
        length -= n;
    }
    return true;
}

bool OutputFile::Flush()
{
    if (mBuffer.isEmpty()) return true;
    const bool ok = WriteOut(mBuffer.constData(), mBuffer.size());
    mBuffer.resize(0);
    return ok;
}

bool OutputFile::Write(const char* data, qsizetype length)
{
    if (mFd < 0 || mError.number != 0) return false;
    // Large pieces go straight to the file; small ones are gathered.
    if (mBuffer.size() + length > kBufferSize) {
        if (!Flush()) return false;
        if (length >= kBufferSize) return WriteOut(data, length);
    }
    if (mBuffer.capacity() < kBufferSize) mBuffer.reserve(kBufferSize);
    mBuffer.append(data, length);
    return true;
}

bool OutputFile::Close()
{
    if (mFd < 0) return false;
    bool ok = mError.number == 0 && Flush();
    if (::close(mFd) != 0 && ok) ok = Fail(errno);
    mFd = -1;
    return ok && mError.number == 0;
}

bool ReadWholeFile(const QString& path, QByteArray& bytes, FileError& error)
{
    QFile f(path);
    errno = 0;
    if (!f.open(QIODevice::ReadOnly)) {
        error = ErrorFromErrno(errno ? errno : EACCES);
        return false;
    }
    bytes = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        error = ErrorFromErrno(errno ? errno : EIO);
        return false;
    }
    return true;
}

} // namespace tsy::Export
