#include "platform/Modal.h"

#include <QColorDialog>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

namespace tsy::Modal {

namespace {

class RealBackend : public Backend {
public:
    Answer MsgBox(QWidget* parent, const QString& text, Icon icon, Buttons buttons, const QString& title) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(title);
        box.setTextFormat(Qt::PlainText);   // messages may quote network or settings text
        box.setText(text);
        switch (icon) {
        case Icon::None: box.setIcon(QMessageBox::NoIcon); break;
        case Icon::Information: box.setIcon(QMessageBox::Information); break;
        case Icon::Warning: box.setIcon(QMessageBox::Warning); break;
        case Icon::Critical: box.setIcon(QMessageBox::Critical); break;
        case Icon::Question: box.setIcon(QMessageBox::Question); break;
        }
        QMessageBox::StandardButton def = QMessageBox::Ok;
        switch (buttons) {
        case Buttons::Ok: box.setStandardButtons(QMessageBox::Ok); def = QMessageBox::Ok; break;
        case Buttons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); def = QMessageBox::Ok; break;
        case Buttons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); def = QMessageBox::Yes; break;
        case Buttons::YesNoCancel:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            def = QMessageBox::Yes;
            break;
        }
        box.setDefaultButton(def);
        const int r = box.exec();
        switch (r) {
        case QMessageBox::Yes: return Answer::Yes;
        case QMessageBox::No: return Answer::No;
        case QMessageBox::Cancel: return Answer::Cancel;
        case QMessageBox::Ok: return Answer::Ok;
        default:
            // Closed from the frame: the answer Escape would have given.
            return buttons == Buttons::YesNo ? Answer::No
                 : buttons == Buttons::Ok   ? Answer::Ok
                                            : Answer::Cancel;
        }
    }
    QString GetOpenFileName(QWidget* parent, const QString& title, const QString& dir, const QString& filter) override
    {
        return QFileDialog::getOpenFileName(parent, title, dir, filter);
    }
    QString GetSaveFileName(QWidget* parent, const QString& title, const QString& dir, const QString& filter) override
    {
        return QFileDialog::getSaveFileName(parent, title, dir, filter);
    }
    bool ChooseColour(QWidget* parent, QColor initial, QColor* chosen) override
    {
        const QColor c = QColorDialog::getColor(initial, parent);
        if (!c.isValid()) return false;
        if (chosen) *chosen = c;
        return true;
    }
    bool OpenWithAssociatedProgram(const QString& path) override
    {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }
    bool OpenTextFileForViewing(const QString& path) override
    {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }
};

std::unique_ptr<Backend>& Slot()
{
    static std::unique_ptr<Backend> backend;
    return backend;
}

} // namespace

Answer ScriptedBackend::MsgBox(QWidget*, const QString& text, Icon icon, Buttons buttons, const QString& title)
{
    calls.append({QStringLiteral("MsgBox"), title, text, icon, buttons});
    if (!answers.isEmpty()) return answers.takeFirst();
    return (buttons == Buttons::Ok || buttons == Buttons::OkCancel) ? Answer::Ok : Answer::Yes;
}

QString ScriptedBackend::GetOpenFileName(QWidget*, const QString& title, const QString& dir, const QString& filter)
{
    calls.append({QStringLiteral("OpenFile"), title, dir + QStringLiteral("|") + filter});
    return fileNames.isEmpty() ? QString() : fileNames.takeFirst();
}

QString ScriptedBackend::GetSaveFileName(QWidget*, const QString& title, const QString& dir, const QString& filter)
{
    calls.append({QStringLiteral("SaveFile"), title, dir + QStringLiteral("|") + filter});
    return fileNames.isEmpty() ? QString() : fileNames.takeFirst();
}

bool ScriptedBackend::ChooseColour(QWidget*, QColor initial, QColor* chosen)
{
    calls.append({QStringLiteral("Colour"), QString(), initial.name()});
    if (colours.isEmpty()) return false;
    const QColor c = colours.takeFirst();
    if (!c.isValid()) return false;
    if (chosen) *chosen = c;
    return true;
}

bool ScriptedBackend::OpenWithAssociatedProgram(const QString& path)
{
    calls.append({QStringLiteral("OpenWith"), QString(), path});
    return openResult;
}

bool ScriptedBackend::OpenTextFileForViewing(const QString& path)
{
    calls.append({QStringLiteral("ViewText"), QString(), path});
    return openResult;
}

int ScriptedBackend::count(const QString& kind) const
{
    int n = 0;
    for (const Call& c : calls)
        if (c.kind == kind) ++n;
    return n;
}

QStringList ScriptedBackend::texts(const QString& kind) const
{
    QStringList out;
    for (const Call& c : calls)
        if (c.kind == kind) out.append(c.text);
    return out;
}

OpenFailure DescribeOpenFailure(const QString& path)
{
    if (!QFileInfo::exists(path)) return {53, QStringLiteral("File not found")};
    return {1155, QStringLiteral("No application is associated with the specified file for this operation")};
}

void SetBackend(std::unique_ptr<Backend> backend) { Slot() = std::move(backend); }

Backend& Current()
{
    auto& b = Slot();
    if (!b) b = std::make_unique<RealBackend>();
    return *b;
}

ScriptedBackend& UseScript()
{
    auto s = std::make_unique<ScriptedBackend>();
    ScriptedBackend& ref = *s;
    SetBackend(std::move(s));
    return ref;
}

} // namespace tsy::Modal
