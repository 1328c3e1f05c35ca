// Binding to libTSYFMT10.so. The library is opened by its full path beside
// the program at the first call and kept open; while it (or one of its
// entries) cannot be found, every call fails and is tried again next time,
// so a library put back in place is picked up without a restart.
#include "platform/FormatLibrary.h"
#include "platform/Runtime.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <climits>
#include <cstring>
#include <dlfcn.h>

namespace tsy::FormatLibrary {

namespace {

using RequiredLengthFn = int (*)(int, unsigned char, int);
using FormatTextFn = int (*)(const unsigned char*, char*, unsigned char, int, int);

// Error numbers and texts as the program's error log reports them.
constexpr int kErrInvalidCall = 5;
constexpr int kErrOverflow = 6;
constexpr int kErrLoadingLibrary = 48;
constexpr int kErrFileNotFound = 53;
constexpr int kErrEntryNotFound = 453;

struct Binding {
    QString overridePath;     // empty: beside the program
    void* handle = nullptr;
    RequiredLengthFn requiredLength = nullptr;
    FormatTextFn formatText = nullptr;
};

Binding& TheBinding()
{
    static Binding b;
    return b;
}

void Unbind(Binding& b)
{
    if (b.handle)
        dlclose(b.handle);
    b.handle = nullptr;
    b.requiredLength = nullptr;
    b.formatText = nullptr;
}

Result Failure(int number, const QString& text)
{
    Result r;
    r.ok = false;
    r.errorNumber = number;
    r.errorText = text;
    return r;
}

// Opens the library and finds both entries; on failure fills *failure.
bool Bind(Binding& b, Result* failure)
{
    if (b.handle && b.requiredLength && b.formatText)
        return true;
    Unbind(b);

    const QString path = LibraryPath();
    if (!QFileInfo::exists(path)) {
        *failure = Failure(kErrFileNotFound, QStringLiteral("File not found: %1").arg(path));
        return false;
    }
    void* h = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* why = dlerror();
        *failure = Failure(kErrLoadingLibrary, QStringLiteral("Error in loading library %1 (%2)")
                                                   .arg(path, QString::fromLocal8Bit(why ? why : "")));
        return false;
    }
    auto required = reinterpret_cast<RequiredLengthFn>(dlsym(h, "FormatTextRequiredLength"));
    auto format = reinterpret_cast<FormatTextFn>(dlsym(h, "FormatText"));
    if (!required || !format) {
        dlclose(h);
        *failure = Failure(kErrEntryNotFound,
                           QStringLiteral("Can't find library entry point %1 in %2")
                               .arg(required ? QStringLiteral("FormatText")
                                             : QStringLiteral("FormatTextRequiredLength"),
                                    path));
        return false;
    }
    b.handle = h;
    b.requiredLength = required;
    b.formatText = format;
    return true;
}

} // namespace

Result Format(const QByteArray& data, char format, int bytesPerRow)
{
    Binding& b = TheBinding();
    Result r;
    if (!Bind(b, &r))
        return r;

    if (data.size() > INT_MAX)
        return Failure(kErrOverflow, QStringLiteral("Overflow"));
    const int length = static_cast<int>(data.size());
    const auto code = static_cast<unsigned char>(format);

    const int required = b.requiredLength(length, code, bytesPerRow);
    if (required < 1)
        return Failure(kErrOverflow, QStringLiteral("Overflow"));

    QByteArray buffer(required, '\0');
    const int written = b.formatText(reinterpret_cast<const unsigned char*>(data.constData()),
                                     buffer.data(), code, bytesPerRow, length);
    // No data formats to nothing; for data, nothing written means the format
    // or the row width was refused.
    if (written < 0 || written > required - 1 || (written == 0 && length > 0))
        return Failure(kErrInvalidCall, QStringLiteral("Invalid procedure call or argument"));

    buffer.truncate(written);
    r.ok = true;
    r.text = std::move(buffer);
    return r;
}

namespace {

int ValueWidth(char format)
{
    switch (format) {
    case 'h': return 3;
    case 'o':
    case 'd': return 4;
    case 'b': return 9;
    default: return 0;
    }
}

// A row of n bytes: offset field (8), character column, two blanks, the
// values with one more blank after every 8th, CR LF.
qint64 RowLength(int bytesPerRow, int width, qint64 n) { return 8 + bytesPerRow + 2 + width * n + n / 8 + 2; }

} // namespace

qint64 FormattedLength(qint64 length, char format, int bytesPerRow)
{
    const int width = ValueWidth(format);
    if (width == 0 || bytesPerRow < 1 || length <= 0) return 0;
    const qint64 full = length / bytesPerRow;
    const qint64 rest = length % bytesPerRow;
    return full * RowLength(bytesPerRow, width, bytesPerRow) + (rest ? RowLength(bytesPerRow, width, rest) : 0);
}

Result FormatLastRows(const QByteArray& data, char format, int bytesPerRow, qint64 maxChars)
{
    const int width = ValueWidth(format);
    const qint64 length = data.size();
    if (width == 0 || bytesPerRow < 1 || FormattedLength(length, format, bytesPerRow) <= maxChars)
        return Format(data, format, bytesPerRow);
    const qint64 rows = (length + bytesPerRow - 1) / bytesPerRow;
    const qint64 rest = length % bytesPerRow;
    const qint64 fullRow = RowLength(bytesPerRow, width, bytesPerRow);
    const qint64 lastRow = rest ? RowLength(bytesPerRow, width, rest) : fullRow;
    const qint64 kept = maxChars < lastRow ? 0 : std::min(rows, 1 + (maxChars - lastRow) / fullRow);
    const qint64 firstRow = rows - kept;
    Result r = Format(data.mid(firstRow * bytesPerRow), format, bytesPerRow);
    if (!r.ok || firstRow == 0) return r;
    // Each row opens with its offset in the whole data: "%06d" and two
    // blanks, of which the character column keeps the first 8 characters.
    for (qint64 row = 0; row < kept; ++row) {
        const QByteArray field = (QByteArray::number((firstRow + row) * bytesPerRow).rightJustified(6, '0') + "  ").left(8);
        std::memcpy(r.text.data() + row * fullRow, field.constData(), 8);
    }
    return r;
}

void SetLibraryPath(const QString& path)
{
    Binding& b = TheBinding();
    Unbind(b);
    b.overridePath = path;
}

QString LibraryPath()
{
    const Binding& b = TheBinding();
    if (!b.overridePath.isEmpty())
        return b.overridePath;
    return tsy::Runtime::ProgramDir() + QStringLiteral("/libTSYFMT10.so");
}

} // namespace tsy::FormatLibrary
