#pragma once
// A logger, a stand-alone socket tree with its root, and socket pairs without
// connections, for driving the event reports directly.
#include "engine/General.h"
#include "engine/SocketPair.h"
#include "engine/frmError.h"
#include "history/Logging.h"
#include "platform/KeyedTree.h"
#include "platform/Winsock.h"

#include <gtest/gtest.h>
#include <memory>
#include <vector>

class HistoryFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        General::gblnLoggingEnabled = true;
        log = std::make_unique<Logging>();
        tree = new tsy::KeyedTree;
        General::SetSocketTree(tree);
        tree->Add(QString(), "ROOT", "All Activity", "AllActivity");
    }
    void TearDown() override
    {
        General::SetSocketTree(nullptr);
        delete tree;
        for (SocketPair* p : pairs) delete p;
        log.reset();
        General::gblnLoggingEnabled = true;
    }

    // A pair keyed "KEY<n>" whose server socket reports the listening port.
    SocketPair* NewPair(int n, int listeningPort = 1000)
    {
        auto* p = new SocketPair;
        p->SetSocketPairKey("KEY" + QString::number(n));
        p->sckServer->SetLocalPort(listeningPort);
        pairs.push_back(p);
        return p;
    }

    SocketPairHistory& History(SocketPair* p) { return *log->mobjSocketPairHistory.Item(p->SocketPairKey()); }
    SocketEvent& Event(SocketPair* p, int position) { return *History(p).mobjSocketPairEvents.Item(position); }
    SocketEvent& Last(SocketPair* p)
    {
        auto& events = History(p).mobjSocketPairEvents;
        return *events.Item(events.Count());
    }
    void AddPortNode(int port, bool expanded = true)
    {
        const QString key = "PROTO" + QString::number(port);
        tree->Add("ROOT", key, "Pass Through (" + QString::number(port) + ")", "Protocol");
        tree->SetTag(key, QString::number(port));
        tree->SetExpanded("ROOT", true);
        tree->SetExpanded(key, expanded);
    }
    static int ErrorEntries() { return frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0; }
    static QString ErrorLog() { return frmError::Loaded() ? frmError::Loaded()->LogText() : QString(); }

    std::unique_ptr<Logging> log;
    tsy::KeyedTree* tree = nullptr;
    std::vector<SocketPair*> pairs;
};
