#pragma once
// Binds libTSYFMT10.so beside the program at its first use and runs the
// caller pattern: required length, zero-filled buffer, FormatText, keep the
// count it returns.
#include <QByteArray>
#include <QString>

namespace tsy::FormatLibrary {

struct Result {
    bool ok = false;
    QByteArray text;          // the formatted characters
    int errorNumber = 0;
    QString errorText;
};

// format: 'h', 'o', 'd' or 'b'; bytesPerRow 4..128 step 4.
Result Format(const QByteArray& data, char format, int bytesPerRow);
// The exact number of characters Format gives for that much data (0 for an
// unknown format or a row width below 1): full rows, then a shorter last row.
qint64 FormattedLength(qint64 length, char format, int bytesPerRow);
// The last whole rows of Format(data, ...) that fit in maxChars characters,
// formatting only those rows; their offsets are the ones of the whole data.
Result FormatLastRows(const QByteArray& data, char format, int bytesPerRow, qint64 maxChars);
// Tests: bind a library from another path (resets the binding).
void SetLibraryPath(const QString& path);
QString LibraryPath();

} // namespace tsy::FormatLibrary
