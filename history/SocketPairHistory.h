#pragma once
// The history of one connection request, accepted or refused.
#include <QString>
#include <memory>

#include "history/SocketEvent.h"
#include "platform/KeyedCollection.h"

class SocketPairHistory {
public:
    // Events held, oldest first; keyed "KEY" + the running event number.
    tsy::KeyedCollection<std::shared_ptr<SocketEvent>> mobjSocketPairEvents;
    qint64 mlngMemoryAllocated = 0;     // total data length of the held events
    int mlngEventCount = 0;             // events ever added; never lowered
    QString mstrRemoteClientName;
    QString mstrRemoteClientIP;         // "<Unknown>" for a refused request
    int mlngRemoteClientPort = 0;       // -1 for a refused request
    QString mstrRemoteServerName;
    QString mstrRemoteServerIP;         // empty until connected; "<Error>" after a failed attempt
    int mlngRemoteServerPort = 0;
    int mlngLocalClientPort = 0;
    int mlngLocalServerPort = 0;        // the listening port; part of the tree keys
    QString mstrSocketPairKey;
    int mlngWasListeningOnPort = 0;
    bool mblnDead = false;
    QString mstrTimeOfDeath;
    QString mstrProtocol;
    qint64 mlngBytesC2S = 0;            // data received from the remote client
    qint64 mlngBytesS2C = 0;            // data received from the remote server
    bool mblnPreviousEventFollowOn = false;
    QString mstrErrorString;
    int mlngErrorNumber = 0;

    // Appends a filled event and returns the length of its data.
    qint64 AddEvent(const std::shared_ptr<SocketEvent>& objEvent);
};
