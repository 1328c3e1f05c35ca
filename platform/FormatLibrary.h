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
// Tests: bind a library from another path (resets the binding).
void SetLibraryPath(const QString& path);
QString LibraryPath();

} // namespace tsy::FormatLibrary
