// The real-time data window on its own: what a fresh or a hand-edited store
// loads, the bytes-per-row box, the format code, the colour buttons, and
// what OK, Cancel and the window frame store.
#include "common/TestSupport.h"
#include "export/frmRealTimeData.h"
#include "platform/Modal.h"
#include "platform/Settings.h"
#include "platform/UpDown.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

QString Stored(const char* section, const char* key)
{
    return tsy::Settings::GetSetting(QString::fromLatin1(section), QString::fromLatin1(key), QStringLiteral("<none>"));
}

class RealTimeWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        frmRealTimeData::Unload();
        tsytest::ClearSettings();
        tsy::Modal::UseScript();
    }
    void TearDown() override
    {
        frmRealTimeData::Unload();
        tsytest::ClearSettings();
        tsy::Modal::SetBackend(nullptr);
    }
    static frmRealTimeData* Window() { return frmRealTimeData::Instance(); }
    // Unloads as the window frame does and loads again from the store.
    static frmRealTimeData* Reloaded()
    {
        Window()->close();
        EXPECT_FALSE(frmRealTimeData::IsLoaded());
        return Window();
    }
};

TEST_F(RealTimeWindow, FreshStoreGivesTheDefaults)
{
    frmRealTimeData* w = Window();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Real Time Data"));
    EXPECT_EQ(w->tabOptions->currentIndex(), 0);
    EXPECT_TRUE(w->chkShowRealTimeData->isChecked());
    EXPECT_TRUE(w->chkClientToTSY->isChecked());
    EXPECT_TRUE(w->chkTSYToClient->isChecked());
    EXPECT_FALSE(w->chkServerToTSY->isChecked());
    EXPECT_FALSE(w->chkTSYToServer->isChecked());
    EXPECT_EQ(w->optDisplayAs.Chosen(), 1);
    EXPECT_EQ(w->txtBytesPerRow->text(), QStringLiteral("16"));
    for (QCheckBox* box : {w->chkIncludeDateTimeStamp, w->chkIncludeDataDirection, w->chkIncludeDescription, w->chkColourCode})
        EXPECT_TRUE(box->isChecked()) << box->objectName().toStdString();
    EXPECT_FALSE(w->chkIncludeBufferedData->isChecked());
    EXPECT_EQ(w->ColourValue(0), 16711680);   // blue
    EXPECT_EQ(w->ColourValue(1), 16753828);
    EXPECT_EQ(w->ColourValue(2), 255);        // red
    EXPECT_EQ(w->ColourValue(3), 9934847);
    EXPECT_EQ(w->lblColor[0]->palette().color(QPalette::Window), QColor(0, 0, 255));
    EXPECT_EQ(w->txtRealTimeDataSize->text(), QStringLiteral("50"));
    EXPECT_TRUE(w->optRealTimeDisplay.Value(0));
    EXPECT_FALSE(w->optRealTimeDisplay.Value(1));
    EXPECT_EQ(w->GetPrintFFormat(), QStringLiteral("104"));
}

TEST_F(RealTimeWindow, BytesPerRowBoxKeepsToTheRule)
{
    QLineEdit* box = Window()->txtBytesPerRow;
    const std::pair<const char*, const char*> table[] = {
        {"200", "128"}, {"abc", "8"}, {"18", "16"}, {"", "8"}, {"3.5", "4"}, {"14", "12"}, {"64", "64"}};
    for (const auto& [typed, kept] : table) {
        box->setText(QString::fromLatin1(typed));
        EXPECT_EQ(box->text(), QString::fromLatin1(kept)) << typed;
    }
    // The rule runs at every keystroke: typing "1" on the way to "16" gives "4".
    box->setFocus();
    box->selectAll();
    QTest::keyClick(box, Qt::Key_1);
    EXPECT_EQ(box->text(), QStringLiteral("4"));

    // The up-down steps on from the box's number, within 4..128.
    box->setText(QStringLiteral("124"));
    Window()->upBytesPerRow->StepUp();
    EXPECT_EQ(box->text(), QStringLiteral("128"));
    Window()->upBytesPerRow->StepUp();
    EXPECT_EQ(box->text(), QStringLiteral("128"));
    Window()->UpDown1->StepDown();   // size box "50"
    EXPECT_EQ(Window()->txtRealTimeDataSize->text(), QStringLiteral("40"));
}

TEST_F(RealTimeWindow, FormatCodeOfEachOption)
{
    frmRealTimeData* w = Window();
    const char* codes[] = {"", "104", "111", "100", "98"};
    for (int i = 0; i < 5; ++i) {
        w->optDisplayAs(i)->click();
        EXPECT_EQ(w->GetPrintFFormat(), QString::fromLatin1(codes[i])) << i;
    }
}

TEST_F(RealTimeWindow, OkAndFrameCloseStoreCancelReadsTheStoreBack)
{
    frmRealTimeData* w = Window();
    w->show();
    w->chkServerToTSY->click();
    w->optDisplayAs(2)->click();
    w->optRealTimeDisplay(1)->click();
    w->txtRealTimeDataSize->setText(QStringLiteral("abc"));
    w->cmdOK->click();
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(Stored("RealTime", "ServerToTSY"), QStringLiteral("1"));
    EXPECT_EQ(Stored("RealTime", "DisplayAs"), QStringLiteral("2"));
    EXPECT_EQ(Stored("Options", "RealTimeDataSelection"), QStringLiteral("False"));
    EXPECT_EQ(Stored("Options", "RealTimeDataSize"), QStringLiteral("abc"));   // stored as typed

    // Cancel undoes every change since the last store.
    w->chkServerToTSY->click();
    w->optDisplayAs(4)->click();
    w->txtBytesPerRow->setText(QStringLiteral("32"));
    w->cmdCancel->click();
    EXPECT_TRUE(w->chkServerToTSY->isChecked());
    EXPECT_EQ(w->optDisplayAs.Chosen(), 2);
    EXPECT_EQ(w->txtBytesPerRow->text(), QStringLiteral("16"));

    // The frame's close stores without OK and unloads; the next read loads it again.
    w->chkIncludeBufferedData->click();
    w = Reloaded();
    EXPECT_TRUE(w->chkIncludeBufferedData->isChecked());
    EXPECT_TRUE(w->optRealTimeDisplay.Value(1));
    EXPECT_FALSE(w->optRealTimeDisplay.Value(0));
    EXPECT_EQ(w->txtRealTimeDataSize->text(), QStringLiteral("abc"));
}

TEST_F(RealTimeWindow, ColourButtonsKeepTheChosenColourAndIgnoreACancel)
{
    auto& script = tsy::Modal::UseScript();
    frmRealTimeData* w = Window();
    script.colours = {QColor(0x12, 0x34, 0x56), QColor()};   // then a cancel
    w->cmdColor[2]->click();
    EXPECT_EQ(w->ColourValue(2), 0x563412);
    // The dialog starts from the colour chosen last, not from the swatch; a cancel changes nothing.
    w->cmdColor[0]->click();
    ASSERT_EQ(script.count(QStringLiteral("Colour")), 2);
    EXPECT_EQ(script.calls.last().text, QColor(0x12, 0x34, 0x56).name());
    EXPECT_EQ(w->ColourValue(0), 0xFF0000);

    // Cancel in the window restores the stored colour; the frame's close keeps it.
    w->cmdCancel->click();
    EXPECT_EQ(w->ColourValue(2), 255);
    script.colours = {QColor(0, 255, 0)};
    w->cmdColor[3]->click();
    w = Reloaded();
    EXPECT_EQ(w->ColourValue(3), 0x00FF00);
    EXPECT_EQ(Stored("Options", "Color4"), QString::number(0x00FF00));
}

TEST_F(RealTimeWindow, ValuesTheWindowCannotHoldFallBackToTheirDefaults)
{
    using tsy::Settings::SaveSetting;
    SaveSetting("RealTime", "DisplayAs", "7");
    SaveSetting("Options", "Color1", "blue");
    SaveSetting("Options", "Color2", "-5");
    SaveSetting("Options", "Color3", "65280");
    frmRealTimeData* w = Window();
    EXPECT_EQ(w->optDisplayAs.Chosen(), 1);
    EXPECT_EQ(w->ColourValue(0), 0xFF0000);
    EXPECT_EQ(w->ColourValue(1), 0xFFA4A4);
    EXPECT_EQ(w->ColourValue(2), 65280);
    frmRealTimeData::Unload();
    SaveSetting("RealTime", "DisplayAs", "abc");
    EXPECT_EQ(Window()->optDisplayAs.Chosen(), 1);
}

TEST_F(RealTimeWindow, TheSizeCaptionsAmpersandIsItsMnemonic)
{
    frmRealTimeData* w = Window();
    QLabel* caption = nullptr;
    for (QLabel* label : w->findChildren<QLabel*>())
        if (label->text().contains(QStringLiteral("real time data window when contents exceeds"))) caption = label;
    ASSERT_TRUE(caption);
    EXPECT_EQ(caption->text(), QStringLiteral("&Clear real time data window when contents exceeds"));
    EXPECT_EQ(caption->buddy(), w->txtRealTimeDataSize);
    // Drawn without the ampersand: as wide as the caption that has none.
    QLabel bare(QStringLiteral("Clear real time data window when contents exceeds"), caption->parentWidget());
    bare.setTextFormat(Qt::PlainText);
    EXPECT_EQ(caption->sizeHint().width(), bare.sizeHint().width());
}

} // namespace
