#pragma once
// Histories built through the recorder's own reports, with fixed times, and
// a fresh output folder per test; golden-file comparison of whole exports.
#include "history/HistoryFixture.h"

#include "common/TestSupport.h"
#include "export/ExportChoices.h"
#include "export/SavingHTML.h"
#include "platform/Runtime.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

class ExportFixture : public HistoryFixture {
protected:
    void SetUp() override
    {
        HistoryFixture::SetUp();
        // A fresh error log per test.
        General::gblnApplicationClosing = true;
        frmError::Unload();
        General::gblnApplicationClosing = false;
        AddPortNode(1000);
        tsy::Runtime::SetClock([] { return QTime(13, 5, 9, 42); });
        SavingHTML::SetFooterClock([] { return QDateTime(QDate(2026, 3, 7), QTime(9, 4, 5)); });
        ASSERT_TRUE(out.isValid());
    }
    void TearDown() override
    {
        tsy::Runtime::SetClock({});
        SavingHTML::SetFooterClock({});
        HistoryFixture::TearDown();
    }

    std::shared_ptr<SocketPairHistory> Shared(SocketPair* p)
    {
        return log->mobjSocketPairHistory.Item(p->SocketPairKey());
    }
    // Gives a history addresses and ports a real connection would have.
    void Address(SocketPair* p)
    {
        SocketPairHistory& h = History(p);
        h.mstrRemoteClientIP = "127.0.0.1";
        h.mlngRemoteClientPort = 40001;
        h.mstrRemoteServerIP = "10.0.0.2";
        h.mlngRemoteServerPort = 110;
        h.mlngLocalClientPort = 40002;
    }
    QString Path(const QString& relative) const { return QDir(out.path()).filePath(relative); }

    static QByteArray Read(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // Every file under dir, as paths relative to it, sorted; Images/ left out.
    static QStringList Files(const QString& dir, bool withImages = false)
    {
        QStringList files;
        QDirIterator it(dir, QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString rel = QDir(dir).relativeFilePath(it.next());
            if (!withImages && (rel == "Images" || rel.startsWith("Images/"))) continue;
            files << rel;
        }
        files.sort();
        return files;
    }

    // Compares everything under dir but the pictures with golden/<name>/;
    // TSY_UPDATE_GOLDEN=1 rewrites the golden files instead.
    void ExpectGolden(const QString& name, const QString& dir)
    {
        const QString golden = QDir(qEnvironmentVariable("TSY_SOURCE_DIR")).filePath("tests/export/golden/" + name);
        if (qEnvironmentVariableIsSet("TSY_UPDATE_GOLDEN")) {
            QDir(golden).removeRecursively();
            for (const QString& rel : Files(dir)) {
                const QString src = QDir(dir).filePath(rel);
                if (QFileInfo(src).isDir()) {
                    QDir().mkpath(QDir(golden).filePath(rel));
                    if (QDir(src).isEmpty()) QFile(QDir(golden).filePath(rel + "/.keep")).open(QIODevice::WriteOnly);
                    continue;
                }
                QDir().mkpath(QFileInfo(QDir(golden).filePath(rel)).path());
                QFile::copy(src, QDir(golden).filePath(rel));
            }
            QDir().mkpath(golden);
            return;
        }
        // Git keeps no empty folders: a golden ".keep" stands for one.
        QStringList expected = Files(golden);
        expected.removeIf([](const QString& rel) { return rel.endsWith("/.keep"); });
        QStringList actual = Files(dir);
        EXPECT_EQ(actual.join('\n').toStdString(), expected.join('\n').toStdString());
        for (const QString& rel : actual) {
            if (QFileInfo(QDir(dir).filePath(rel)).isDir()) continue;
            EXPECT_EQ(Read(QDir(dir).filePath(rel)).toStdString(), Read(QDir(golden).filePath(rel)).toStdString())
                << rel.toStdString();
        }
    }

    QTemporaryDir out;
    tsy::Export::ExportChoices choices;
};
