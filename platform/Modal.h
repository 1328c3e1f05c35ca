#pragma once
// Every modal interaction goes through here so that tests can script the
// answers and read what was asked, and never block on a dialog.
#include <QColor>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QWidget;

namespace tsy::Modal {

enum class Icon { None, Information, Warning, Critical, Question };
enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
enum class Answer { Ok, Cancel, Yes, No };

struct Call {
    QString kind;      // "MsgBox", "OpenFile", "SaveFile", "Colour", "OpenWith", "ViewText", "Help"
    QString title;
    QString text;      // message text, or the path / directory / filter involved
    Icon icon = Icon::None;
    Buttons buttons = Buttons::Ok;
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual Answer MsgBox(QWidget* parent, const QString& text, Icon icon, Buttons buttons, const QString& title) = 0;
    virtual QString GetOpenFileName(QWidget* parent, const QString& title, const QString& dir, const QString& filter) = 0;
    virtual QString GetSaveFileName(QWidget* parent, const QString& title, const QString& dir, const QString& filter) = 0;
    virtual bool ChooseColour(QWidget* parent, QColor initial, QColor* chosen) = 0;
    virtual bool OpenWithAssociatedProgram(const QString& path) = 0;
    virtual bool OpenTextFileForViewing(const QString& path) = 0;
};

// Test double: answers from a script (first in, first out; Ok / Yes / empty /
// false when the script runs dry) and records every call.
class ScriptedBackend : public Backend {
public:
    QList<Answer> answers;
    QStringList fileNames;
    QList<QColor> colours;   // an invalid colour means "cancelled"
    bool openResult = true;   // false: every opener fails as a desktop without one does
    QList<Call> calls;

    Answer MsgBox(QWidget*, const QString& text, Icon icon, Buttons buttons, const QString& title) override;
    QString GetOpenFileName(QWidget*, const QString& title, const QString& dir, const QString& filter) override;
    QString GetSaveFileName(QWidget*, const QString& title, const QString& dir, const QString& filter) override;
    bool ChooseColour(QWidget*, QColor initial, QColor* chosen) override;
    bool OpenWithAssociatedProgram(const QString& path) override;
    bool OpenTextFileForViewing(const QString& path) override;
    int count(const QString& kind) const;
    QStringList texts(const QString& kind = "MsgBox") const;
};

// Installs a backend (taking ownership); nullptr restores the real dialogs.
void SetBackend(std::unique_ptr<Backend> backend);
Backend& Current();
// Convenience: installs a fresh ScriptedBackend and returns it.
ScriptedBackend& UseScript();

inline Answer MsgBox(QWidget* parent, const QString& text, Icon icon = Icon::None,
                     Buttons buttons = Buttons::Ok, const QString& title = QStringLiteral("Tessaly"))
{ return Current().MsgBox(parent, text, icon, buttons, title); }
inline QString GetOpenFileName(QWidget* p, const QString& t, const QString& d, const QString& f)
{ return Current().GetOpenFileName(p, t, d, f); }
inline QString GetSaveFileName(QWidget* p, const QString& t, const QString& d, const QString& f)
{ return Current().GetSaveFileName(p, t, d, f); }
inline bool ChooseColour(QWidget* p, QColor initial, QColor* chosen) { return Current().ChooseColour(p, initial, chosen); }
inline bool OpenWithAssociatedProgram(const QString& path) { return Current().OpenWithAssociatedProgram(path); }
inline bool OpenTextFileForViewing(const QString& path) { return Current().OpenTextFileForViewing(path); }

// The numbered error a failed open is logged with: 53 when the file is not
// there, else 1155 (nothing on the desktop opens it).
struct OpenFailure {
    int number;
    QString description;
};
OpenFailure DescribeOpenFailure(const QString& path);

} // namespace tsy::Modal
