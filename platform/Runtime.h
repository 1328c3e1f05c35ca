#pragma once
// Clock, randomness, pauses, topmost windows, event pumping, paths, twips,
// start-with-the-desktop entry and help: the small services the program asks
// of its host.
#include <QString>
#include <QTime>
#include <functional>

class QWidget;

namespace tsy::Runtime {

// Local time with milliseconds; tests may inject a clock.
QTime LocalTime();
void SetClock(std::function<QTime()> clock);   // empty function restores the real one

// One program-wide uniform sequence in [0, 1).
double Rnd();
void Randomize(quint64 seed);
void SetRandomSource(std::function<double()> source);   // empty restores the real one

void Sleep(int ms);                 // blocks the thread; handles no events
void DoEvents();                    // processes the pending events once
// Switches w's window to or from topmost (Qt::WindowStaysOnTopHint) without
// moving or activating it; a hidden window stays hidden. True on success.
bool SetWindowTopMost(QWidget* w, bool topMost);

// Read-only run-time files (res/, Images/, Help/, PORTS.TXT, libTSYFMT10.so).
QString ProgramDir();
void SetProgramDir(const QString& dir);   // tests
QString ProgramPath();
// Files the program writes by default (Log/Log.txt, Log.htm): per-user data dir.
QString DataDir();

// Twips: 1440 per logical inch.
int TwipsPerPixel();
int TwipsToPixels(int twips);
int PixelsToTwips(int px);

// Start with the desktop: an XDG autostart entry naming the program.
bool SetAutostart(const QString& execPath);
bool RemoveAutostart();
bool AutostartEnabled();
QString AutostartFile();

// Our HTML help, opened in the desktop's browser (through the modal seam).
QString HelpPath();
bool OpenHelp();

} // namespace tsy::Runtime
