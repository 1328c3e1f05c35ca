#pragma once
// Program-wide objects and flags, and the small shared procedures that every
// part of the program uses.
#include "platform/KeyedCollection.h"
#include "platform/KeyedTree.h"

#include <QHash>
#include <QMap>
#include <QString>
#include <QTime>
#include <QVariant>
#include <exception>
#include <memory>

class QWidget;
class Logging;
class Listening;
class ProtocolHandler;

namespace General {

// ---- Program-wide objects (owned elsewhere; start-up creates them) --------
extern Logging* gobjLogging;
extern Listening* gobjListening;
// One prototype handler per protocol, keyed by its protocol name.
extern tsy::KeyedCollection<std::shared_ptr<ProtocolHandler>> gcolProtocols;

extern bool gblnConnectionDiagramView;
extern bool gblnLoggingEnabled;
// Set when the main window is first asked to close (also to the tray); never cleared.
extern bool gblnApplicationClosing;
// Mirrors the main window's Keep on Top item (mnuKeepOnTop); the main window
// sets it whenever the item changes. Windows shown while it is true are made
// topmost through ApplyKeepOnTop / SetTopMost.
extern bool gblnKeepOnTop;

// The main window's socket tree (tvwSockets), registered when it is built.
void SetSocketTree(tsy::KeyedTree* tree);
tsy::KeyedTree* SocketTree();

// ---- Shared procedures ----------------------------------------------------

// "hh:mm:ss", with ".zzz" when blnMilliseconds; "" (and a logged error) when
// the clock cannot be read.
QString GetSystemTimeString(bool blnMilliseconds);
// The same formatting without any error report (for the error log itself).
QString FormatTime(const QTime& t, bool blnMilliseconds);

// Does the socket tree (or the given tree) hold a node with this key? Never reports.
bool NodeExists(const QString& strKey);
bool NodeExists(const tsy::KeyedTree* tree, const QString& strKey);

// Does the keyed list hold this key / position? Never reports.
template <class T, class W>
bool ExistsInCollection(const tsy::KeyedCollection<T, W>& col, const QString& key) { return col.Exists(key); }
template <class T, class W>
bool ExistsInCollection(const tsy::KeyedCollection<T, W>& col, int position) { return position >= 1 && position <= col.Count(); }
template <class K, class T>
bool ExistsInCollection(const QHash<K, T>& col, const K& key) { return col.contains(key); }
template <class K, class T>
bool ExistsInCollection(const QMap<K, T>& col, const K& key) { return col.contains(key); }

// Is the element with that number loaded in the control array (a map from
// element number to a pointer or QPointer)? Never reports.
template <class M>
bool ControlExists(const M& controls, int index)
{
    auto it = controls.constFind(index);
    return it != controls.constEnd() && static_cast<bool>(it.value());
}

// Four "."-separated parts that each pass the numeric test; not range checked.
bool IsIPAddress(const QString& strDestination);

// Switches the window to or from topmost without moving, showing or
// activating it. Non-zero on success, 0 when it could not be done.
qint32 SetTopMost(QWidget* window, bool blnTopMost);
// SetTopMost(window, true) when Keep on Top is ticked; call just after showing.
void ApplyKeepOnTop(QWidget* window);

// Deletes a left-over FTP data port: its Protocols entry, its Pass Through
// section and its PortsInUse entry. Every deletion is attempted; an entry
// that is already absent counts as deleted.
void DeleteEphemeralPort(int lngPort);

// The error number and text of a trapped failure: a collection error keeps
// its own number, running out of memory is 7, anything else is 5.
void DescribeError(std::exception_ptr e, int& lngNumber, QString& strDescription);
// Writes the sentence followed by "number, description" of the failure to the error log.
void LogFailure(const QString& strSentence, std::exception_ptr e);

// The first value when it is less than the second, otherwise the second.
template <class T>
T GetMinimum(const T& a, const T& b) { return a < b ? a : b; }

// The start-with-the-desktop value. The key handle is kept for the callers'
// sake and ignored: the value is the per-user autostart entry. Type 1 (string)
// writes the entry with the value as the program path; type 4 (number) must
// convert to a 32-bit integer (else std::invalid_argument is thrown) and
// writes nothing; other types write nothing. 0 on success, else an error code.
constexpr qint32 REG_SZ = 1;
constexpr qint32 REG_DWORD = 4;
constexpr qint32 HKEY_RUN = 1;   // the only "open key" there is
qint32 SetRegistryValue(qint32 hKey, const QString& strValueName, qint32 lngType, const QVariant& vValue);
// Removes the start-with-the-desktop value. 0 on success.
qint32 DeleteRegistryValue(qint32 hKey, const QString& strValueName);

} // namespace General
