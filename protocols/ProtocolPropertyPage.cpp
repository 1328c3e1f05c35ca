#include "protocols/ProtocolPropertyPage.h"

#include "engine/General.h"
#include "platform/DialogButtons.h"
#include "platform/Modal.h"
#include "platform/Numbers.h"
#include "platform/Settings.h"
#include "protocols/ProtocolHandler.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <tuple>

namespace {
ProtocolPropertyPage::ModalRunner& Runner()
{
    static ProtocolPropertyPage::ModalRunner runner;
    return runner;
}
} // namespace

ProtocolPropertyPage::ProtocolPropertyPage(QWidget* parent, const QString& title)
    : QDialog(parent)
{
    setWindowTitle(title);
    setModal(true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    SSTab1 = new QTabWidget(this);
    tabGeneral = new QWidget();
    mTabLayout = new QVBoxLayout(tabGeneral);
    SSTab1->addTab(tabGeneral, QStringLiteral("General"));

    std::tie(cmdOK, Command1) = tsy::OkCancelButtons(this);
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(Command1, &QPushButton::clicked, this, &ProtocolPropertyPage::Command1_Click);

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(SSTab1);
    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(Command1);
    outer->addLayout(buttons);
}

void ProtocolPropertyPage::FinishLayout()
{
    mTabLayout->addStretch(1);
    // The buttons were made before the page's fields: Tab reaches them last.
    QWidget* last = nullptr;
    for (QWidget* w : tabGeneral->findChildren<QWidget*>())
        if (w->focusPolicy() & Qt::TabFocus) last = w;
    if (last) {
        QWidget::setTabOrder(last, cmdOK);
        QWidget::setTabOrder(cmdOK, Command1);
    }
    // Wrapped texts need the final width before the height can be known.
    constexpr int kWidth = 440;
    setFixedWidth(kWidth);
    layout()->activate();
    const int h = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(kWidth) : sizeHint().height();
    setFixedHeight(std::max(h, sizeHint().height()));
}

QLabel* ProtocolPropertyPage::AddText(const QString& text)
{
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    mTabLayout->addWidget(label);
    return label;
}

QString ProtocolPropertyPage::SettingsSection() const
{
    const QString name = mobjParent ? mobjParent->GetProtocolName() : QString();
    return QStringLiteral("Protocols\\") + name + QStringLiteral("\\Port ") + QString::number(mlngPort);
}

bool ProtocolPropertyPage::TestPort(QLineEdit* box)
{
    // Only a whole port from 1 to 65535 (after rounding) can be connected
    // to; 0 and negative numbers are no ports.
    if (tsy::Numbers::WholeInRange(box->text(), 1, 65535)) return true;
    box->setFocus();
    tsy::Modal::MsgBox(this, QStringLiteral("The port must be numeric and less than 65536"), tsy::Modal::Icon::Warning,
                       tsy::Modal::Buttons::Ok, QStringLiteral("Tessaly"));
    return false;
}

void ProtocolPropertyPage::UnloadPage(bool accepted)
{
    mblnUnloaded = true;
    done(accepted ? QDialog::Accepted : QDialog::Rejected);
}

void ProtocolPropertyPage::Command1_Click()
{
    UnloadPage(false);
}

void ProtocolPropertyPage::reject()
{
    Command1_Click();
}

void ProtocolPropertyPage::SetModalRunner(ModalRunner runner) { Runner() = std::move(runner); }

void ProtocolPropertyPage::ShowModal(ProtocolPropertyPage* page)
{
    // Topmost is a window flag: set before the modal display shows it.
    General::ApplyKeepOnTop(page);
    if (Runner())
        Runner()(page);
    else
        page->exec();
    // Nothing of a page survives its closing.
    delete page;
}

QLineEdit* PortPropertyPage::StoredBox(const QString& key, const QString& defaultValue)
{
    auto* box = new QLineEdit();
    mcolBoxes.append({key, defaultValue, box});
    return box;
}

void PortPropertyPage::LoadBoxes()
{
    const QString section = SettingsSection();
    for (const Box& b : mcolBoxes) b.box->setText(tsy::Settings::GetSetting(section, b.key, b.defaultValue));
}

void PortPropertyPage::StoreBoxes() const
{
    const QString section = SettingsSection();
    for (const Box& b : mcolBoxes) tsy::Settings::SaveSetting(section, b.key, b.box->text());
}

void PortPropertyPage::Form_Load() { LoadBoxes(); }

void PortPropertyPage::cmdOK_Click()
{
    if (!TestPort(txtPort)) return;
    StoreBoxes();
    UnloadPage(true);
}
