#pragma once
// "Event Details": one event of one connection, its times, description,
// error, both peers and its data (raw or laid out as rows), stepping through
// the connection's events and moving the diagram's highlight along.
#include <QPointer>
#include <QWidget>
#include <memory>

#include "platform/SingleWindow.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class SocketEvent;
class SocketPairHistory;

namespace tsy {
class UpDown;
class WindowTimer;
}

// Loaded hidden on first use; unloading, as the window frame's close does,
// stores the settings.
class frmEventDetails : public tsy::SingleWindow<frmEventDetails, QWidget> {
    Q_OBJECT
    friend Lifecycle;

public:

    // Keeps the history and the event at that position (from 1) and shows it.
    void SetDetails(std::shared_ptr<SocketPairHistory> objSocketPairHistory, int intEventIndex);
    void ClearDetails();
    void UpdateButtons();
    // The window got the focus: the event again, or empty when it is gone.
    void Form_Activate();
    // Position of the event shown (from 1), 0 when nothing is shown.
    int EventIndex() const { return mintEventIndex; }

    QTabWidget* tabTab = nullptr;
    QLabel* lblEventTime = nullptr;
    QLabel* lblFinishTime = nullptr;
    QLabel* lblDescription = nullptr;
    QLabel* lblErrorNumber = nullptr;
    QLabel* lblErrorDescription = nullptr;
    QLabel* lblRemoteClient = nullptr;
    QLabel* lblRemoteServer = nullptr;
    QPushButton* cmdLeft[2] = {nullptr, nullptr};
    QPushButton* cmdRight[2] = {nullptr, nullptr};
    QPlainTextEdit* txtData = nullptr;
    QFrame* fraContainer = nullptr;
    QComboBox* cboFormat = nullptr;
    QLineEdit* txtBytesPerRow = nullptr;
    tsy::UpDown* updBytesPerRow = nullptr;
    tsy::WindowTimer* tmrControlAvailability = nullptr;

public slots:
    void cmdLeft_Click();
    void cmdRight_Click();
    void cboFormat_Click();
    void txtBytesPerRow_Change();

protected:
    void changeEvent(QEvent* event) override;

private:
    frmEventDetails();
    void BuildControls();
    void Form_Load();
    void Form_Unload();
    bool ShowEvent();
    // The shown event's current position, found again after the purge has
    // dropped older events; 0 when the history no longer holds it.
    int LocateEvent() const;
    void Step(int delta);
    void SetEnabledAll(bool enabled);

    std::shared_ptr<SocketPairHistory> mobjHistory;
    std::shared_ptr<SocketEvent> mobjEvent;
    int mintEventIndex = 0;
    bool mblnApplyingRule = false;
    // What txtData holds now, so an unchanged event is not laid out again.
    std::shared_ptr<SocketEvent> mobjDataShown;
    QString mstrDataFormat;
};
