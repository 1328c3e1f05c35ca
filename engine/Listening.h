#pragma once
// The listening side: one socket per configured port, and every socket pair
// made for a connection request. A hidden "window", never shown.
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <vector>

#include "platform/KeyedCollection.h"
#include "platform/PairKeyMap.h"

class ProtocolHandler;
class SocketPair;

namespace tsy {
class DescriptorClaim;
class Winsock;
}

class Listening : public QObject {
    Q_OBJECT
public:
    explicit Listening(QObject* parent = nullptr);
    ~Listening() override;

    // ---- public data ------------------------------------------------------
    // The socket array: element 0 is the template that never listens; an
    // unloaded element leaves a null gap. Use SocketElement()/HighestElement().
    std::vector<QPointer<tsy::Winsock>> sckServer;
    tsy::Winsock* SocketElement(int index) const;   // nullptr where none
    int HighestElement() const;                      // 0 when only the template exists
    bool ControlExists(int index) const { return SocketElement(index) != nullptr; }

    // Port sockets, key "KEY" and the port.
    tsy::KeyedCollection<QPointer<tsy::Winsock>> mcolListeningSocket;
    // Every pair made, accepted or refused, key = its SocketPairKey. A pair
    // that has been unloaded stays here (as a null pointer) until the purge.
    tsy::KeyedCollection<QPointer<SocketPair>, tsy::PairKeyMap> mobjSocketPairs;
    // Running number of the handled requests; wraps like a signed 16-bit number.
    int mintSocketPairCount = 0;
    // Requests refused at once because every pair key was held, since keys
    // were last handed out: the first writes an error entry, and the next
    // request served writes their count.
    qint64 mlngRefusedForWantOfKeys = 0;

    // ---- public operations --------------------------------------------------
    void InitaliseListeningSockets();
    tsy::Winsock* CreateListeningSocket();
    // With a claim, the socket draws its descriptor and its connection's on
    // it (and takes it over once listening) rather than on the free room.
    bool StartListeningOnSocket(tsy::Winsock*& objListeningSocket, int lngPort, int& lngError, QString& strError,
                                tsy::DescriptorClaim* objClaim = nullptr);
    void DeInitaliseListeningSockets();
    void StopListeningOnSocket(tsy::Winsock* objListeningSocket);
    // A one-shot port (tag "Ephemeral") still waiting for its connection stops
    // listening and retires as if it had been used, so the next purge pass
    // removes it. Anything else is left alone.
    void RetireUnusedOneShotPort(tsy::Winsock* objListeningSocket);
    void CheckListeningStatus(int lngPort);
    void CreateNewSocket(int lngPort, const QString& strDescription);

    // Longest wait for a socket to report listening before it counts as failed.
    static constexpr int kListenWaitMs = 5000;

public slots:
    void sckServer_ConnectionRequest(int Index, qint64 requestID);

private:
    bool CreateProtocolHandler(int lngPort, std::shared_ptr<ProtocolHandler>& objHandler);
    void UnloadElement(int index);
    void RetireElement(int index, int lngPort);
    // The next key in running order held by no pair, history or pair not
    // yet unloaded, as a PairKeyMap bit, or -1; the counter is left alone.
    int NextFreeSocketPairKey();
    void RefuseForWantOfKeys();
};
