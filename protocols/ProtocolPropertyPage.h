#pragma once
// What every protocol property page keeps: the listening port being
// configured and the handler that opened it. A page reads and writes only
// "Protocols\<protocol name>\Port <port>". A fresh page is made for each
// opening and released when it closes.
#include <QDialog>
#include <QList>
#include <QString>
#include <functional>

class ProtocolHandler;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QVBoxLayout;
class QWidget;

class ProtocolPropertyPage : public QDialog {
    Q_OBJECT
public:
    // Set by ProtocolHandler::ShowProperties before Form_Load.
    int mlngPort = 0;
    ProtocolHandler* mobjParent = nullptr;

    // Reads the page's settings into its controls (the window's load).
    virtual void Form_Load() = 0;

    // "Protocols\<name>\Port <port>".
    QString SettingsSection() const;

    // True once OK or Cancel has closed the page.
    bool Unloaded() const { return mblnUnloaded; }

    QTabWidget* SSTab1 = nullptr;
    QWidget* tabGeneral = nullptr;   // the tab "General"
    QPushButton* cmdOK = nullptr;
    QPushButton* Command1 = nullptr;

    // How a page is shown modally. Tests replace the runner so that nothing
    // blocks: the runner gets the loaded page and presses its buttons.
    using ModalRunner = std::function<void(ProtocolPropertyPage*)>;
    static void SetModalRunner(ModalRunner runner);   // empty: the real exec()
    // Makes the page topmost while Keep on Top is ticked, shows it modally
    // and releases it when it closes.
    static void ShowModal(ProtocolPropertyPage* page);

public slots:
    virtual void cmdOK_Click() = 0;
    void Command1_Click();   // Cancel: closes without storing

protected:
    explicit ProtocolPropertyPage(QWidget* parent, const QString& title);

    // The page's layout inside the "General" tab.
    QVBoxLayout* TabLayout() const { return mTabLayout; }
    // A paragraph of explanation, wrapped, added to the "General" tab.
    QLabel* AddText(const QString& text);
    // Fixes the window's size once its controls are in place.
    void FinishLayout();

    // A port text passes when numeric and it rounds to a port from 1 to
    // 65535; otherwise the focus goes into the box, the user is told, and
    // false comes back.
    bool TestPort(QLineEdit* box);

    void UnloadPage(bool accepted);
    void reject() override;   // Escape and the window frame: Cancel

private:
    QVBoxLayout* mTabLayout = nullptr;
    bool mblnUnloaded = false;
};

// A page whose settings are text boxes, each stored under its own key, one
// of them the port box txtPort (stored as "Port"): the load reads every box,
// OK checks the port and stores every box.
class PortPropertyPage : public ProtocolPropertyPage {
    Q_OBJECT
public:
    void Form_Load() override;

    QLabel* Label3 = nullptr;   // the port box's caption
    QLineEdit* txtPort = nullptr;

public slots:
    void cmdOK_Click() override;

protected:
    using ProtocolPropertyPage::ProtocolPropertyPage;

    // A new text box stored under key; the load gives it defaultValue when
    // the store has none.
    QLineEdit* StoredBox(const QString& key, const QString& defaultValue);
    void LoadBoxes();
    void StoreBoxes() const;

private:
    struct Box {
        QString key;
        QString defaultValue;
        QLineEdit* box = nullptr;
    };
    QList<Box> mcolBoxes;
};

// The steps of every handler's ShowProperties: a new page of the protocol,
// told its port and its handler, loaded, shown modally owned by frmParent.
template <class Page>
void ShowPropertyPage(ProtocolHandler* handler, int lngPort, QWidget* frmParent)
{
    auto* page = new Page(frmParent);
    page->mlngPort = lngPort;
    page->mobjParent = handler;
    page->Form_Load();
    ProtocolPropertyPage::ShowModal(page);
}
