#pragma once
// One connection's history as a text data file (a record per event: time,
// direction and description lines and the data laid out by the formatting
// library) or as the raw bytes of one direction.
#include <QByteArray>
#include <QString>
#include <memory>

#include "export/ExportChoices.h"

class SocketPairHistory;
class SocketEvent;

namespace SavingData {

// True when the whole file was written; a failure is in the error log and
// what was written so far stays in the file.
bool SaveHistoryAsText(const QString& strFile, const std::shared_ptr<SocketPairHistory>& objHistory,
                       const tsy::Export::ExportChoices& choices);
bool SaveHistoryAsRawData(const QString& strFile, const std::shared_ptr<SocketPairHistory>& objHistory,
                          const tsy::Export::ExportChoices& choices);

// The direction line of an event type; nullptr when it has none.
const char* DirectionLine(int intEventType);
// The event type written for an entry of the direction list; -1 outside 0..3.
int RawDirectionType(int intDirection);

} // namespace SavingData
