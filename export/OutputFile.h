#pragma once
// A file the exports create or replace, written through a buffer with every
// failure kept: a write, the final flush and the close are all checked, so a
// full disk is never reported as a success. Failures carry the classic error
// numbers and texts the error log shows.
#include <QByteArray>
#include <QString>

namespace tsy::Export {

struct FileError {
    int number = 0;
    QString description;
};

// The classic number and text for an errno value.
FileError ErrorFromErrno(int err);
// A file name the writers refuse (empty or not absolute).
FileError BadFileName();
// The writer was given no history.
FileError NoHistory();

// Whether the name's last part is empty, "." or "..": it names a folder, and
// cleaned it would name something beside or above it. Every writer refuses
// such a name (52) before it looks at the disk.
bool NamesAFolder(const QString& path);

// Whether path can be created or replaced as a file without touching
// anything else: it names a regular file, or nothing in an existing folder.
// A folder, a device, a pipe or a socket under that name is refused.
bool CanCreateOrReplace(const QString& path, FileError& error);

// Opens path with the given open flags, never blocking: a name that is, or
// turns into, anything but a regular file is refused (a folder 75, a pipe,
// device or socket 52), and so is a name that names a folder (52). Returns
// the descriptor, or -1 with the error; the file's size as opened goes to
// *size when given.
int OpenRegularFile(const QString& path, int flags, FileError& error, qint64* size = nullptr);

// Writes "sentence" + number + ", " + description to the error log.
void Report(const QString& strSentence, const FileError& error);

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();   // closes without checks when Close was not called

    bool Open(const QString& path);   // creates or truncates
    bool Write(const QByteArray& bytes) { return Write(bytes.constData(), bytes.size()); }
    bool Write(const char* data, qsizetype length);
    bool Close();                     // flushes and closes; false when either failed
    const FileError& Error() const { return mError; }

private:
    bool Flush();
    bool WriteOut(const char* data, qsizetype length);
    bool Fail(int err);

    int mFd = -1;
    QByteArray mBuffer;
    FileError mError;
};

// Reads a whole file; false with the error when it cannot.
bool ReadWholeFile(const QString& path, QByteArray& bytes, FileError& error);

} // namespace tsy::Export
