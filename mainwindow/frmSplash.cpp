#include "mainwindow/frmSplash.h"

#include "mainwindow/Version.h"
#include "platform/LoadedWindows.h"
#include "platform/Runtime.h"

#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

void frmSplash::Unload()
{
    if (frmSplash* w = Release()) {
        w->hide();
        delete w;
    }
}

frmSplash::frmSplash() : SingleInstance("frmSplash", Qt::SplashScreen | Qt::FramelessWindowHint | Qt::Tool)
{
    setWindowTitle(QStringLiteral("Tessaly"));
    setFixedSize(tsy::Runtime::TwipsToPixels(7065), tsy::Runtime::TwipsToPixels(4365));
    mPicture = QPixmap(QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("res/Splash.png")));

    lblVersion = new QLabel(QStringLiteral("Version 1.2"), this);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    QPalette p = lblVersion->palette();
    p.setColor(QPalette::WindowText, Qt::white);
    lblVersion->setPalette(p);
    QFont f = lblVersion->font();
    f.setBold(true);
    lblVersion->setFont(f);
    lblVersion->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void frmSplash::Form_Load()
{
    lblVersion->setText(Version::VersionText());
    lblVersion->setGeometry(width() - 260, height() - 34, 240, 20);
}

void frmSplash::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (!mPicture.isNull())
        painter.drawPixmap(rect(), mPicture);
    else
        painter.fillRect(rect(), QColor(0x1f, 0x3a, 0x5f));
}
