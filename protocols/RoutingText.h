#pragma once
// Text reading shared by the POP3 and FTP routing: numbers that came from the
// network or the settings store are checked before they become a port, and
// the commands a client sends before its login are told apart from the login.
#include <QByteArray>
#include <QString>

namespace RoutingText {

// Blanks, tabs, CR and LF around the text removed.
QByteArray Trimmed(const QByteArray& text);

// Numeric text (blanks and line ends around it allowed; optional sign,
// digits with an optional decimal point, optional exponent) rounded to the
// nearest whole number, a half to the even neighbour, and within [lo, hi].
// On failure lngError/strError are 13 "Type mismatch" (not a number) or
// 6 "Overflow" (out of range).
bool WholeNumber(const QByteArray& text, qint64 lo, qint64 hi, int& value, int& lngError, QString& strError);

// What the client's data gathered before its login (pending) opens with.
enum class BeforeLogin {
    Wait,    // the command word, or the line of another command, is not whole yet
    Login,   // the login word (any letter case) and a blank, tab or line end;
             // pending is left whole, to be routed as it is
    Answer,  // another command: its line, LF included, moved from pending to line
    Quit     // QUIT (any letter case): likewise
};
// Longest line of another command held while its line end is awaited; a
// longer one is answered as it stands, so a client cannot make the proxy
// hold data without end.
inline constexpr qsizetype kMaxLineBeforeLogin = 4096;
BeforeLogin TakeCommandBeforeLogin(QByteArray& pending, QByteArray& line, const QByteArray& loginWord);

} // namespace RoutingText
