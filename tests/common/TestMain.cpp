// main() of every test program: a QApplication on the offscreen platform and
// a private settings store, so no test touches the user's own settings.
#include "TestSupport.h"
#include "mainwindow/frmOptions.h"
#include "platform/Settings.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <gtest/gtest.h>

namespace {
QTemporaryDir* gHome = nullptr;
}

QString tsytest::TempHome() { return gHome->path(); }

void tsytest::ClearSettings()
{
    QSettings s(tsy::Settings::FilePath(), QSettings::IniFormat);
    s.clear();
    s.sync();
    // The options window is the live copy of its settings: the next reader
    // loads it again from the cleared store.
    frmOptions::Unload();
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QTemporaryDir home;
    gHome = &home;
    qputenv("XDG_CONFIG_HOME", QDir(home.path()).filePath("config").toUtf8());
    qputenv("XDG_DATA_HOME", QDir(home.path()).filePath("data").toUtf8());
    QDir().mkpath(QDir(home.path()).filePath("config"));
    QDir().mkpath(QDir(home.path()).filePath("data"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
