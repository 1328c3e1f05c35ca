#include "export/SavingHTML.h"
#include "engine/General.h"
#include "export/OutputFile.h"
#include "history/DiagramRows.h"
#include "history/SocketPairHistory.h"
#include "mainwindow/Version.h"
#include "platform/FormatLibrary.h"
#include "platform/Runtime.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QUrl>

namespace SavingHTML {

namespace {

using tsy::Export::ExportChoices;
using tsy::Export::FileError;

const char kHtmlSentence[] = "An error occurred attempting to create the HTML file. The operating system reports: ";

std::function<QDateTime()>& FooterClock()
{
    static std::function<QDateTime()> clock;
    return clock;
}

// A cell that carries no picture and no link, yet is not empty.
const char kBlankCell[] = "";

struct Row {
    const char* clientIcon;
    const char* clientArrow;   // nullptr: empty; kBlankCell: "<td></td>" CR LF
    const char* proxyIcon;
    const char* serverArrow;
    const char* serverIcon;
    char text;                 // 'c' client side, 's' server side, 0 none
};

constexpr const char* On = "ComputerOn";
constexpr const char* ComingOn = "ComputerComingOn";
constexpr const char* GoingOff = "ComputerGoingOff";
constexpr const char* Grey = "LightningBoltGrey";

constexpr Row kRows[25] = {
    {ComingOn, "LightningBolt", On, nullptr, On, 'c'},          // 0
    {ComingOn, "LightningBoltX", On, nullptr, On, 'c'},         // 1
    {On, nullptr, On, Grey, "Cloud", 's'},                      // 2
    {On, nullptr, On, Grey, On, 0},                             // 3
    {On, nullptr, On, "LightningBolt", On, 's'},                // 4
    {On, nullptr, On, Grey, GoingOff, 's'},                     // 5
    {On, Grey, GoingOff, nullptr, On, 'c'},                     // 6
    {GoingOff, Grey, On, nullptr, On, 'c'},                     // 7
    {On, nullptr, GoingOff, Grey, On, 's'},                     // 8
    {On, nullptr, On, "S2CData", On, 's'},                      // 9
    {On, nullptr, On, "C2SBuffer", On, 's'},                    // 10
    {On, nullptr, On, "C2SDangleBuffer", On, 's'},              // 11
    {On, "S2CBuffer", On, nullptr, On, 'c'},                    // 12
    {On, "S2CDangleBuffer", On, nullptr, On, 'c'},              // 13
    {On, "S2CData", On, nullptr, On, 'c'},                      // 14
    {On, "S2CThrottle", On, nullptr, On, 'c'},                  // 15
    {On, "C2SData", On, nullptr, On, 'c'},                      // 16
    {On, nullptr, On, "C2SData", On, 's'},                      // 17
    {On, nullptr, On, "C2SThrottle", On, 's'},                  // 18
    {"Error", kBlankCell, On, nullptr, On, 'c'},                // 19
    {On, nullptr, On, kBlankCell, "Error", 's'},                // 20
    {On, nullptr, On, "DangleStart", On, 's'},                  // 21
    {On, "DangleStart", On, nullptr, On, 'c'},                  // 22
    {On, nullptr, On, "DangleStop", On, 0},                     // 23
    {On, "DangleStop", On, nullptr, On, 0},                     // 24
};
// An event type outside the table draws plain computers and no arrow.
constexpr Row kUnknownRow = {On, nullptr, On, nullptr, On, 0};

const Row& RowOf(int type) { return type >= 0 && type <= 24 ? kRows[type] : kUnknownRow; }

enum class Cell { ClientIcon, ClientArrow, ServerArrow, ServerIcon, ClientText, ServerText };

class MainPageWriter {
public:
    MainPageWriter(const SocketPairHistory& h, const QByteArray& eventDirName)
        : mHistory(h), mEvents(h.mobjSocketPairEvents)
    {
        mLinkHead = " onmouseover=\"this.style.cursor='hand'\" onclick=\"javascript:window.open('" + eventDirName
                    + "/Event";
        mClientAddress = Address(Escape(h.mstrRemoteClientIP), h.mlngRemoteClientPort);
        mProxyAddress = Address(QByteArray::number(h.mlngLocalServerPort), h.mlngLocalClientPort);
        mServerAddress = Address(Escape(h.mstrRemoteServerIP), h.mlngRemoteServerPort);
    }

    void Build(QByteArray& out, const QByteArray& footer)
    {
        out.reserve(qsizetype(mEvents.Count()) * 1400 + 1024);
        out.append("<html><head></head><body>\r\n"
                   "<table cellspacing=5 cellpadding=5 border=0>\r\n<tr>\r\n"
                   "<td align=center valign=top><h2>Remote Client</h2></td>\r\n<td></td>\r\n"
                   "<td align=center valign=top><h2>TSY</h2>Listening on port ");
        out.append(QByteArray::number(mHistory.mlngWasListeningOnPort));
        out.append("</td>\r\n<td></td>\r\n"
                   "<td align=center valign=top><h2>Remote Server</h2></td>\r\n</tr>\r\n");
        const int count = mEvents.Count();
        for (int i = 1; i <= count;) i = AppendEventRows(out, i);
        out.append("</table>");
        out.append(footer);
    }

private:
    static QByteArray Address(const QByteArray& a, int b)
    {
        return "<td align=center valign=top>" + a + ":" + QByteArray::number(b) + "</td>\r\n";
    }

    void AppendLink(QByteArray& out, int k) const
    {
        out.append(mLinkHead);
        out.append(QByteArray::number(k));
        out.append(".htm',null,'width=700, height=400, scrollbars=yes, resizable=yes');\"");
    }

    static void AppendIcon(QByteArray& out, const char* name)
    {
        out.append("<td align=center><img border=0 src='Images/").append(name).append(".gif'></td>\r\n");
    }

    // Appends the cell made for the event at position k; false (nothing
    // appended) when the cell is empty there.
    bool MakeCell(QByteArray& out, Cell cell, int k) const
    {
        if (k < 1 || k > mEvents.Count()) return false;
        const SocketEvent& e = *mEvents.Item(k);
        const Row& row = RowOf(e.mobjEventType);
        switch (cell) {
        case Cell::ClientIcon:
            AppendIcon(out, row.clientIcon);
            return true;
        case Cell::ServerIcon:
            AppendIcon(out, row.serverIcon);
            return true;
        case Cell::ClientArrow:
            if (!row.clientArrow) return false;
            if (row.clientArrow == kBlankCell) {
                out.append("<td></td>\r\n");
                return true;
            }
            out.append("<td align=center><img ");
            AppendLink(out, k);
            out.append(e.mobjEventType == 0 || e.mobjEventType == 1 ? " " : "  ");
            out.append("border=0 src='Images/").append(row.clientArrow).append(".gif'></td>\r\n");
            return true;
        case Cell::ServerArrow:
            if (!row.serverArrow) return false;
            if (row.serverArrow == kBlankCell) {
                out.append("<td></td>\r\n");
                return true;
            }
            out.append("<td align=center><img border=0 ");
            AppendLink(out, k);
            out.append(e.mobjEventType == 2 ? " " : "  ");
            out.append("src='Images/").append(row.serverArrow).append(".gif'></a></td>\r\n");
            return true;
        case Cell::ClientText:
        case Cell::ServerText:
            if (row.text != (cell == Cell::ClientText ? 'c' : 's')) return false;
            out.append("<td ");
            AppendLink(out, k);
            out.append(" align=center valign=top>");
            out.append(Escape(e.mstrEventTime));
            out.append(", <b>");
            out.append(Escape(e.mstrDescription));
            out.append("</b></td>\r\n");
            return true;
        }
        return false;
    }

    // The cell for event i, or when that is empty and the event is followed
    // on, the one for event i + 1; EMPTY when both are empty.
    bool MergedCell(QByteArray& out, Cell cell, int i, bool followOn, bool& merged) const
    {
        if (MakeCell(out, cell, i)) return true;
        if (followOn) {
            merged = true;
            if (MakeCell(out, cell, i + 1)) return true;
        }
        out.append("<td></td>");
        return false;
    }

    // Writes the two rows of the event at position i; the next position.
    int AppendEventRows(QByteArray& out, int i) const
    {
        const SocketEvent& e = *mEvents.Item(i);
        // The same rule as the main window's diagram: a follow-on whose arrow
        // falls on this event's side gets rows of its own, so its page is linked.
        const bool followOn = e.mblnNextEventFollowOn
                              && (i >= mEvents.Count() || DiagramRows::JoinsRow(e, false, *mEvents.Item(i + 1)));
        bool merged = false;

        out.append("<tr>\r\n");
        const bool clientIcon = MergedCell(out, Cell::ClientIcon, i, followOn, merged);
        MergedCell(out, Cell::ClientArrow, i, followOn, merged);
        AppendIcon(out, RowOf(e.mobjEventType).proxyIcon);
        const bool serverArrow = MergedCell(out, Cell::ServerArrow, i, followOn, merged);
        MergedCell(out, Cell::ServerIcon, i, followOn, merged);
        out.append("</tr>\r\n");

        out.append("<tr>\r\n");
        out.append(clientIcon ? mClientAddress : QByteArrayLiteral("<td></td>\r\n"));
        MergedCell(out, Cell::ClientText, i, followOn, merged);
        out.append(mProxyAddress);
        MergedCell(out, Cell::ServerText, i, followOn, merged);
        out.append(serverArrow ? mServerAddress : QByteArrayLiteral("<td></td>\r\n"));
        out.append("</tr>\r\n");
        return merged ? i + 2 : i + 1;
    }

    const SocketPairHistory& mHistory;
    const tsy::KeyedCollection<std::shared_ptr<SocketEvent>>& mEvents;
    QByteArray mLinkHead;
    QByteArray mClientAddress;
    QByteArray mProxyAddress;
    QByteArray mServerAddress;
};

// The data layout made safe for the page: blanks, angle brackets and
// ampersands escaped, each line ending in a break.
void AppendEscapedLayout(QByteArray& out, const QByteArray& text)
{
    const char* p = text.constData();
    const char* end = p + text.size();
    while (p < end) {
        const char* run = p;
        while (p < end && *p != '&' && *p != ' ' && *p != '<' && *p != '>' && *p != '\r') ++p;
        out.append(run, p - run);
        if (p == end) break;
        switch (*p) {
        case '&': out.append("&amp;"); break;
        case ' ': out.append("&nbsp;"); break;
        case '<': out.append("&lt;"); break;
        case '>': out.append("&gt;"); break;
        case '\r':
            if (p + 1 < end && p[1] == '\n') {
                out.append("<br>\r\n");
                ++p;
            } else {
                out.append('\r');
            }
            break;
        }
        ++p;
    }
}

void AppendDetail(QByteArray& out, const char* label, const QByteArray& value)
{
    out.append("<tr><td>").append(label).append("</td><td>").append(value).append("</td></tr>\r\n");
}

// Builds event page text into page; false with the error when the data
// cannot be laid out.
bool BuildEventPage(QByteArray& page, const SocketEvent& e, const SocketPairHistory& h, const ExportChoices& c,
                    const QByteArray& footer, FileError& error)
{
    QByteArray layout;
    if (!e.mstrData.isEmpty()) {
        tsy::FormatLibrary::Result r = tsy::FormatLibrary::Format(e.mstrData, c.chrFormat, c.intBytesPerRow);
        if (!r.ok) {
            error = {r.errorNumber, r.errorText};
            return false;
        }
        layout = std::move(r.text);
    }
    page.resize(0);
    page.reserve(2048 + layout.size() * 2);
    page.append("<html><head></head><body><table border=0>");
    AppendDetail(page, "Event Time", Escape(e.mstrEventTime));
    AppendDetail(page, "Event End Time", Escape(e.mstrEventEndTime));
    AppendDetail(page, "Error Number", QByteArray::number(e.mlngErrorNumber));
    AppendDetail(page, "Error Description", Escape(e.mstrErrorString));
    AppendDetail(page, "Description", Escape(e.mstrDescription));
    AppendDetail(page, "Remote Client Address", Escape(h.mstrRemoteClientIP));
    AppendDetail(page, "Remote Client Name", Escape(h.mstrRemoteClientName));
    AppendDetail(page, "Remote Client Port", QByteArray::number(h.mlngRemoteClientPort));
    AppendDetail(page, "Remote Server Address", Escape(h.mstrRemoteServerIP));
    AppendDetail(page, "Remote Server Name", Escape(h.mstrRemoteServerName));
    AppendDetail(page, "Remote Server Port", QByteArray::number(h.mlngRemoteServerPort));
    AppendDetail(page, "Local Server Port", QByteArray::number(h.mlngLocalServerPort));
    AppendDetail(page, "Local Client Port", QByteArray::number(h.mlngLocalClientPort));
    AppendDetail(page, "Originally Listening on Port", QByteArray::number(h.mlngWasListeningOnPort));
    AppendDetail(page, "Socket Status", h.mblnDead ? QByteArrayLiteral("Dead") : QByteArrayLiteral("Alive"));
    AppendDetail(page, "Time of death", Escape(h.mstrTimeOfDeath));
    AppendDetail(page, "Protocol", Escape(h.mstrProtocol));
    page.append("</table><br>Data:<br>");
    // Courier New alone is missing on most Linux desktops, and the browser's
    // proportional fallback would misalign the columns.
    page.append("<table><tr><td nowrap><font face='Courier New, Courier, monospace'><small>");
    AppendEscapedLayout(page, layout);
    page.append("</small></font></td></tr></table>\r\n");
    page.append(footer);
    page.append("\r\n");
    return true;
}

bool WriteFile(const QString& path, const QByteArray& bytes, FileError& error)
{
    tsy::Export::OutputFile file;
    if (file.Open(path) && file.Write(bytes) && file.Close()) return true;
    error = file.Error();
    return false;
}

bool SameFolder(const QString& a, const QString& b)
{
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

// Copies the program's pictures beside the main page.
bool CopyPictures(const Paths& paths)
{
    const QString programDir = tsy::Runtime::ProgramDir();
    const QString source = QDir(programDir).filePath(QStringLiteral("Images"));
    // The same folder under another spelling would be copied onto itself.
    if (SameFolder(programDir, paths.strOutputDir)) return true;
    QDir().mkdir(paths.strPictureDir);
    if (SameFolder(source, paths.strPictureDir)) return true;

    const QStringList names = QDir(source).entryList({QStringLiteral("*.gif")}, QDir::Files, QDir::Name);
    FileError firstError;
    for (const QString& name : names) {
        QByteArray bytes;
        FileError error;
        // Read whole before writing, so a picture that is the same file under
        // another name is rewritten with its own bytes. One that cannot be
        // written (a pipe in its place, say) does not keep the others back.
        if ((!tsy::Export::ReadWholeFile(QDir(source).filePath(name), bytes, error)
             || !WriteFile(QDir(paths.strPictureDir).filePath(name), bytes, error))
            && firstError.number == 0)
            firstError = error;
    }
    if (firstError.number == 0) return true;
    tsy::Export::Report(QStringLiteral("An error occurred while attempting to copy the Images subdirectory to '")
                            + paths.strOutputDir + QStringLiteral("'.  The operating system reports: "),
                        firstError);
    return false;
}

QByteArray Footer()
{
    const QDateTime now = FooterClock() ? FooterClock()() : QDateTime::currentDateTime();
    return QByteArrayLiteral("<p align=right>Generated by <a href='") + Version::WebPage
           + QByteArrayLiteral("'>Tessaly</a><br>")
           + QLocale::c().toString(now, QStringLiteral("dd MMM yyyy HH:mm:ss")).toLatin1()
           + QByteArrayLiteral("</p></body></html>\r\n");
}

} // namespace

void SetFooterClock(std::function<QDateTime()> clock) { FooterClock() = std::move(clock); }

QByteArray Escape(const QString& strValue)
{
    QByteArray out;
    out.reserve(strValue.size());
    for (QChar ch : strValue) {
        switch (ch.unicode()) {
        case '&': out.append("&amp;"); break;
        case '<': out.append("&lt;"); break;
        case '>': out.append("&gt;"); break;
        case '"': out.append("&quot;"); break;
        case '\'': out.append("&#39;"); break;
        default: out.append(ch.unicode() < 256 ? char(ch.unicode()) : '?'); break;
        }
    }
    return out;
}

bool DerivePaths(const QString& strFile, Paths& paths)
{
    // Cleaned, a name that names a folder would put the pages beside or above it.
    if (!QDir::isAbsolutePath(strFile) || tsy::Export::NamesAFolder(strFile)) return false;
    const QFileInfo info(QDir::cleanPath(strFile));
    const QString name = info.fileName();
    if (name.isEmpty()) return false;
    const int dot = name.indexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name + QStringLiteral("_files");
    const QDir folder = info.dir();
    paths.strMainPage = info.filePath();
    paths.strOutputDir = folder.path();
    paths.strEventDir = folder.filePath(stem);
    paths.strEventDirName = QString::fromLatin1(QUrl::toPercentEncoding(stem));
    paths.strPictureDir = folder.filePath(QStringLiteral("Images"));
    return true;
}

bool SaveHistoryAsHTML(const QString& strFile, const std::shared_ptr<SocketPairHistory>& objHistory,
                       const ExportChoices& choices)
{
    const QString sentence = QString::fromLatin1(kHtmlSentence);
    if (!objHistory) {
        tsy::Export::Report(sentence, tsy::Export::NoHistory());
        return false;
    }
    Paths paths;
    if (!DerivePaths(strFile, paths)) {
        tsy::Export::Report(sentence, tsy::Export::BadFileName());
        return false;
    }
    // Refused before any page is written, so a bad name leaves nothing behind.
    if (FileError error; !tsy::Export::CanCreateOrReplace(paths.strMainPage, error)) {
        tsy::Export::Report(sentence, error);
        return false;
    }
    const SocketPairHistory& h = *objHistory;
    bool ok = true;
    try {
        // A folder that already exists is fine; one that cannot be made shows
        // up as failed pages.
        QDir().mkdir(paths.strEventDir);
        const QByteArray footer = Footer();

        int failed = 0;
        QString firstFailed;
        FileError firstError;
        QByteArray page;
        const int count = h.mobjSocketPairEvents.Count();
        for (int k = 1; k <= count; ++k) {
            const QString path = paths.strEventDir + QStringLiteral("/Event") + QString::number(k) + QStringLiteral(".htm");
            FileError error;
            if (!BuildEventPage(page, *h.mobjSocketPairEvents.Item(k), h, choices, footer, error)
                || !WriteFile(path, page, error)) {
                if (failed++ == 0) {
                    firstFailed = path;
                    firstError = error;
                }
            }
        }
        if (failed > 0) {
            tsy::Export::Report(QStringLiteral("An error occurred while attempting to write the event pages of the "
                                               "connection diagram: %1 of %2 could not be written, the first being '%3'. "
                                               " The operating system reports: ")
                                    .arg(failed)
                                    .arg(count)
                                    .arg(firstFailed),
                                firstError);
            ok = false;
        }

        QByteArray main;
        MainPageWriter(h, paths.strEventDirName.toLatin1()).Build(main, footer);
        main.append("\r\n");
        FileError error;
        if (!WriteFile(paths.strMainPage, main, error)) {
            tsy::Export::Report(sentence, error);
            return false;
        }
    } catch (...) {
        General::LogFailure(sentence, std::current_exception());
        return false;
    }
    return CopyPictures(paths) && ok;
}

} // namespace SavingHTML
