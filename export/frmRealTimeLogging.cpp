// The real-time CSV log. Each line goes to the file with one unbuffered
// write, so every line written is on disk the moment it is written: nothing
// waits in the program for a flush, at exit, before View or when the size is
// read, and the program's memory does not grow with the log.
#include "export/frmRealTimeLogging.h"

#include "engine/General.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "export/OutputFile.h"
#include "history/SocketEvent.h"
#include "mainwindow/PanelBar.h"
#include "mainwindow/frmMain.h"
#include "platform/LoadedWindows.h"
#include "platform/Modal.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/WindowTimer.h"
#include "protocols/ProtocolHandler.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const QString kSection = QStringLiteral("RealTimeLogging");
// Data chunks up to this size are escaped whole and kept for the chunk's
// next event; larger ones are escaped and written in slices.
constexpr qsizetype kWholeChunk = 1 << 20;
constexpr qsizetype kSlice = 256 * 1024;
constexpr const char* kWriteFailed = "An error occurred while attempting to write the log file.  The operating system reports: ";

const char* const kColumns[15] = {
    "Start Time", "Connection Id", "Protocol", "Listening Port", "Remote Client IP",
    "Remote Client Name", "Remote Client Port", "Remote Server IP", "Remote Server Name",
    "Remote Server Port", "Event Type", "Description", "Err No.", "Error String", "Data"};

QString DefaultLogFile() { return QDir(tsy::Runtime::DataDir()).filePath(QStringLiteral("Log/Log.txt")); }

void Report(int lngNumber, const QString& strDescription)
{
    frmError::LogError(QString::fromLatin1(kWriteFailed) + QString::number(lngNumber) + QStringLiteral(", ")
                       + strDescription);
}

// A system error as the classic file error numbers the rest of the log uses.
void ReportErrno(int errnum)
{
    const tsy::Export::FileError error = tsy::Export::ErrorFromErrno(errnum);
    Report(error.number, error.description);
}

// What a pair that no longer has its handler or sockets leaves us with.
struct Unreadable {};

void AppendField(QByteArray& line, const QByteArray& value)
{
    if (!line.isEmpty()) line += ',';
    line += '"';
    line += frmRealTimeLogging::EscapeField(value);
    line += '"';
}

void AppendField(QByteArray& line, const QString& value) { AppendField(line, value.toLatin1()); }
void AppendField(QByteArray& line, qint64 value) { AppendField(line, QByteArray::number(value)); }

} // namespace

// ---- loading and unloading --------------------------------------------------------

void frmRealTimeLogging::CloseAtExit()
{
    if (frmRealTimeLogging* window = Loaded()) window->CloseLogFile();
}

frmRealTimeLogging::frmRealTimeLogging()
    : SingleWindow("frmRealTimeLogging",
                   Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Real Time Logging"));
    BuildControls();
}

frmRealTimeLogging::~frmRealTimeLogging() { CloseLogFile(); }

void frmRealTimeLogging::BuildControls()
{
    const auto button = [this](const QString& caption, const char* name) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        return b;
    };
    const auto label = [this](const QString& caption, const char* name) {
        auto* l = new QLabel(caption, this);
        l->setObjectName(QString::fromLatin1(name));
        l->setTextFormat(Qt::PlainText);
        return l;
    };

    chkLoggingEnabled = new QCheckBox(QStringLiteral("Enable real time logging of all data and events"), this);
    chkLoggingEnabled->setObjectName(QStringLiteral("chkLoggingEnabled"));
    Label1 = label(QStringLiteral("Log File:"), "Label1");
    txtLogFile = new QLineEdit(this);
    txtLogFile->setObjectName(QStringLiteral("txtLogFile"));
    txtLogFile->setMinimumWidth(320);
    cmdOpen = button(QStringLiteral("..."), "cmdOpen");
    cmdOpen->setFixedWidth(32);
    Label2 = label(QStringLiteral("Log File Size:"), "Label2");
    lblLogSize = label(QStringLiteral("0 Bytes"), "lblLogSize");
    cmdView = button(QStringLiteral("View..."), "cmdView");
    cmdDelete = button(QStringLiteral("Delete"), "cmdDelete");
    cmdClose = button(QStringLiteral("Close"), "cmdClose");
    cmdClose->setDefault(true);

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(chkLoggingEnabled);
    auto* grid = new QGridLayout;
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(txtLogFile, 0, 1);
    grid->addWidget(cmdOpen, 0, 2);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(lblLogSize, 1, 1, 1, 2);
    outer->addLayout(grid);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdView);
    buttons->addWidget(cmdDelete);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    outer->addLayout(buttons);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    tmrLogFileSize = new tsy::WindowTimer(this, 1000, true);

    // toggled, not clicked: a value set by code (load, panel 8) switches too.
    connect(chkLoggingEnabled, &QCheckBox::toggled, this, &frmRealTimeLogging::chkLoggingEnabled_Click);
    connect(cmdOpen, &QPushButton::clicked, this, &frmRealTimeLogging::cmdOpen_Click);
    connect(cmdView, &QPushButton::clicked, this, &frmRealTimeLogging::cmdView_Click);
    connect(cmdDelete, &QPushButton::clicked, this, &frmRealTimeLogging::cmdDelete_Click);
    connect(cmdClose, &QPushButton::clicked, this, &frmRealTimeLogging::cmdClose_Click);
    connect(tmrLogFileSize, &tsy::WindowTimer::Timer, this, &frmRealTimeLogging::tmrLogFileSize_Timer);
}

void frmRealTimeLogging::Form_Load()
{
    QDir().mkpath(QDir(tsy::Runtime::DataDir()).filePath(QStringLiteral("Log")));
    const QSignalBlocker quiet(chkLoggingEnabled);
    const auto on = tsy::Numbers::WholeInRange(tsy::Settings::GetSetting(kSection, QStringLiteral("LoggingOn"),
                                                                          QStringLiteral("0")),
                                               -32768, 32767);
    chkLoggingEnabled->setChecked(on && *on == 1);
    txtLogFile->setText(tsy::Settings::GetSetting(kSection, QStringLiteral("LogFile"), DefaultLogFile()));
    chkLoggingEnabled_Click();
}

void frmRealTimeLogging::Form_Unload()
{
    tsy::Settings::SaveSetting(kSection, QStringLiteral("LoggingOn"), chkLoggingEnabled->isChecked() ? "1" : "0");
    tsy::Settings::SaveSetting(kSection, QStringLiteral("LogFile"), txtLogFile->text());
    CloseLogFile();
}

// ---- commands ----------------------------------------------------------------------

void frmRealTimeLogging::chkLoggingEnabled_Click()
{
    const bool on = chkLoggingEnabled->isChecked();
    if (!on) CloseLogFile();
    if (!frmMain::IsLoaded()) return;
    if (PanelBar* bar = frmMain::Instance()->barStatus)
        bar->SetPanelText(8, on ? QStringLiteral("Logging: ON ") : QStringLiteral("Logging: Off "));
}

void frmRealTimeLogging::cmdOpen_Click()
{
    const QString chosen = tsy::Modal::GetSaveFileName(this, QStringLiteral("Log File"), txtLogFile->text(), QString());
    if (!chosen.isEmpty()) txtLogFile->setText(chosen);
}

void frmRealTimeLogging::cmdView_Click() { tsy::Modal::OpenTextFileForViewing(txtLogFile->text()); }

void frmRealTimeLogging::cmdDelete_Click()
{
    if (tsy::Modal::MsgBox(this, QStringLiteral("Are you sure you want to delete this log file?"),
                           tsy::Modal::Icon::Question, tsy::Modal::Buttons::YesNo, QStringLiteral("Tessaly"))
        != tsy::Modal::Answer::Yes)
        return;
    // Closed first: an unlinked file still open would swallow the next lines.
    CloseLogFile();
    QFile::remove(txtLogFile->text());
    tmrLogFileSize_Timer();
}

void frmRealTimeLogging::cmdClose_Click() { hide(); }

void frmRealTimeLogging::tmrLogFileSize_Timer()
{
    const QFileInfo info(txtLogFile->text());
    const qint64 size = info.exists() && info.isFile() ? info.size() : 0;
    lblLogSize->setText(QString::number(size) + QStringLiteral(" bytes"));
}

// ---- the file ----------------------------------------------------------------------

namespace {

bool NeedsEscape(unsigned char c) { return c == '\r' || c == '\n' || c == '"'; }

#if defined(__SSE2__)
// Each of the 16 bytes at p: all ones where it needs escaping, else zero.
__m128i SpecialMask(const unsigned char* p)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                        _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
}
#endif

// The first byte at or after i that needs escaping; n when none does.
qsizetype NextSpecial(const unsigned char* p, qsizetype i, qsizetype n)
{
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16)
        if (const unsigned bits = unsigned(_mm_movemask_epi8(SpecialMask(p + i)))) return i + std::countr_zero(bits);
#endif
    while (i < n && !NeedsEscape(p[i])) ++i;
    return i;
}

qsizetype CountSpecials(const unsigned char* p, qsizetype n)
{
    qsizetype count = 0, i = 0;
#if defined(__SSE2__)
    // Per-byte counters (a hit's mask is -1), summed before any can wrap.
    while (i + 16 <= n) {
        __m128i counters = _mm_setzero_si128();
        for (int block = 0; block < 255 && i + 16 <= n; ++block, i += 16)
            counters = _mm_sub_epi8(counters, SpecialMask(p + i));
        const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
        count += _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
    }
#endif
    for (; i < n; ++i) count += NeedsEscape(p[i]);
    return count;
}

} // namespace

QByteArray frmRealTimeLogging::EscapeField(const QByteArray& strText)
{
    // A CR LF pair comes out as "<13><10>", the same as each byte on its own,
    // so one pass over the bytes applies all four escapes. Relayed data runs
    // through here at full speed: count first, then fill in place, finding
    // the bytes to escape sixteen at a time.
    const auto* p = reinterpret_cast<const unsigned char*>(strText.constData());
    const qsizetype n = strText.size();
    const qsizetype specials = CountSpecials(p, n);
    if (specials == 0) return strText;
    QByteArray out(n + 3 * specials, Qt::Uninitialized);
    char* o = out.data();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype j = NextSpecial(p, i, n);
        std::memcpy(o, p + i, size_t(j - i));
        o += j - i;
        if (j == n) break;
        std::memcpy(o, p[j] == '\r' ? "<13>" : p[j] == '\n' ? "<10>" : "<34>", 4);
        o += 4;
        i = j + 1;
    }
    return out;
}

void frmRealTimeLogging::CloseLogFile()
{
    if (mintLogFileNumber >= 0) ::close(mintLogFileNumber);
    mintLogFileNumber = -1;
    mblnLogFileOpen = false;
}

bool frmRealTimeLogging::OpenLogFile()
{
    const QString path = txtLogFile->text();
    // Only a regular file: each event would otherwise wait on a pipe's reader.
    tsy::Export::FileError error;
    qint64 size = 0;
    const int fd = tsy::Export::OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT, error, &size);
    if (fd < 0) {
        Report(error.number, error.description);
        return false;
    }
    mintLogFileNumber = fd;
    mstrOpenLogFileName = path;
    mblnLogFileOpen = true;
    // Absent or empty: an empty file (the user's, or one whose header write
    // failed before) gets the header too.
    if (size == 0) {
        QByteArray header;
        for (const char* column : kColumns) AppendField(header, QByteArray(column));
        header += "\r\n";
        if (!WriteWhole({header})) return false;
    }
    return true;
}

bool frmRealTimeLogging::WriteWhole(std::initializer_list<QByteArrayView> pieces, bool blnLineStart)
{
    if (blnLineStart) mlngLineWritten = 0;
    // The data goes out as its own piece, so a large chunk is not copied
    // once more into a line buffer.
    iovec vec[4];
    int count = 0;
    qsizetype total = 0;
    for (QByteArrayView piece : pieces) {
        if (piece.isEmpty() || count == 4) continue;
        vec[count].iov_base = const_cast<char*>(piece.data());
        vec[count].iov_len = size_t(piece.size());
        total += piece.size();
        ++count;
    }
    qsizetype written = 0;
    int first = 0;
    while (written < total) {
        const ssize_t n = ::writev(mintLogFileNumber, vec + first, count - first);
        if (n > 0) {
            written += n;
            mlngLineWritten += n;
            // Skip what went out; the rest of a piece cut in two goes next.
            size_t left = size_t(n);
            while (first < count && left >= vec[first].iov_len) left -= vec[first++].iov_len;
            if (first < count) {
                vec[first].iov_base = static_cast<char*>(vec[first].iov_base) + left;
                vec[first].iov_len -= left;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        const int e = n < 0 ? errno : ENOSPC;
        // Half a line would merge with the next one: cut the file back to
        // where this line began.
        if (mlngLineWritten > 0) {
            const off_t end = ::lseek(mintLogFileNumber, 0, SEEK_CUR);
            if (end >= mlngLineWritten) (void)!::ftruncate(mintLogFileNumber, end - off_t(mlngLineWritten));
        }
        CloseLogFile();
        ReportErrno(e);
        return false;
    }
    return true;
}

QByteArray frmRealTimeLogging::EventLineHead(SocketPair* objSocketPair, const SocketEvent& objEvent)
{
    if (!objSocketPair || !objSocketPair->sckServer || !objSocketPair->sckClient) throw Unreadable{};
    const std::shared_ptr<ProtocolHandler> handler = objSocketPair->mobjProtocolHandler;
    if (!handler) throw Unreadable{};

    QByteArray line;
    line.reserve(256);
    AppendField(line, objEvent.mstrEventTime);
    AppendField(line, objSocketPair->SocketPairKey());
    AppendField(line, handler->GetProtocolName());
    AppendField(line, qint64(handler->mlngWasListeningOnPort));
    AppendField(line, objSocketPair->RemoteClientIP());
    AppendField(line, objSocketPair->RemoteClientName());
    AppendField(line, qint64(objSocketPair->RemoteClientPort()));
    AppendField(line, objSocketPair->RemoteServerIP());
    AppendField(line, objSocketPair->RemoteServerName());
    AppendField(line, qint64(objSocketPair->RemoteServerPort()));
    AppendField(line, qint64(objEvent.mobjEventType));
    AppendField(line, objEvent.mstrDescription);
    AppendField(line, qint64(objEvent.mlngErrorNumber));
    AppendField(line, objEvent.mstrErrorString);
    line += ",\"";
    return line;
}

void frmRealTimeLogging::SaveEventToLogFile(SocketPair* objSocketPair, const std::shared_ptr<SocketEvent>& objEvent)
{
    try {
        if (mblnLogFileOpen && txtLogFile->text() != mstrOpenLogFileName) CloseLogFile();
        if (!mblnLogFileOpen && !OpenLogFile()) return;
        if (!objEvent) throw Unreadable{};
        const QByteArray head = EventLineHead(objSocketPair, *objEvent);
        const QByteArray& data = objEvent->mstrData;
        const QByteArrayView tail("\"\r\n");
        if (data.size() < 256) {
            WriteWhole({head, EscapeField(data), tail});
        } else if (data.size() <= kWholeChunk) {
            if (data.constData() != mstrLastData.constData() || data.size() != mstrLastData.size()) {
                mstrLastData = data;
                mstrLastEscaped = EscapeField(data);
            }
            WriteWhole({head, mstrLastEscaped, tail});
        } else {
            // A larger chunk goes a slice at a time, so the log never holds
            // an escaped copy of all of it.
            if (!WriteWhole({head})) return;
            for (qsizetype at = 0; at < data.size(); at += kSlice)
                if (!WriteWhole({EscapeField(data.sliced(at, std::min(kSlice, data.size() - at)))}, false)) return;
            WriteWhole({tail}, false);
        }
    } catch (const Unreadable&) {
        Report(91, QStringLiteral("Object variable or With block variable not set"));
    } catch (...) {
        General::LogFailure(QString::fromLatin1(kWriteFailed), std::current_exception());
    }
}
