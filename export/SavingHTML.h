#pragma once
// One connection's history as a small static web site: a main page drawing
// every event as a row of the connection diagram, one page per event with
// its details and data, and a copy of the pictures the pages show.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <functional>
#include <memory>

#include "export/ExportChoices.h"

class SocketPairHistory;

namespace SavingHTML {

// Where the pieces of a main page F go. F "/out/Log.htm" gives the event
// pages in "/out/Log" (linked as "Log/EventK.htm") and the pictures in
// "/out/Images". The event folder is F's folder plus F's name up to its first
// "."; a name without one, or starting with one, gets "_files" appended.
struct Paths {
    QString strMainPage;
    QString strEventDir;       // D
    QString strEventDirName;   // N, as written in the links (percent-encoded)
    QString strOutputDir;      // O
    QString strPictureDir;     // O + "/Images"
};
// False for a name the export refuses (empty, not absolute, no file name, or
// one ending in "/", "." or "..").
bool DerivePaths(const QString& strFile, Paths& paths);

// True when the main page and every event page were written and the pictures
// copied (or there was nothing to copy). Each failure is in the error log.
bool SaveHistoryAsHTML(const QString& strFile, const std::shared_ptr<SocketPairHistory>& objHistory,
                       const tsy::Export::ExportChoices& choices);

// The footer's date and time; tests fix it. An empty function restores the clock.
void SetFooterClock(std::function<QDateTime()> clock);

// Markup-safe text of a value: & < > " ' escaped, one byte per character.
QByteArray Escape(const QString& strValue);

} // namespace SavingHTML
