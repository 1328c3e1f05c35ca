#include "export/SavingData.h"
#include "export/OutputFile.h"
#include "history/SocketPairHistory.h"
#include "platform/FormatLibrary.h"

#include <QDir>

namespace SavingData {

namespace {

using tsy::Export::ExportChoices;
using tsy::Export::FileError;

const char kSentence[] = "An error occurred attempting to create the data file. The operating system reports: ";

const char kServerToClient[] = "From: TSY's internal socket server, To: Remote client";
const char kClientToServer[] = "From: TSY's internal socket client, To: Remote server";
const char kRemoteServer[] = "From: Remote server, To: TSY's internal socket client";
const char kRemoteClient[] = "From: Remote client, To: TSY's internal socket server";

enum Inclusion { Always, NonData, Buffered };

struct TypeRule {
    Inclusion inclusion;
    const char* direction;
};

constexpr TypeRule kRules[25] = {
    {NonData, kServerToClient},   // 0 accepted
    {Always, nullptr},            // 1 refused
    {NonData, kClientToServer},   // 2 connect attempt
    {NonData, kClientToServer},   // 3 attempt failed
    {NonData, kClientToServer},   // 4 attempt succeeded
    {NonData, kRemoteServer},     // 5 remote server disconnected
    {NonData, kServerToClient},   // 6 local server disconnected
    {NonData, kRemoteClient},     // 7 remote client disconnected
    {NonData, nullptr},           // 8 local client disconnected
    {Always, kRemoteServer},      // 9 client bytes received
    {Buffered, kClientToServer},  // 10 client bytes buffered
    {Always, nullptr},            // 11 ... because of dangling
    {Buffered, kServerToClient},  // 12 server bytes buffered
    {Always, nullptr},            // 13 ... because of dangling
    {Always, kServerToClient},    // 14 server send
    {Always, nullptr},            // 15 throttled
    {Always, kRemoteClient},      // 16 server bytes received
    {Always, kClientToServer},    // 17 client send
    {Always, nullptr},            // 18 throttled
    {NonData, kServerToClient},   // 19 server in bad state
    {NonData, kClientToServer},   // 20 client in bad state
    {Always, nullptr},            // 21..24 dangling started and stopped
    {Always, nullptr},
    {Always, nullptr},
    {Always, nullptr},
};

bool Included(int type, const ExportChoices& c)
{
    if (type < 0 || type > 24) return true;
    switch (kRules[type].inclusion) {
    case NonData: return c.blnIncludeNonDataEvents;
    case Buffered: return c.blnIncludeBufferedData;
    case Always: break;
    }
    return true;
}

// Checks what every writer needs before it creates the file.
bool Usable(const QString& strFile, const std::shared_ptr<SocketPairHistory>& objHistory)
{
    if (!objHistory) {
        tsy::Export::Report(QString::fromLatin1(kSentence), tsy::Export::NoHistory());
        return false;
    }
    if (strFile.isEmpty() || !QDir::isAbsolutePath(strFile)) {
        tsy::Export::Report(QString::fromLatin1(kSentence), tsy::Export::BadFileName());
        return false;
    }
    return true;
}

bool Failed(const FileError& error)
{
    tsy::Export::Report(QString::fromLatin1(kSentence), error);
    return false;
}

// Builds the record of one included event into record.
bool AppendRecord(const SocketEvent& e, const ExportChoices& c, QByteArray& record, FileError& error)
{
    record.append("\r\n");
    if (c.blnIncludeDateTimeStamp) record.append(e.mstrEventTime.toLatin1()).append("\r\n");
    if (c.blnIncludeDataDirection) {
        if (const char* line = DirectionLine(e.mobjEventType)) record.append(line).append("\r\n");
    }
    if (c.blnIncludeDescription) record.append(e.mstrDescription.toLatin1()).append("\r\n");
    if (!e.mstrData.isEmpty()) {
        tsy::FormatLibrary::Result r = tsy::FormatLibrary::Format(e.mstrData, c.chrFormat, c.intBytesPerRow);
        if (!r.ok) {
            error = {r.errorNumber, r.errorText};
            return false;
        }
        record.append(r.text);
    }
    return true;
}

} // namespace

const char* DirectionLine(int intEventType)
{
    return intEventType >= 0 && intEventType <= 24 ? kRules[intEventType].direction : nullptr;
}

int RawDirectionType(int intDirection)
{
    static constexpr int kTypes[4] = {SocketEventType::ServerBytesReceived, SocketEventType::ClientBytesSendStart,
                                      SocketEventType::ClientBytesReceived, SocketEventType::ServerBytesSendStart};
    return intDirection >= 0 && intDirection < 4 ? kTypes[intDirection] : -1;
}

bool SaveHistoryAsText(const QString& strFile, const std::shared_ptr<SocketPairHistory>& objHistory,
                       const ExportChoices& choices)
{
    if (!Usable(strFile, objHistory)) return false;
    tsy::Export::OutputFile file;
    if (!file.Open(strFile)) return Failed(file.Error());

    QByteArray record;
    FileError error;
    for (const std::shared_ptr<SocketEvent>& e : objHistory->mobjSocketPairEvents) {
        if (!Included(e->mobjEventType, choices)) continue;
        record.resize(0);
        if (!AppendRecord(*e, choices, record, error)) {
            // What came before stays in the file.
            file.Close();
            return Failed(error);
        }
        if (!file.Write(record)) return Failed(file.Error());
    }
    if (!file.Close()) return Failed(file.Error());
    return true;
}

bool SaveHistoryAsRawData(const QString& strFile, const std::shared_ptr<SocketPairHistory>& objHistory,
                          const ExportChoices& choices)
{
    if (!Usable(strFile, objHistory)) return false;
    tsy::Export::OutputFile file;
    if (!file.Open(strFile)) return Failed(file.Error());

    const int type = RawDirectionType(choices.intDirection);
    for (const std::shared_ptr<SocketEvent>& e : objHistory->mobjSocketPairEvents) {
        if (e->mobjEventType != type) continue;
        if (!file.Write(e->mstrData)) return Failed(file.Error());
    }
    if (!file.Close()) return Failed(file.Error());
    return true;
}

} // namespace SavingData
