// The "Save Data" window opened from the main window: which history it takes,
// how its choices enable each other, the bytes-per-row box, saving, and the
// file name it keeps.
#include "common/ProxyFixtures.h"
#include "common/TestSupport.h"
#include "engine/General.h"
#include "engine/Listening.h"
#include "engine/frmError.h"
#include "export/frmSaveHistory.h"
#include "history/Logging.h"
#include "mainwindow/frmMain.h"
#include "platform/KeyedTree.h"
#include "platform/Modal.h"
#include "platform/Settings.h"
#include "platform/UpDown.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

class SaveDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsytest::ClearSettings();
        script = &tsy::Modal::UseScript();
        frmMain::SetEndProgramHook([] {});
        General::gblnLoggingEnabled = true;
        General::gblnApplicationClosing = false;
        General::gobjLogging = new Logging();
        General::gobjListening = new Listening();
        main = frmMain::Instance();
        tree = main->tvwSockets;

        history = std::make_shared<SocketPairHistory>();
        auto e = std::make_shared<SocketEvent>();
        e->mobjEventType = SocketEventType::ServerBytesReceived;
        e->mstrData = "hello";
        history->AddEvent(e);
        General::gobjLogging->mobjSocketPairHistory.Add(history, "KEY7");
        tree->Add("ROOT", "KEY7", "Alive", "Socket");
        tree->Add("KEY7", "KEY7-1", "event", "Event");
    }
    void TearDown() override
    {
        frmSaveHistory::Unload();
        tsytest::UnloadMainWindowAndEngine();
        tsy::Modal::SetBackend(nullptr);
        tsytest::ClearSettings();
    }

    frmSaveHistory* OpenOn(const QString& key)
    {
        main->mnodSelectedNode = key;
        frmSaveHistory::Open(main);
        return frmSaveHistory::Loaded();
    }
    static int Errors() { return frmError::Loaded() ? frmError::Loaded()->EntryCount() : 0; }

    tsy::Modal::ScriptedBackend* script = nullptr;
    frmMain* main = nullptr;
    tsy::KeyedTree* tree = nullptr;
    std::shared_ptr<SocketPairHistory> history;
    QTemporaryDir dir;
};

TEST_F(SaveDialog, TakesTheHistoryOfTheSelectedSocket)
{
    frmSaveHistory* w = OpenOn("KEY7-1");
    ASSERT_TRUE(w);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->mobjHistory, history);
    EXPECT_TRUE(w->cmdSave->isEnabled());

    // Opening again unloads the window and loads a fresh one.
    QPointer<frmSaveHistory> first = w;
    w = OpenOn("KEY7");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(w->mobjHistory, history);

    // The root has no history: nothing to save.
    w = OpenOn("ROOT");
    EXPECT_EQ(w->mobjHistory, nullptr);
    EXPECT_FALSE(w->cmdSave->isEnabled());
}

TEST_F(SaveDialog, MainWindowCommandsOpenIt)
{
    main->tvwSockets_NodeClick("KEY7");
    ASSERT_TRUE(main->mnuSaveHistory->isEnabled());
    main->mnuSaveHistory->trigger();
    ASSERT_TRUE(frmSaveHistory::Loaded());
    EXPECT_TRUE(frmSaveHistory::Loaded()->isVisible());
    frmSaveHistory::Unload();

    main->barToolbar->findChild<QToolButton*>("SaveData")->click();
    ASSERT_TRUE(frmSaveHistory::Loaded());
    frmSaveHistory::Unload();

    ASSERT_TRUE(main->PreparePopup("KEY7"));
    main->mnuSaveHistoryPopUp->trigger();
    ASSERT_TRUE(frmSaveHistory::Loaded());
    EXPECT_EQ(frmSaveHistory::Loaded()->mobjHistory, history);
}

TEST_F(SaveDialog, FormatChoicesEnableEachOther)
{
    frmSaveHistory* w = OpenOn("KEY7");
    const QList<QCheckBox*> boxes = {w->chkIncludeNonDataEvents, w->chkIncludeBufferedData, w->chkIncludeDateTimeStamp,
                                     w->chkIncludeDataDirection, w->chkIncludeDescription};
    const auto boxesEnabled = [&] {
        for (QCheckBox* b : boxes) if (!b->isEnabled()) return false;
        return true;
    };
    // Defaults: HTML in Hex, direction entry 1, everything ticked, 16 per row.
    EXPECT_TRUE(w->optFormat[0]->isChecked());
    EXPECT_TRUE(w->optDisplayAs[1]->isChecked());
    EXPECT_FALSE(w->optDisplayAs[0]->isEnabled());
    EXPECT_FALSE(w->cboDirection->isEnabled());
    EXPECT_EQ(w->cboDirection->currentText(), "TSY to Remote Server");
    for (QCheckBox* b : boxes) EXPECT_TRUE(b->isChecked() && !b->isEnabled());
    EXPECT_TRUE(w->chkAutoOpen->isChecked());
    EXPECT_EQ(w->txtBytesPerRow->text(), "16");

    // Octal under HTML stays selected and changes nothing else.
    w->optDisplayAs[2]->click();
    EXPECT_TRUE(w->optDisplayAs[2]->isChecked());
    EXPECT_FALSE(boxesEnabled());
    EXPECT_EQ(w->Choices().chrFormat, 'o');

    // To a file: raw data disables the boxes and the row width.
    w->optFormat[1]->click();
    EXPECT_TRUE(w->optDisplayAs[2]->isChecked());
    EXPECT_TRUE(boxesEnabled() && w->cboDirection->isEnabled() && w->optDisplayAs[0]->isEnabled());
    w->optDisplayAs[0]->click();
    EXPECT_FALSE(w->chkIncludeDescription->isEnabled());
    EXPECT_FALSE(w->txtBytesPerRow->isEnabled());
    EXPECT_EQ(w->Choices().chrFormat, 0);

    // Back to HTML: Hex again, the row width stays disabled but is still used.
    w->optFormat[0]->click();
    EXPECT_TRUE(w->optDisplayAs[1]->isChecked());
    EXPECT_FALSE(w->txtBytesPerRow->isEnabled());
    EXPECT_EQ(w->Choices().intBytesPerRow, 16);
}

TEST_F(SaveDialog, BytesPerRowIsCorrectedAtEveryChange)
{
    frmSaveHistory* w = OpenOn("KEY7");
    const std::pair<const char*, const char*> cases[] = {{"3", "4"}, {"x", "8"}, {"130", "128"}, {"18", "16"}, {"", "8"}};
    for (const auto& [typed, shown] : cases) {
        w->txtBytesPerRow->setText(typed);
        EXPECT_EQ(w->txtBytesPerRow->text(), shown) << typed;
    }
    // Typed key by key: "1" is 4 at once, then "43" is 40.
    w->txtBytesPerRow->clear();
    w->txtBytesPerRow->setFocus();
    QTest::keyClick(w->txtBytesPerRow, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(w->txtBytesPerRow, Qt::Key_1);
    EXPECT_EQ(w->txtBytesPerRow->text(), "4");
    QTest::keyClick(w->txtBytesPerRow, Qt::Key_3);
    EXPECT_EQ(w->txtBytesPerRow->text(), "40");

    // The up-down steps from the box, within 4..128.
    w->upBytesPerRow->StepUp();
    EXPECT_EQ(w->txtBytesPerRow->text(), "44");
    w->txtBytesPerRow->setText("128");
    w->upBytesPerRow->StepUp();
    EXPECT_EQ(w->txtBytesPerRow->text(), "128");
    w->txtBytesPerRow->setText("4");
    w->upBytesPerRow->StepDown();
    EXPECT_EQ(w->txtBytesPerRow->text(), "4");
}

TEST_F(SaveDialog, SavingOpensTheFileAndHides)
{
    frmSaveHistory* w = OpenOn("KEY7-1");
    const QString file = QDir(dir.path()).filePath("Saved.htm");
    w->txtFile->setText(file);
    EXPECT_FALSE(w->cmdView->isEnabled());
    w->cmdSave->click();
    EXPECT_TRUE(QFileInfo(file).isFile());
    EXPECT_TRUE(QFileInfo(QDir(dir.path()).filePath("Saved/Event1.htm")).isFile());
    EXPECT_EQ(script->count("OpenWith"), 1);
    EXPECT_FALSE(w->isVisible());
    EXPECT_TRUE(w->cmdView->isEnabled());
    w->cmdView->click();
    EXPECT_EQ(script->count("OpenWith"), 2);

    // Raw data without opening it.
    w = OpenOn("KEY7");
    const QString raw = QDir(dir.path()).filePath("raw.bin");
    w->txtFile->setText(raw);
    w->optFormat[1]->click();
    w->optDisplayAs[0]->click();
    w->cboDirection->setCurrentIndex(0);
    w->chkAutoOpen->setChecked(false);
    w->cmdSave->click();
    EXPECT_EQ(script->count("OpenWith"), 2);
    EXPECT_FALSE(w->isVisible());
    QFile f(raw);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "hello");
    EXPECT_EQ(Errors(), 0);
}

TEST_F(SaveDialog, AFileNothingOpensIsLoggedOncePerCommand)
{
    script->openResult = false;   // a desktop with no program for the file
    frmSaveHistory* w = OpenOn("KEY7");
    const QString file = QDir(dir.path()).filePath("Saved.htm");
    w->txtFile->setText(file);
    w->cmdSave->click();   // saved, then the opening fails
    EXPECT_TRUE(QFileInfo(file).isFile());
    EXPECT_FALSE(w->isVisible());
    ASSERT_EQ(Errors(), 1);
    EXPECT_TRUE(frmError::Loaded()->LogText().contains(
        "An error occurred while attempting to open the saved file '" + file
        + "'.  The operating system reports: 1155, No application is associated with the specified file for this operation"));

    w->cmdView->click();
    ASSERT_EQ(Errors(), 2);
    EXPECT_TRUE(frmError::Loaded()->LogText().contains("An error occurred while attempting to view the file '" + file
                                                       + "'.  The operating system reports: 1155, "));
    // A file that has gone since.
    QFile::remove(file);
    w->cmdView->click();
    ASSERT_EQ(Errors(), 3);
    EXPECT_TRUE(frmError::Loaded()->LogText().contains("The operating system reports: 53, File not found"));
    EXPECT_EQ(script->count("OpenWith"), 3);
}

TEST_F(SaveDialog, FailedSaveKeepsTheWindowAndItsChoices)
{
    frmSaveHistory* w = OpenOn("KEY7");
    w->show();
    w->txtFile->setText("/dev/full");
    w->optFormat[1]->click();
    w->optDisplayAs[3]->click();
    w->chkIncludeDescription->setChecked(false);
    w->txtBytesPerRow->setText("8");
    w->cmdSave->click();
    EXPECT_EQ(Errors(), 1);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->optFormat[1]->isChecked() && w->optDisplayAs[3]->isChecked());
    EXPECT_FALSE(w->chkIncludeDescription->isChecked());
    EXPECT_EQ(w->txtBytesPerRow->text(), "8");
    EXPECT_EQ(script->count("OpenWith"), 0);
}

TEST_F(SaveDialog, HistoryOutlivesClearAllData)
{
    frmSaveHistory* w = OpenOn("KEY7");
    history->mblnDead = true;
    General::gobjLogging->ClearAllData();
    ASSERT_EQ(General::gobjLogging->mobjSocketPairHistory.Count(), 0);
    const QString file = QDir(dir.path()).filePath("after.txt");
    w->txtFile->setText(file);
    w->optFormat[1]->click();
    w->cmdSave->click();
    EXPECT_TRUE(QFileInfo(file).size() > 0);
}

TEST_F(SaveDialog, OnlyTheFileNameIsKeptAndOnlyAtUnload)
{
    // Default: beside the per-user data.
    frmSaveHistory* w = OpenOn("KEY7");
    EXPECT_TRUE(w->txtFile->text().endsWith("/Tessaly/Log.htm"));

    // The file dialog: a choice is copied in, a cancel changes nothing.
    script->fileNames = {QDir(dir.path()).filePath("chosen.htm"), QString()};
    w->cmdFile->click();
    EXPECT_EQ(w->txtFile->text(), QDir(dir.path()).filePath("chosen.htm"));
    w->cmdFile->click();
    EXPECT_EQ(w->txtFile->text(), QDir(dir.path()).filePath("chosen.htm"));
    EXPECT_EQ(script->calls.last().title, "Save History As");

    w->optFormat[1]->click();
    w->chkAutoOpen->setChecked(false);
    w->cmdCancel->click();
    EXPECT_FALSE(w->isVisible());
    EXPECT_FALSE(tsy::Settings::KeyExists("SaveHistory", "File"));

    // Opening again unloads (storing the name); the other choices start over.
    w = OpenOn("KEY7");
    EXPECT_EQ(tsy::Settings::GetSetting("SaveHistory", "File"), QDir(dir.path()).filePath("chosen.htm"));
    EXPECT_EQ(w->txtFile->text(), QDir(dir.path()).filePath("chosen.htm"));
    EXPECT_TRUE(w->optFormat[0]->isChecked());
    EXPECT_TRUE(w->chkAutoOpen->isChecked());
}

} // namespace
