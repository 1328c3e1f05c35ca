#include "export/frmSaveHistory.h"

#include "engine/General.h"
#include "engine/frmError.h"
#include "export/SavingData.h"
#include "export/SavingHTML.h"
#include "history/Logging.h"
#include "history/TreeImages.h"
#include "mainwindow/frmMain.h"
#include "platform/KeyedTree.h"
#include "platform/LoadedWindows.h"
#include "platform/Modal.h"
#include "platform/Numbers.h"
#include "platform/Runtime.h"
#include "platform/Settings.h"
#include "platform/UpDown.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

const QString kSection = QStringLiteral("SaveHistory");
const QString kKey = QStringLiteral("File");

QString DefaultFile() { return QDir(tsy::Runtime::DataDir()).filePath(QStringLiteral("Log.htm")); }

// Opens the file with the desktop's program for it; a desktop that cannot is
// reported with the command's own sentence rather than passed over.
void OpenFile(const char* strAction, const QString& strPath)
{
    if (tsy::Modal::OpenWithAssociatedProgram(strPath)) return;
    const tsy::Modal::OpenFailure failure = tsy::Modal::DescribeOpenFailure(strPath);
    frmError::LogError(QStringLiteral("An error occurred while attempting to %1 '%2'.  The operating system reports: %3, %4")
                           .arg(QLatin1StringView(strAction), strPath, QString::number(failure.number), failure.description));
}

} // namespace

void frmSaveHistory::Open(frmMain* owner)
{
    Unload();
    frmSaveHistory* window = Instance();
    if (owner)
        owner->ShowToolWindow(window);
    else
        window->show();
}

frmSaveHistory::frmSaveHistory() : SingleWindow("frmSaveHistory")
{
    setWindowTitle(QStringLiteral("Save Data"));
    BuildControls();
}

void frmSaveHistory::BuildControls()
{
    auto* outer = new QVBoxLayout(this);

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(new QLabel(QStringLiteral("File:"), this));
    txtFile = new QLineEdit(this);
    txtFile->setObjectName(QStringLiteral("txtFile"));
    txtFile->setMinimumWidth(320);
    fileRow->addWidget(txtFile, 1);
    cmdFile = new QPushButton(QStringLiteral("..."), this);
    cmdFile->setObjectName(QStringLiteral("cmdFile"));
    cmdFile->setAutoDefault(false);
    cmdFile->setFixedWidth(32);
    fileRow->addWidget(cmdFile);
    outer->addLayout(fileRow);

    auto* frame = new QGroupBox(QStringLiteral("Save As"), this);
    frame->setObjectName(QStringLiteral("fraSaveAs"));
    auto* grid = new QGridLayout(frame);
    auto* formats = new QButtonGroup(this);
    for (int i = 0; i < 2; ++i) {
        auto* b = new QRadioButton(i == 0 ? QStringLiteral("Connection diagram as HTML") : QStringLiteral("Save to log file:"),
                                   frame);
        b->setObjectName(QStringLiteral("optFormat_%1").arg(i));
        formats->addButton(b, i);
        optFormat.append(b);
    }
    grid->addWidget(optFormat[0], 0, 0, 1, 3);
    cmdHTMLOptions = new QPushButton(QStringLiteral("Options..."), frame);
    cmdHTMLOptions->setObjectName(QStringLiteral("cmdHTMLOptions"));
    cmdHTMLOptions->setAutoDefault(false);
    grid->addWidget(cmdHTMLOptions, 0, 3);
    grid->addWidget(optFormat[1], 1, 0, 1, 4);

    grid->addWidget(new QLabel(QStringLiteral("Format As:"), frame), 2, 0);
    auto* displays = new QButtonGroup(this);
    const QStringList captions = {QStringLiteral("Save raw data:"), QStringLiteral("Hex"), QStringLiteral("Octal"),
                                  QStringLiteral("Decimal"), QStringLiteral("Binary")};
    for (int i = 0; i < captions.size(); ++i) {
        auto* b = new QRadioButton(captions[i], frame);
        b->setObjectName(QStringLiteral("optDisplayAs_%1").arg(i));
        displays->addButton(b, i);
        optDisplayAs.append(b);
    }
    grid->addWidget(optDisplayAs[0], 3, 1);
    cboDirection = new QComboBox(frame);
    cboDirection->setObjectName(QStringLiteral("cboDirection"));
    cboDirection->addItems({QStringLiteral("Remote Client to TSY"), QStringLiteral("TSY to Remote Server"),
                            QStringLiteral("Remote Server to TSY"), QStringLiteral("TSY to remote client")});
    grid->addWidget(cboDirection, 3, 2, 1, 2);
    for (int i = 1; i < optDisplayAs.size(); ++i) grid->addWidget(optDisplayAs[i], 3 + i, 1);

    const auto box = [frame](const char* name, const char* caption) {
        auto* c = new QCheckBox(QString::fromLatin1(caption), frame);
        c->setObjectName(QString::fromLatin1(name));
        return c;
    };
    chkIncludeNonDataEvents = box("chkIncludeNonDataEvents", "Save events that do not contain data");
    chkIncludeBufferedData = box("chkIncludeBufferedData", "Save data placed in buffer");
    chkIncludeDateTimeStamp = box("chkIncludeDateTimeStamp", "Include Date/Time Stamp");
    chkIncludeDataDirection = box("chkIncludeDataDirection", "Include data direction description");
    chkIncludeDescription = box("chkIncludeDescription", "Include description");
    const QList<QCheckBox*> boxes = IncludeBoxes();
    for (int i = 0; i < boxes.size(); ++i) grid->addWidget(boxes[i], 4 + i, 2, 1, 2);

    auto* rowLine = new QHBoxLayout;
    rowLine->addWidget(new QLabel(QStringLiteral("Show"), frame));
    txtBytesPerRow = new QLineEdit(frame);
    txtBytesPerRow->setObjectName(QStringLiteral("txtBytesPerRow"));
    txtBytesPerRow->setFixedWidth(48);
    rowLine->addWidget(txtBytesPerRow);
    upBytesPerRow = new tsy::UpDown(frame);
    upBytesPerRow->setObjectName(QStringLiteral("upBytesPerRow"));
    upBytesPerRow->SetBuddy(txtBytesPerRow);
    upBytesPerRow->SetRange(4, 128);
    upBytesPerRow->SetIncrement(4);
    rowLine->addWidget(upBytesPerRow);
    rowLine->addWidget(new QLabel(QStringLiteral("bytes per row"), frame));
    rowLine->addStretch(1);
    grid->addLayout(rowLine, 9, 1, 1, 3);
    outer->addWidget(frame);

    auto* buttons = new QHBoxLayout;
    chkAutoOpen = new QCheckBox(QStringLiteral("Open file after save"), this);
    chkAutoOpen->setObjectName(QStringLiteral("chkAutoOpen"));
    buttons->addWidget(chkAutoOpen);
    buttons->addStretch(1);
    cmdView = new QPushButton(QStringLiteral("View..."), this);
    cmdView->setObjectName(QStringLiteral("cmdView"));
    cmdView->setAutoDefault(false);
    cmdSave = new QPushButton(QStringLiteral("Save"), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    cmdSave->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(false);
    buttons->addWidget(cmdView);
    buttons->addWidget(cmdSave);
    buttons->addWidget(cmdCancel);
    outer->addLayout(buttons);

    connect(cmdFile, &QPushButton::clicked, this, &frmSaveHistory::cmdFile_Click);
    connect(cmdView, &QPushButton::clicked, this, &frmSaveHistory::cmdView_Click);
    connect(cmdSave, &QPushButton::clicked, this, &frmSaveHistory::cmdSave_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSaveHistory::cmdCancel_Click);
    for (int i = 0; i < optFormat.size(); ++i)
        connect(optFormat[i], &QRadioButton::clicked, this, [this, i] { optFormat_Click(i); });
    for (int i = 0; i < optDisplayAs.size(); ++i)
        connect(optDisplayAs[i], &QRadioButton::clicked, this, [this, i] { optDisplayAs_Click(i); });
    connect(txtBytesPerRow, &QLineEdit::textChanged, this, &frmSaveHistory::txtBytesPerRow_Change);
    connect(txtFile, &QLineEdit::textChanged, this, &frmSaveHistory::UpdateViewButton);
}

QList<QCheckBox*> frmSaveHistory::IncludeBoxes() const
{
    return {chkIncludeNonDataEvents, chkIncludeBufferedData, chkIncludeDateTimeStamp, chkIncludeDataDirection,
            chkIncludeDescription};
}

void frmSaveHistory::Form_Load()
{
    txtFile->setText(tsy::Settings::GetSetting(kSection, kKey, DefaultFile()));
    UpdateViewButton();
    cboDirection->setCurrentIndex(1);
    for (QCheckBox* c : IncludeBoxes()) c->setChecked(true);
    chkAutoOpen->setChecked(true);
    txtBytesPerRow->setText(QStringLiteral("16"));
    optFormat[0]->setChecked(true);
    optFormat_Click(0);

    // The history of the socket node selected now, or of an event node's socket.
    frmMain* main = frmMain::Instance();
    tsy::KeyedTree* tree = main->tvwSockets;
    const QString key = main->mnodSelectedNode;
    QString historyKey;
    if (tree && tree->Exists(key)) {
        const QString image = tree->Image(key);
        if (image == TreeImages::kImgEvent)
            historyKey = tree->ParentKey(key);
        else if (image == TreeImages::kImgSocket || image == TreeImages::kImgSocketDisconnected)
            historyKey = key;
    }
    if (!historyKey.isEmpty() && General::gobjLogging)
        mobjHistory = General::gobjLogging->mobjSocketPairHistory.Find(historyKey);
    // Without a history there is nothing to save.
    cmdSave->setEnabled(mobjHistory != nullptr);
    hide();
}

void frmSaveHistory::Form_Unload() { tsy::Settings::SaveSetting(kSection, kKey, txtFile->text()); }

void frmSaveHistory::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) UpdateViewButton();
}

void frmSaveHistory::reject() { cmdCancel_Click(); }

void frmSaveHistory::optFormat_Click(int index)
{
    const bool file = index != 0;
    if (!file) optDisplayAs[1]->setChecked(true);
    optDisplayAs[0]->setEnabled(file);
    for (QCheckBox* c : IncludeBoxes()) c->setEnabled(file);
    cboDirection->setEnabled(file);
}

void frmSaveHistory::optDisplayAs_Click(int index)
{
    if (index == 0) {
        for (QCheckBox* c : IncludeBoxes()) c->setEnabled(false);
        txtBytesPerRow->setEnabled(false);
        upBytesPerRow->setEnabled(false);
        return;
    }
    if (optFormat[0]->isChecked()) return;
    for (QCheckBox* c : IncludeBoxes()) c->setEnabled(true);
    txtBytesPerRow->setEnabled(true);
    upBytesPerRow->setEnabled(true);
}

void frmSaveHistory::txtBytesPerRow_Change()
{
    const QString text = txtBytesPerRow->text();
    const QString corrected = tsy::Numbers::BytesPerRowRule(text);
    // The rule holds for its own result, so this sets the text once.
    if (corrected != text) txtBytesPerRow->setText(corrected);
}

void frmSaveHistory::UpdateViewButton() { cmdView->setEnabled(QFileInfo(txtFile->text()).isFile()); }

void frmSaveHistory::cmdFile_Click()
{
    const QString chosen = tsy::Modal::GetSaveFileName(this, QStringLiteral("Save History As"), txtFile->text(),
                                                       QStringLiteral("*.*"));
    if (!chosen.isEmpty()) txtFile->setText(chosen);
}

void frmSaveHistory::cmdView_Click() { OpenFile("view the file", txtFile->text()); }

tsy::Export::ExportChoices frmSaveHistory::Choices() const
{
    static constexpr char kLetters[5] = {0, 'h', 'o', 'd', 'b'};
    tsy::Export::ExportChoices c;
    c.chrFormat = 0;
    for (int i = 1; i < optDisplayAs.size(); ++i)
        if (optDisplayAs[i]->isChecked()) c.chrFormat = kLetters[i];
    c.intBytesPerRow = tsy::Numbers::BytesPerRowRule(txtBytesPerRow->text()).toInt();
    c.blnIncludeNonDataEvents = chkIncludeNonDataEvents->isChecked();
    c.blnIncludeBufferedData = chkIncludeBufferedData->isChecked();
    c.blnIncludeDateTimeStamp = chkIncludeDateTimeStamp->isChecked();
    c.blnIncludeDataDirection = chkIncludeDataDirection->isChecked();
    c.blnIncludeDescription = chkIncludeDescription->isChecked();
    c.intDirection = cboDirection->currentIndex();
    return c;
}

void frmSaveHistory::cmdSave_Click()
{
    const QString file = txtFile->text();
    const tsy::Export::ExportChoices choices = Choices();
    bool saved;
    if (optFormat[0]->isChecked())
        saved = SavingHTML::SaveHistoryAsHTML(file, mobjHistory, choices);
    else if (optDisplayAs[0]->isChecked())
        saved = SavingData::SaveHistoryAsRawData(file, mobjHistory, choices);
    else
        saved = SavingData::SaveHistoryAsText(file, mobjHistory, choices);

    if (saved) {
        if (chkAutoOpen->isChecked()) OpenFile("open the saved file", file);
        if (frmMain::IsLoaded() && !frmMain::Instance()->isMinimized()) frmMain::Instance()->activateWindow();
        hide();
    }
    UpdateViewButton();
}

void frmSaveHistory::cmdCancel_Click() { hide(); }
