// Platform layer: settings store, window timer, keyed collection and tree,
// numeric text, modal script, loaded windows, autostart entry, animation.
#include "common/TestSupport.h"
#include "platform/AnimationControl.h"
#include "platform/KeyedCollection.h"
#include "platform/KeyedTree.h"
#include "platform/LoadedWindows.h"
#include "platform/Modal.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/StripScrollBar.h"
#include "platform/TreeRowDelegate.h"
#include "platform/WindowTimer.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QSettings>
#include <QWidget>
#include <gtest/gtest.h>
#include <cmath>

using namespace tsy;

// ---- Settings ---------------------------------------------------------------

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { tsytest::ClearSettings(); }
};

TEST_F(SettingsTest, FileLivesInPrivateConfigHome)
{
    EXPECT_EQ(Settings::FilePath(), QDir(tsytest::TempHome()).filePath("config/Tessaly/Tessaly.ini"));
}

TEST_F(SettingsTest, RoundTripNestedSectionsAndDefaults)
{
    EXPECT_EQ(Settings::GetSetting("Options", "Missing", "dflt"), "dflt");
    Settings::SaveSetting("Protocols", "1000", "Pass Through");
    Settings::SaveSetting("Protocols\\Pass Through\\Port 1000", "Server", "mail.example.org");
    Settings::SaveSetting("Protocols\\Pass Through\\Port 1000", "Port", "110");
    Settings::SaveSetting("Options", "Text", "a, b; \"c\" = d \\ e");

    EXPECT_EQ(Settings::GetSetting("Protocols\\Pass Through\\Port 1000", "Server"), "mail.example.org");
    EXPECT_EQ(Settings::GetSetting("Options", "Text"), "a, b; \"c\" = d \\ e");
    // The sub-section is not a key of its parent.
    EXPECT_EQ(Settings::GetKeys("Protocols"), QStringList{"1000"});
    EXPECT_EQ(Settings::GetKeys("Protocols\\Pass Through\\Port 1000"), (QStringList{"Port", "Server"}));

    // The published layout: nested groups readable through QSettings directly.
    QSettings direct(Settings::FilePath(), QSettings::IniFormat);
    EXPECT_EQ(direct.value("Protocols/Pass Through/Port 1000/Server").toString(), "mail.example.org");
    // A tool writing through QSettings is seen at once.
    direct.setValue("PortsInUse/25", "SMTP");
    direct.sync();
    EXPECT_EQ(Settings::GetSetting("PortsInUse", "25"), "SMTP");

    // The writes reach the file by the next turn of the event loop.
    Settings::SaveSetting("Options", "Later", "written");
    tsytest::Pump(20);
    QFile f(Settings::FilePath());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray raw = f.readAll();
    EXPECT_TRUE(raw.contains("Later=written"));
    EXPECT_TRUE(raw.contains("[Protocols]"));
}

TEST_F(SettingsTest, NumericKeysComeBackInNumericOrder)
{
    for (const char* p : {"8080", "21", "443", "110", "1000", "25", "5"})
        Settings::SaveSetting("Protocols", p, "HTTP");
    EXPECT_EQ(Settings::GetKeys("Protocols"), (QStringList{"5", "21", "25", "110", "443", "1000", "8080"}));
    const auto all = Settings::GetAllSettings("Protocols");
    ASSERT_EQ(all.size(), 7);
    EXPECT_EQ(all.first().first, "5");
    EXPECT_EQ(all.last().second, "HTTP");
}

TEST_F(SettingsTest, DeleteKeyAndSection)
{
    Settings::SaveSetting("Protocols", "1000", "Pass Through");
    Settings::SaveSetting("Protocols", "25", "Pass Through");
    Settings::SaveSetting("Protocols\\Pass Through\\Port 1000", "Server", "x");
    Settings::SaveSetting("Protocols\\Pass Through\\Port 25", "Server", "y");

    Settings::DeleteSetting("Protocols", "1000");
    EXPECT_FALSE(Settings::KeyExists("Protocols", "1000"));
    EXPECT_TRUE(Settings::KeyExists("Protocols", "25"));
    // Deleting a key never takes a sub-section of the same name.
    Settings::DeleteSetting("Protocols", "Pass Through");
    EXPECT_EQ(Settings::GetSetting("Protocols\\Pass Through\\Port 25", "Server"), "y");
    // Deleting an absent key is harmless.
    Settings::DeleteSetting("Protocols", "4242");

    Settings::DeleteSection("Protocols\\Pass Through\\Port 1000");
    EXPECT_TRUE(Settings::GetKeys("Protocols\\Pass Through\\Port 1000").isEmpty());
    EXPECT_EQ(Settings::GetSetting("Protocols\\Pass Through\\Port 25", "Server"), "y");
    EXPECT_EQ(Settings::GetKeys("Protocols"), QStringList{"25"});

    Settings::DeleteSection("Protocols");
    EXPECT_EQ(Settings::GetSetting("Protocols\\Pass Through\\Port 25", "Server", "gone"), "gone");
    EXPECT_TRUE(Settings::LastError().isEmpty());
}

// ---- Window timer -------------------------------------------------------------

TEST(WindowTimerTest, IntervalZeroStaysSilentAndEnabledTimerFires)
{
    WindowTimer t(nullptr, 0, true);
    int fired = 0;
    QObject::connect(&t, &WindowTimer::Timer, [&] { ++fired; });
    tsytest::Pump(60);
    EXPECT_EQ(fired, 0);

    t.SetInterval(10);
    EXPECT_TRUE(tsytest::WaitUntil([&] { return fired >= 3; }));

    t.SetEnabled(false);
    tsytest::Pump(20);
    const int stopped = fired;
    tsytest::Pump(60);
    EXPECT_EQ(fired, stopped);

    // Enabled again but interval 0: still silent.
    t.SetInterval(0);
    t.SetEnabled(true);
    tsytest::Pump(60);
    EXPECT_EQ(fired, stopped);
    EXPECT_TRUE(t.Enabled());
}

// ---- Keyed collection -----------------------------------------------------------

TEST(KeyedCollectionTest, OrderKeysAndFailures)
{
    KeyedCollection<int> c;
    c.Add(10, "A");
    c.Add(20);
    c.Add(30, "C");
    EXPECT_EQ(c.Count(), 3);
    EXPECT_EQ(c.Item(1), 10);
    EXPECT_EQ(c.Item("C"), 30);
    EXPECT_THROW(c.Add(40, "A"), CollectionError);
    EXPECT_EQ(c.Count(), 3);
    EXPECT_THROW(c.Item(0), CollectionError);
    EXPECT_THROW(c.Item(4), CollectionError);
    EXPECT_THROW(c.Item("B"), CollectionError);

    c.Remove(1);   // later items move forward
    EXPECT_EQ(c.Item(1), 20);
    EXPECT_FALSE(c.Exists("A"));
    c.Add(50, "A");   // the key is free again
    c.Remove("C");
    QList<int> seen;
    for (int v : c) seen.append(v);
    EXPECT_EQ(seen, (QList<int>{20, 50}));
    EXPECT_EQ(c.KeyAt(2), "A");
    EXPECT_THROW(c.Remove("C"), CollectionError);
}

// ---- Keyed tree -----------------------------------------------------------------

TEST(KeyedTreeTest, AddFindRemoveSubtree)
{
    KeyedTree t;
    t.Add("", "ROOT", "All Activity", "AllActivity");
    t.Add("ROOT", "PROTO1000", "Pass Through (1000)", "Protocol");
    t.Add("PROTO1000", "CON1000a", "conn", "Connection");
    t.Add("CON1000a", "KEY1", "Alive", "Socket");
    t.Add("KEY1", "KEY1-1", "ev", "Event");
    t.Add("ROOT", "PROTO21", "FTP (21)", "Protocol", 0);   // inserted first
    EXPECT_EQ(t.ChildKeys("ROOT"), (QStringList{"PROTO21", "PROTO1000"}));
    EXPECT_EQ(t.Count(), 6);
    EXPECT_THROW(t.Add("ROOT", "KEY1", "dup"), CollectionError);
    EXPECT_THROW(t.Add("NOPE", "X", "orphan"), CollectionError);
    EXPECT_EQ(t.ParentKey("KEY1"), "CON1000a");
    EXPECT_EQ(t.Image("KEY1"), "Socket");

    t.SetText("KEY1", "<b>Dead</b>");
    EXPECT_EQ(t.Text("KEY1"), "<b>Dead</b>");
    t.SetTag("KEY1", 7);
    EXPECT_EQ(t.Tag("KEY1").toInt(), 7);

    t.Remove("PROTO1000");
    EXPECT_FALSE(t.Exists("PROTO1000"));
    EXPECT_FALSE(t.Exists("KEY1"));
    EXPECT_FALSE(t.Exists("KEY1-1"));
    EXPECT_EQ(t.Count(), 2);
    t.Add("ROOT", "KEY1", "reused key");   // descendants' keys were freed
    EXPECT_THROW(t.Remove("PROTO1000"), CollectionError);

    t.RemoveChildren("ROOT");
    EXPECT_EQ(t.Children("ROOT"), 0);
    EXPECT_EQ(t.Count(), 1);
    t.Clear();
    EXPECT_FALSE(t.Exists("ROOT"));
}

TEST(KeyedTreeTest, ImagesAppliedLateAndSelection)
{
    KeyedTree t;
    t.Add("", "ROOT", "root", "AllActivity");
    t.Add("ROOT", "", "unkeyed", "Event");
    QImage img(16, 16, QImage::Format_ARGB32);
    img.fill(Qt::red);
    t.SetImages({{"AllActivity", QIcon(QPixmap::fromImage(img))}, {"Event", QIcon(QPixmap::fromImage(img))}});
    EXPECT_FALSE(t.Find("ROOT")->icon(0).isNull());
    EXPECT_FALSE(t.Find("ROOT")->child(0)->icon(0).isNull());
    t.Select("ROOT");
    EXPECT_EQ(t.SelectedKey(), "ROOT");
    t.SetExpanded("ROOT", true);
    EXPECT_TRUE(t.Expanded("ROOT"));
}

// The expanded state follows the view however a node opens or closes (the
// view's own calls, the user's sign), and a node removed while open leaves
// no state behind for one made at its place.
TEST(KeyedTreeTest, ExpandedFollowsTheView)
{
    KeyedTree t;
    t.Add("", "ROOT", "root");
    t.Add("ROOT", "S", "socket");
    t.Add("S", "S-1", "event");
    EXPECT_FALSE(t.Expanded("S"));
    t.expandItem(t.Find("ROOT"));
    t.Find("S")->setExpanded(true);
    EXPECT_TRUE(t.Expanded("ROOT"));
    EXPECT_TRUE(t.Expanded("S"));
    t.collapseItem(t.Find("S"));
    EXPECT_FALSE(t.Expanded("S"));
    EXPECT_EQ(t.Expanded("S"), t.Find("S")->isExpanded());
    t.SetExpanded("S", true);
    t.Remove("S");
    t.Add("ROOT", "S", "socket again");
    t.Add("S", "S-1", "event");
    EXPECT_FALSE(t.Expanded("S"));
    EXPECT_EQ(t.Expanded("ROOT"), t.Find("ROOT")->isExpanded());
    t.Clear();
    t.Add("", "ROOT", "root");
    EXPECT_FALSE(t.Expanded("ROOT"));
}

// Nodes added or removed for later keep every keyed answer exact at once;
// only the view's own items wait for the flush.
TEST(KeyedTreeTest, DeferredChangesReadAtOnceAndReachTheViewTogether)
{
    KeyedTree t;
    t.Add("", "ROOT", "root");
    t.Add("ROOT", "S", "socket");
    for (int i = 1; i <= 3; ++i) t.Add("S", "S-" + QString::number(i), "old");
    for (int i = 4; i <= 6; ++i) t.AddLater("S", "S-" + QString::number(i), "new " + QString::number(i), "Event");
    t.SetTag("S-5", 5);
    EXPECT_EQ(t.Tag("S-5").toInt(), 5);
    EXPECT_EQ(t.ParentKey("S-6"), "S");
    EXPECT_EQ(t.Node("S")->childCount(), 3);   // the view has not got them yet
    EXPECT_THROW(t.AddLater("S", "S-4", "dup"), CollectionError);

    // Two attached and one pending go; the rest renumber from 1 like the purge.
    t.RemoveFirstChildren("S", 2);
    t.RemoveFirstChildren("S", 2);
    EXPECT_FALSE(t.Exists("S-1"));
    EXPECT_FALSE(t.Exists("S-4"));
    EXPECT_EQ(t.ChildKeys("S"), (QStringList{"S-5", "S-6"}));
    EXPECT_EQ(t.Children("S"), 2);
    EXPECT_EQ(t.Count(), 4);
    t.Rekey("S-5", "S-1");
    t.Rekey("S-6", "S-2");
    EXPECT_EQ(t.Text("S-2"), "new 6");

    t.Flush();
    const QTreeWidgetItem* s = t.Node("S");
    ASSERT_EQ(s->childCount(), 2);
    EXPECT_EQ(KeyedTree::KeyOf(s->child(0)), "S-1");
    EXPECT_EQ(s->child(1)->text(0), "new 6");
    EXPECT_EQ(t.Count(), 4);

    // A removal under the current node happens at once, as the view moves
    // the current node off it; removing more than there are empties the branch.
    t.AddLater("S", "S-3", "newest");
    t.Select("S-1");
    t.RemoveFirstChildren("S", 5);
    EXPECT_EQ(t.Node("S")->childCount(), 0);
    EXPECT_EQ(t.Children("S"), 0);
    EXPECT_NE(t.SelectedKey(), "S-1");

    // Removing the parent, or clearing, takes pending nodes with it.
    t.AddLater("S", "S-1", "again");
    t.Remove("S");
    EXPECT_FALSE(t.Exists("S-1"));
    t.AddLater("ROOT", "X", "pending at clear");
    t.Clear();
    EXPECT_EQ(t.Count(), 0);
    t.Add("", "X", "reused");
}

// The purge's renumbering: after the oldest children go, the rest answer to
// their positions at once, with or without a flush between, through further
// trims and live additions; nodes given other keys keep them.
TEST(KeyedTreeTest, RenumberedChildrenAnswerToTheirPositions)
{
    KeyedTree t;
    t.Add("", "ROOT", "root");
    t.Add("ROOT", "S", "socket");
    for (int i = 1; i <= 3; ++i) t.Add("S", "S-" + QString::number(i), "old " + QString::number(i));
    for (int i = 4; i <= 6; ++i) t.AddLater("S", "S-" + QString::number(i), "new " + QString::number(i));
    t.SetTag("S-3", "tag 3");
    EXPECT_FALSE(t.RenumberChildren("S", "S-"));   // numbered already

    t.RemoveFirstChildren("S", 2);
    EXPECT_TRUE(t.RenumberChildren("S", "S-"));
    EXPECT_EQ(t.ChildKeys("S"), (QStringList{"S-1", "S-2", "S-3", "S-4"}));
    EXPECT_EQ(t.Text("S-1"), "old 3");
    EXPECT_EQ(t.Tag("S-1").toString(), "tag 3");
    EXPECT_EQ(t.Text("S-4"), "new 6");
    EXPECT_FALSE(t.Exists("S-5"));
    EXPECT_FALSE(t.Exists("S-0"));
    EXPECT_EQ(t.ParentKey("S-2"), "S");
    EXPECT_EQ(t.Count(), 6);

    // Live additions take the next positions; a taken one is refused.
    t.AddLater("S", "S-5", "live 5");
    EXPECT_THROW(t.AddLater("S", "S-5", "dup"), CollectionError);
    // The next number is refused too while a node elsewhere holds it as
    // its key; a missing parent comes second to a taken key.
    t.Add("ROOT", "S-6", "elsewhere");
    try {
        t.AddLater("S", "S-6", "dup");
        ADD_FAILURE() << "a key held elsewhere was taken";
    } catch (const CollectionError& e) {
        EXPECT_EQ(e.number, 35602);
    }
    try {
        t.AddLater("missing", "S-6", "dup");
        ADD_FAILURE() << "a taken key under a missing parent was accepted";
    } catch (const CollectionError& e) {
        EXPECT_EQ(e.number, 35602);
    }
    try {
        t.AddLater("missing", "free", "x");
        ADD_FAILURE() << "a missing parent was accepted";
    } catch (const CollectionError& e) {
        EXPECT_EQ(e.number, 35601);
    }
    t.Remove("S-6");
    EXPECT_THROW(t.Add("S", "S-2", "dup"), CollectionError);
    t.Flush();
    t.Add("S", "S-6", "live 6");
    const QTreeWidgetItem* s = t.Node("S");
    ASSERT_EQ(s->childCount(), 6);
    EXPECT_EQ(KeyedTree::KeyOf(s->child(0)), "S-1");
    EXPECT_EQ(KeyedTree::KeyOf(s->child(5)), "S-6");
    EXPECT_EQ(s->child(4)->text(0), "live 5");

    // A second trim, the view's rows still waiting for it.
    t.AddLater("S", "S-7", "live 7");
    t.RemoveFirstChildren("S", 3);
    EXPECT_TRUE(t.RenumberChildren("S", "S-"));
    EXPECT_EQ(t.ChildKeys("S"), (QStringList{"S-1", "S-2", "S-3", "S-4"}));
    EXPECT_EQ(t.Text("S-1"), "new 6");
    EXPECT_EQ(t.Text("S-4"), "live 7");
    EXPECT_EQ(t.Count(), 6);
    t.Flush();
    ASSERT_EQ(s->childCount(), 4);
    EXPECT_EQ(KeyedTree::KeyOf(s->child(3)), "S-4");
    EXPECT_EQ(s->child(3)->text(0), "live 7");

    // One node removed or renamed leaves the others' keys as they are.
    t.Remove("S-2");
    EXPECT_EQ(t.ChildKeys("S"), (QStringList{"S-1", "S-3", "S-4"}));
    t.Rekey("S-3", "other");
    t.AddLater("S", "S-9", "out of order");
    EXPECT_EQ(t.ChildKeys("S"), (QStringList{"S-1", "other", "S-4", "S-9"}));
    EXPECT_EQ(t.Text("other"), "live 6");
    EXPECT_TRUE(t.RenumberChildren("S", "S-"));
    EXPECT_EQ(t.ChildKeys("S"), (QStringList{"S-1", "S-2", "S-3", "S-4"}));
    EXPECT_EQ(t.Text("S-4"), "out of order");
    EXPECT_FALSE(t.Exists("other"));

    // A selected child is found by its new key; removing the branch takes every key.
    t.Select("S-2");
    EXPECT_EQ(t.SelectedKey(), "S-2");
    t.Remove("S");
    EXPECT_FALSE(t.Exists("S-1"));
    EXPECT_EQ(t.Count(), 1);
    t.Add("ROOT", "S", "again");
    t.Add("S", "S-1", "fresh");
    EXPECT_EQ(t.Text("S-1"), "fresh");
}

// ---- Numbers --------------------------------------------------------------------

TEST(NumbersTest, NumericTextRule)
{
    for (const char* s : {"0", "  42  ", "-7", "+3.5", "1.", ".5", "1e3", "2.5E-2", "\t12\t", "65535"})
        EXPECT_TRUE(Numbers::IsNumeric(s)) << s;
    for (const char* s : {"", "   ", "abc", "1a", "1 2", "1,5", "--1", "e5", ".", "0x10", "1e", "1e999", "inf", "nan"})
        EXPECT_FALSE(Numbers::IsNumeric(s)) << s;
    EXPECT_DOUBLE_EQ(*Numbers::ParseNumeric(" 2.5E-2 "), 0.025);
    // Only blanks and tabs may surround the number: no line ends, no other spaces.
    for (const char* s : {"0\n", "\n0", "1\r", "0\n\n", "1\v", "1\f", "\xa0" "1"})
        EXPECT_FALSE(Numbers::IsNumeric(QString::fromLatin1(s))) << s;
    // Too small to represent is 0; too large is not a number (but reads as infinity).
    for (const char* s : {"-1e-1836", "1e-400", "0.0000e-99999999999"}) EXPECT_EQ(Numbers::ParseNumeric(s), 0.0) << s;
    EXPECT_EQ(Numbers::ReadNumber("-1e999"), -std::numeric_limits<double>::infinity());
    EXPECT_FALSE(Numbers::ReadNumber("1e"));
}

TEST(NumbersTest, WholeNumbersNeverConvertOutOfRange)
{
    constexpr qint64 kMin = std::numeric_limits<qint64>::min(), kMax = std::numeric_limits<qint64>::max();
    // 1e19 and 2^63 exceed qint64 although 2^63 compares equal to double(kMax).
    for (const char* s : {"1e19", "-1e19", "9223372036854775808", "1e30", "-1e30"})
        EXPECT_FALSE(Numbers::WholeInRange(s, kMin, kMax)) << s;
    EXPECT_EQ(Numbers::WholeInRange("-9223372036854775808", kMin, kMax), kMin);
    EXPECT_EQ(Numbers::WholeInRange("9223372036854774784", kMin, kMax), 9223372036854774784LL);
    EXPECT_EQ(Numbers::WholeInRange("-1e-1836", -1, 1), 0);
    EXPECT_FALSE(Numbers::WholeWithin(std::nan(""), kMin, kMax));
}

TEST(NumbersTest, BytesPerRowRule)
{
    const std::pair<const char*, const char*> table[] = {
        {"200", "128"}, {"abc", "8"}, {"18", "16"}, {"", "8"}, {"3.5", "4"}, {"14", "12"},
        {"1", "4"}, {"-7", "4"}, {"130", "128"}, {"127.9", "128"}, {"9.5", "8"}, {" 64 ", "64"}};
    for (auto [in, out] : table) EXPECT_EQ(Numbers::BytesPerRowRule(in), QString(out)) << in;
}

TEST(NumbersTest, HalfToEven)
{
    const std::pair<double, double> table[] = {{0.5, 0}, {1.5, 2}, {2.5, 2}, {3.5, 4}, {-0.5, 0}, {-1.5, -2},
                                               {-2.5, -2}, {2.4999, 2}, {2.5001, 3}, {65535.5, 65536}, {7, 7}};
    for (auto [in, out] : table) EXPECT_EQ(Numbers::RoundHalfEven(in), out) << in;
    EXPECT_EQ(Numbers::WholeInRange("65535.4", 1, 65535), 65535);
    EXPECT_FALSE(Numbers::WholeInRange("65535.5", 1, 65535));   // rounds to 65536
    EXPECT_EQ(Numbers::WholeInRange("0.5", 0, 10), 0);
    EXPECT_FALSE(Numbers::WholeInRange("1e30", 0, 65535));
    EXPECT_FALSE(Numbers::WholeInRange("x", 0, 65535));
}

// ---- Modal seam -------------------------------------------------------------------

TEST(ModalTest, ScriptAnswersAndRecords)
{
    auto& s = Modal::UseScript();
    s.answers = {Modal::Answer::No};
    s.fileNames = {"/tmp/a.htm"};
    s.colours = {QColor(Qt::blue), QColor()};
    EXPECT_EQ(Modal::MsgBox(nullptr, "Sure?", Modal::Icon::Question, Modal::Buttons::YesNo), Modal::Answer::No);
    EXPECT_EQ(Modal::MsgBox(nullptr, "Again?", Modal::Icon::Question, Modal::Buttons::YesNo), Modal::Answer::Yes);
    EXPECT_EQ(Modal::MsgBox(nullptr, "Note"), Modal::Answer::Ok);
    EXPECT_EQ(Modal::GetSaveFileName(nullptr, "Save", "/tmp", "HTML (*.htm)"), "/tmp/a.htm");
    EXPECT_EQ(Modal::GetOpenFileName(nullptr, "Open", "/tmp", "*"), "");
    QColor c;
    EXPECT_TRUE(Modal::ChooseColour(nullptr, Qt::white, &c));
    EXPECT_EQ(c, QColor(Qt::blue));
    EXPECT_FALSE(Modal::ChooseColour(nullptr, Qt::white, &c));   // cancelled
    EXPECT_FALSE(Modal::ChooseColour(nullptr, Qt::white, &c));   // script dry

    EXPECT_EQ(s.count("MsgBox"), 3);
    EXPECT_EQ(s.texts(), (QStringList{"Sure?", "Again?", "Note"}));
    EXPECT_EQ(s.calls.first().title, "Tessaly");
    EXPECT_EQ(s.calls.first().icon, Modal::Icon::Question);

    Runtime::SetProgramDir("/opt/tsy");
    EXPECT_TRUE(Runtime::OpenHelp());
    EXPECT_EQ(s.texts("OpenWith"), QStringList{"/opt/tsy/Help/TSY.html"});
    Runtime::SetProgramDir(QString());
    Modal::SetBackend(nullptr);
}

// ---- Loaded windows -----------------------------------------------------------------

TEST(LoadedWindowsTest, RegistryByNameDropsDestroyed)
{
    const int before = LoadedWindows::Count();
    auto* a = new QObject;
    auto* b = new QObject;
    auto* c = new QObject;
    LoadedWindows::Register(a, "SocketPair");
    LoadedWindows::Register(b, "frmOptions");
    LoadedWindows::Register(c, "SocketPair");
    EXPECT_EQ(LoadedWindows::Named("SocketPair"), (QList<QObject*>{a, c}));
    EXPECT_EQ(LoadedWindows::Count(), before + 3);
    delete a;
    EXPECT_EQ(LoadedWindows::Named("SocketPair"), QList<QObject*>{c});
    LoadedWindows::Unregister(c);
    EXPECT_EQ(LoadedWindows::Count("SocketPair"), 0);
    delete b;
    delete c;
    EXPECT_EQ(LoadedWindows::Count(), before);

    // A window destroyed without unregistering, and another made at the
    // very same address: the newcomer is a new entry, last in load order.
    alignas(QObject) unsigned char place[sizeof(QObject)];
    auto* first = new (place) QObject;
    auto* d = new QObject;
    LoadedWindows::Register(first, "SocketPair");
    LoadedWindows::Register(d, "SocketPair");
    first->~QObject();
    auto* second = new (place) QObject;
    LoadedWindows::Register(second, "frmOptions");
    EXPECT_EQ(LoadedWindows::Named("SocketPair"), QList<QObject*>{d});
    EXPECT_EQ(LoadedWindows::All().mid(before), (QList<QObject*>{d, second}));
    LoadedWindows::Register(d, "frmOptions");   // a new name, the same place
    EXPECT_EQ(LoadedWindows::Named("frmOptions"), (QList<QObject*>{d, second}));
    second->~QObject();
    delete d;
    EXPECT_EQ(LoadedWindows::Count(), before);

    QPointer<QWidget> lazy;
    QWidget* w1 = LoadedWindows::Load(lazy);
    EXPECT_EQ(LoadedWindows::Load(lazy), w1);
    EXPECT_FALSE(w1->isVisible());
    delete w1;
    EXPECT_NE(LoadedWindows::Load(lazy), nullptr);
    delete lazy.data();
}

// ---- Runtime ------------------------------------------------------------------------------

TEST(RuntimeTest, AutostartEntryWrittenAndRemoved)
{
    const QString file = Runtime::AutostartFile();
    EXPECT_EQ(file, QDir(tsytest::TempHome()).filePath("config/autostart/TessalyApp.desktop"));
    ASSERT_TRUE(Runtime::SetAutostart("/opt/my apps/TessalyApp"));
    EXPECT_TRUE(Runtime::AutostartEnabled());
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(text.contains("\nExec=\"/opt/my apps/TessalyApp\"\n")) << text.toStdString();
    EXPECT_TRUE(Runtime::RemoveAutostart());
    EXPECT_FALSE(Runtime::AutostartEnabled());
    EXPECT_TRUE(Runtime::RemoveAutostart());   // already gone: fine
}

TEST(RuntimeTest, RandomClockTwipsAndDataDir)
{
    Runtime::Randomize(42);
    QList<double> first;
    for (int i = 0; i < 100; ++i) {
        const double r = Runtime::Rnd();
        ASSERT_GE(r, 0.0);
        ASSERT_LT(r, 1.0);
        first.append(r);
    }
    Runtime::Randomize(42);
    EXPECT_EQ(Runtime::Rnd(), first[0]);
    Runtime::SetRandomSource([] { return 0.25; });
    EXPECT_EQ(Runtime::Rnd(), 0.25);
    Runtime::SetRandomSource({});

    Runtime::SetClock([] { return QTime(9, 5, 3, 42); });
    EXPECT_EQ(Runtime::LocalTime(), QTime(9, 5, 3, 42));
    Runtime::SetClock({});
    // The real clock, whose zone conversion is cached per second, lies
    // between two readings of the system's local time (a reading across
    // midnight is taken again).
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QTime before = QDateTime::currentDateTime().time();
        const QTime now = Runtime::LocalTime();
        const QTime after = QDateTime::currentDateTime().time();
        if (after < before) continue;
        EXPECT_LE(before, now);
        EXPECT_LE(now, after);
        break;
    }

    EXPECT_EQ(Runtime::PixelsToTwips(Runtime::TwipsToPixels(1440)), 1440);
    EXPECT_GT(Runtime::TwipsPerPixel(), 0);
    EXPECT_EQ(Runtime::DataDir(), QDir(tsytest::TempHome()).filePath("data/Tessaly"));
    EXPECT_TRUE(QDir(Runtime::DataDir()).exists());
}

TEST(RuntimeTest, TopMostKeepsHiddenWindowHidden)
{
    QWidget hidden;
    EXPECT_TRUE(Runtime::SetWindowTopMost(&hidden, true));
    EXPECT_TRUE(hidden.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(hidden.isVisible());

    QWidget shown;
    shown.show();
    EXPECT_TRUE(Runtime::SetWindowTopMost(&shown, true));
    EXPECT_TRUE(shown.isVisible());
    EXPECT_FALSE(shown.testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(Runtime::SetWindowTopMost(&shown, false));
    EXPECT_FALSE(shown.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(Runtime::SetWindowTopMost(nullptr, true));
}

// ---- Animation control --------------------------------------------------------------------

// A 1x1 two-frame looping GIF, 100 ms per frame.
static QByteArray TinyAnimatedGif()
{
    const QByteArray frame("\x21\xF9\x04\x00\x0A\x00\x00\x00"
                           "\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x00"
                           "\x02\x02\x44\x01\x00", 23);
    QByteArray gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xFF\xFF\xFF\x00\x00\x00", 19);
    gif += QByteArray("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    gif += frame + frame;
    gif += '\x3B';
    return gif;
}

TEST(AnimationControlTest, AviNameOpensGifAndMissingClipLeavesItEmpty)
{
    QTemporaryDir dir;
    AnimationControl a;
    EXPECT_FALSE(a.Open(dir.filePath("Missing.avi")));
    EXPECT_FALSE(a.IsOpen());
    a.Play();   // harmless without a clip
    EXPECT_FALSE(a.IsPlaying());

    QFile f(dir.filePath("Clip.gif"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(TinyAnimatedGif());
    f.close();
    ASSERT_TRUE(a.Open(dir.filePath("Clip.avi")));
    EXPECT_TRUE(a.IsOpen());
    a.Play();
    EXPECT_TRUE(a.IsPlaying());
    a.Stop();
    EXPECT_FALSE(a.IsPlaying());
    a.CloseClip();
    EXPECT_FALSE(a.IsOpen());
    EXPECT_EQ(a.movie(), nullptr);

    // Controls share a clip's frames: closing one leaves the other showing
    // and playing it; a clip missing once is found when it appears.
    AnimationControl b;
    ASSERT_TRUE(a.Open(dir.filePath("Clip.avi")));
    ASSERT_TRUE(b.Open(dir.filePath("Clip.gif")));
    b.Play();
    a.CloseClip();
    EXPECT_TRUE(a.pixmap().isNull());
    EXPECT_EQ(b.pixmap().size(), QSize(1, 1));
    EXPECT_TRUE(b.IsPlaying());
    ASSERT_TRUE(QFile::copy(dir.filePath("Clip.gif"), dir.filePath("Missing.gif")));
    EXPECT_TRUE(a.Open(dir.filePath("Missing.avi")));

    // Playing clips move on together on one clock; one deleted while playing
    // leaves it, and the others go on.
    auto* gone = new AnimationControl;
    ASSERT_TRUE(gone->Open(dir.filePath("Clip.gif")));
    gone->Play();
    a.Play();
    delete gone;
    const qint64 shownA = a.pixmap().cacheKey(), shownB = b.pixmap().cacheKey();
    EXPECT_TRUE(tsytest::WaitUntil([&] { return a.pixmap().cacheKey() != shownA && b.pixmap().cacheKey() != shownB; },
                                   10000));
    b.Stop();
    EXPECT_FALSE(b.IsPlaying());
    EXPECT_TRUE(a.IsPlaying());
}

// A bar drawn through its kept picture (in strips when tall) looks exactly
// as Qt's own, tall or wide, enabled or not, wherever its handle stands, and
// follows every change.
TEST(StripScrollBarTest, PaintsThePixelsOfAPlainBar)
{
    for (const Qt::Orientation orientation : {Qt::Vertical, Qt::Horizontal}) {
        SCOPED_TRACE(int(orientation));
        QWidget window;
        window.resize(1000, 700);
        StripScrollBar strips(orientation, &window);
        QScrollBar plain(orientation, &window);
        const QSize size = orientation == Qt::Vertical ? QSize(14, 669) : QSize(924, 17);
        strips.setGeometry(QRect(QPoint(0, 0), size));
        plain.setGeometry(QRect(QPoint(30, 30), size));
        window.show();
        for (const int value : {0, 57, 200, 57}) {
            for (const bool enabled : {true, false}) {
                SCOPED_TRACE(value);
                for (QScrollBar* bar : {static_cast<QScrollBar*>(&strips), &plain}) {
                    bar->setRange(0, enabled ? 200 : 0);
                    bar->setValue(value);
                    bar->setPageStep(value + 10);
                    bar->setEnabled(enabled);
                }
                for (int twice = 0; twice < 2; ++twice) {
                    const QImage a = strips.grab().toImage(), b = plain.grab().toImage();
                    ASSERT_EQ(a.size(), b.size());
                    EXPECT_TRUE(a == b);
                }
            }
        }
    }
}

// Rows copied from pictures look exactly as rows drawn in place, the
// selected one (drawn in place) included, before and after the texts change.
TEST(TreeRowDelegateTest, PaintsThePixelsOfThePlainPainter)
{
    QWidget window;
    window.resize(600, 400);
    KeyedTree pictures(&window), plain(&window);
    pictures.setItemDelegate(new TreeRowDelegate(&pictures));
    QImage red(16, 16, QImage::Format_ARGB32);
    red.fill(Qt::red);
    int x = 0;
    for (KeyedTree* t : {&pictures, &plain}) {
        t->setGeometry(x, 0, 250, 400);
        x += 300;
        t->setFocusPolicy(Qt::NoFocus);
        t->setUniformRowHeights(true);   // as the socket tree: one font, one icon size
        t->SetImages({{"Event", QIcon(QPixmap::fromImage(red))}});
        t->Add("", "S", "socket");
        for (int i = 1; i <= 30; ++i) t->Add("S", "S-" + QString::number(i), i % 3 ? "65536 bytes of data" : "other", "Event");
        t->SetExpanded("S", true);
    }
    window.show();
    const auto same = [&] {
        const QImage a = pictures.viewport()->grab().toImage(), b = plain.viewport()->grab().toImage();
        return a.size() == b.size() && a == b;
    };
    EXPECT_TRUE(same());
    for (KeyedTree* t : {&pictures, &plain}) {
        t->Select("S-4");
        t->SetText("S-2", "changed");
        t->SetImage("S-5", "");
    }
    EXPECT_TRUE(same());
}
