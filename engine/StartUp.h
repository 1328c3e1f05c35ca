#pragma once
// The program's start-up: refuses arguments and a second instance, shows the
// splash, writes the default port table on the first run, creates the
// recorder and the listening side, shows the main window and loads the
// hidden tool windows.
namespace General {

// Set by CheckFirstRun when it wrote the defaults; start-up then welcomes the user.
extern bool gblnFirstRun;

// Runs the start-up. False when the program is to end at once (an argument
// was given, or another instance runs); true when it runs on events from now.
bool Main(int argc, char** argv);

// Writes the default port table when the store says this is the first run.
void CheckFirstRun();

// The welcome box text shown once, after the first run's start-up.
const char* WelcomeText();

} // namespace General
