#include "mainwindow/frmAbout.h"

#include "mainwindow/Version.h"
#include "platform/AnimationControl.h"
#include "platform/Runtime.h"

#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
int Px(int twips) { return tsy::Runtime::TwipsToPixels(twips); }
}

frmAbout* frmAbout::Instance(QWidget* owner)
{
    // One window for the owner; a window left from an owner that has gone
    // away (and is not deleted yet) is not that one.
    if (!IsLoaded() || Loaded()->parentWidget() != owner) Adopt(new frmAbout(owner));
    return Loaded();
}

frmAbout::frmAbout(QWidget* owner)
    : SingleWindow("frmAbout",
                   Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                       | Qt::WindowCloseButtonHint,
                   owner)
{
    setAttribute(Qt::WA_DeleteOnClose, true);
    setWindowTitle(QStringLiteral("About Tessaly"));
    setWindowIcon(QIcon(QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("res/Tessaly.png"))));

    panAniHolder = new QFrame(this);
    panAniHolder->setObjectName(QStringLiteral("panAniHolder"));
    aniAnimation = new tsy::AnimationControl(panAniHolder);
    aniAnimation->setObjectName(QStringLiteral("aniAnimation"));

    Label1 = new QLabel(QStringLiteral("Tessaly"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont bold(QStringLiteral("Sans Serif"));
    bold.setStyleHint(QFont::SansSerif);
    bold.setBold(true);
    bold.setPointSizeF(12);
    Label1->setFont(bold);
    lblBuild = new QLabel(QStringLiteral("Build:"), this);
    lblBuild->setObjectName(QStringLiteral("lblBuild"));
    cmdOk = new QPushButton(QStringLiteral("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdOk->setDefault(true);
    connect(cmdOk, &QPushButton::clicked, this, &frmAbout::cmdOk_Click);

    auto* texts = new QVBoxLayout();
    texts->addWidget(Label1);
    texts->addWidget(lblBuild);
    texts->addStretch(1);
    auto* top = new QHBoxLayout();
    top->addWidget(panAniHolder, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(texts, 1);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(cmdOk);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(top);
    outer->addSpacing(8);
    outer->addLayout(buttons);

    Form_Load();
    setFixedSize(sizeHint().expandedTo(QSize(Px(4500), Px(1900))));
}

void frmAbout::Form_Load()
{
    // A missing clip leaves the animation empty; the rest of the load goes on.
    const QString clip = QDir(tsy::Runtime::ProgramDir()).filePath(QStringLiteral("res/Processing.avi"));
    if (aniAnimation->Open(clip)) aniAnimation->Play();
    lblBuild->setText(Version::VersionText());
    aniAnimation->setGeometry(0, 0, Px(600), Px(500));
    panAniHolder->setFixedSize(Px(630), Px(530));
}

void frmAbout::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (mblnCentred) return;
    mblnCentred = true;
    if (QWidget* owner = parentWidget()) {
        const QRect o = owner->frameGeometry();
        move(o.center() - QPoint(width() / 2, height() / 2));
    }
}

void frmAbout::cmdOk_Click() { close(); }
