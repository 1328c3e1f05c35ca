// Shared procedures of General.
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/frmError.h"
#include "platform/KeyedTree.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"

#include <QFile>
#include <QHash>
#include <QPointer>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

// Unloads the error window so each test starts with an empty log.
void ResetErrorLog()
{
    General::gblnApplicationClosing = true;
    frmError::Unload();
    General::gblnApplicationClosing = false;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int LoggedErrors() { return frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0; }

class GeneralTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        ResetErrorLog();
    }
    void TearDown() override
    {
        tsy::Runtime::SetClock({});
        General::gblnKeepOnTop = false;
        ResetErrorLog();
    }
};

} // namespace

TEST_F(GeneralTest, TimeStampWithAndWithoutMilliseconds)
{
    tsy::Runtime::SetClock([] { return QTime(9, 5, 3, 42); });
    EXPECT_EQ(General::GetSystemTimeString(true), "09:05:03.042");
    EXPECT_EQ(General::GetSystemTimeString(false), "09:05:03");
    tsy::Runtime::SetClock([] { return QTime(0, 0, 7, 5); });
    EXPECT_EQ(General::GetSystemTimeString(true), "00:00:07.005");
    tsy::Runtime::SetClock([] { return QTime(23, 59, 59, 999); });
    EXPECT_EQ(General::GetSystemTimeString(false), "23:59:59");
}

TEST_F(GeneralTest, UnreadableClockGivesEmptyTextAndOneReport)
{
    tsy::Runtime::SetClock([] { return QTime(); });
    EXPECT_EQ(General::GetSystemTimeString(true), "");
    // The report's own stamp fails too, without recursing.
    ASSERT_NE(frmError::Loaded(), nullptr);
    EXPECT_GE(LoggedErrors(), 1);
    EXPECT_LE(LoggedErrors(), 2);
    EXPECT_TRUE(frmError::Loaded()->LogText().contains(
        "An error occurred while attempting to the get the system time.  The operating system reports: "));
}

TEST_F(GeneralTest, IsIPAddress)
{
    EXPECT_TRUE(General::IsIPAddress("127.0.0.1"));
    EXPECT_TRUE(General::IsIPAddress("300.1.1.1"));   // parts are not range checked
    for (const char* s : {"localhost", "1.2.3", "1.2.3.4.5", "1..3.4", "a.b.c.d", "", "www.example.co.uk", "1.2.3.4."})
        EXPECT_FALSE(General::IsIPAddress(s)) << s;
    EXPECT_EQ(LoggedErrors(), 0);
}

TEST_F(GeneralTest, NodeExistsOnTheRegisteredTree)
{
    EXPECT_FALSE(General::NodeExists("ROOT"));   // no tree yet: false, no report
    auto* tree = new tsy::KeyedTree;
    General::SetSocketTree(tree);
    tree->Add("", "ROOT", "All Activity", "AllActivity");
    EXPECT_TRUE(General::NodeExists("ROOT"));
    EXPECT_FALSE(General::NodeExists("PROTO25"));
    EXPECT_FALSE(General::NodeExists(""));
    delete tree;
    EXPECT_FALSE(General::NodeExists("ROOT"));   // the tree went away
    EXPECT_EQ(LoggedErrors(), 0);
}

TEST_F(GeneralTest, CollectionAndControlProbes)
{
    tsy::KeyedCollection<int> col;
    col.Add(1, "KEY1");
    EXPECT_TRUE(General::ExistsInCollection(col, QString("KEY1")));
    EXPECT_FALSE(General::ExistsInCollection(col, QString("KEY2")));
    EXPECT_TRUE(General::ExistsInCollection(col, 1));
    EXPECT_FALSE(General::ExistsInCollection(col, 2));

    QHash<int, QPointer<QObject>> controls;
    auto* o = new QObject;
    controls.insert(3, o);
    controls.insert(4, nullptr);
    EXPECT_TRUE(General::ControlExists(controls, 3));
    EXPECT_FALSE(General::ControlExists(controls, 4));
    EXPECT_FALSE(General::ControlExists(controls, 5));
    delete o;   // unloaded element
    EXPECT_FALSE(General::ControlExists(controls, 3));
}

TEST_F(GeneralTest, GetMinimum)
{
    EXPECT_EQ(General::GetMinimum(3, 7), 3);
    EXPECT_EQ(General::GetMinimum(7, 3), 3);
    struct V { int v; int tag; bool operator<(const V& o) const { return v < o.v; } };
    EXPECT_EQ(General::GetMinimum(V{5, 1}, V{5, 2}).tag, 2);   // equal: the second
    EXPECT_EQ(General::GetMinimum(10.0, 9.5), 9.5);
}

TEST_F(GeneralTest, DeleteEphemeralPortRemovesAllThree)
{
    using tsy::Settings::SaveSetting;
    SaveSetting("Protocols", "1234", "FTP Data - Dynamically allocated");
    SaveSetting("PortsInUse", "1234", "FTP Data - Dynamically allocated");
    SaveSetting("Protocols\\Pass Through\\Port 1234", "Server", "10.0.0.1");
    SaveSetting("Protocols", "21", "FTP");
    SaveSetting("Protocols\\Pass Through\\Port 1000", "Server", "keep");

    General::DeleteEphemeralPort(1234);
    EXPECT_FALSE(tsy::Settings::KeyExists("Protocols", "1234"));
    EXPECT_FALSE(tsy::Settings::KeyExists("PortsInUse", "1234"));
    EXPECT_TRUE(tsy::Settings::GetKeys("Protocols\\Pass Through\\Port 1234").isEmpty());
    EXPECT_TRUE(tsy::Settings::KeyExists("Protocols", "21"));
    EXPECT_EQ(tsy::Settings::GetSetting("Protocols\\Pass Through\\Port 1000", "Server"), "keep");
    EXPECT_EQ(LoggedErrors(), 0);
}

TEST_F(GeneralTest, DeleteEphemeralPortLeavesNoOrphanWhenAnEntryIsMissing)
{
    // No Protocols entry: the other two still go, and nothing is reported.
    tsy::Settings::SaveSetting("PortsInUse", "2345", "FTP Data - Dynamically allocated");
    tsy::Settings::SaveSetting("Protocols\\Pass Through\\Port 2345", "Port", "20");
    General::DeleteEphemeralPort(2345);
    EXPECT_FALSE(tsy::Settings::KeyExists("PortsInUse", "2345"));
    EXPECT_TRUE(tsy::Settings::GetKeys("Protocols\\Pass Through\\Port 2345").isEmpty());
    EXPECT_EQ(LoggedErrors(), 0);
}

TEST_F(GeneralTest, SetTopMostFollowsTheFlag)
{
    QWidget w;
    w.show();
    EXPECT_NE(General::SetTopMost(&w, true), 0);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_NE(General::SetTopMost(&w, false), 0);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(General::SetTopMost(nullptr, true), 0);   // a refusal, not an error
    EXPECT_EQ(LoggedErrors(), 0);

    QWidget dialog;
    dialog.show();
    General::ApplyKeepOnTop(&dialog);
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
    General::gblnKeepOnTop = true;
    General::ApplyKeepOnTop(&dialog);
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST_F(GeneralTest, RegistryValueIsTheAutostartEntry)
{
    EXPECT_EQ(General::SetRegistryValue(General::HKEY_RUN, "Tessaly", General::REG_SZ, "/usr/bin/TessalyApp"), 0);
    EXPECT_TRUE(tsy::Runtime::AutostartEnabled());
    QFile f(tsy::Runtime::AutostartFile());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("\nExec=/usr/bin/TessalyApp\n"));
    f.close();
    EXPECT_EQ(General::SetRegistryValue(General::HKEY_RUN, "Tessaly", General::REG_DWORD, 5), 0);
    EXPECT_THROW(General::SetRegistryValue(General::HKEY_RUN, "Tessaly", General::REG_DWORD, "abc"),
                 std::invalid_argument);
    EXPECT_EQ(General::SetRegistryValue(General::HKEY_RUN, "Tessaly", 3, "x"), 0);
    EXPECT_EQ(General::DeleteRegistryValue(General::HKEY_RUN, "Tessaly"), 0);
    EXPECT_FALSE(tsy::Runtime::AutostartEnabled());
}
