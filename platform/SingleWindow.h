#pragma once
// The life of a window the program holds at most once: reading it loads it
// (hidden) and runs its Form_Load, unloading runs its Form_Unload and lets it
// go, and while loaded it is registered among the loaded windows by its name.
//
//   class frmX : public tsy::SingleWindow<frmX, QWidget> {
//       friend Lifecycle;          // reaches the private constructor and Form_*
//       frmX() : SingleWindow("frmX", Qt::Dialog) { ... }
//       void Form_Load();          // optional
//       void Form_Unload();        // optional
//   };
//
// SingleInstance has the lifecycle alone; SingleWindow adds the window
// frame's close, which unloads the window.
#include "platform/LoadedWindows.h"

#include <QCloseEvent>
#include <QPointer>
#include <QWidget>

#include <concepts>
#include <utility>

namespace tsy {

// Shows a window owned by owner: the owner is given first, because the
// window system reads a window's owner only when the window is mapped (and
// on X11 only from dialog and tool windows, so owned windows are of these
// kinds). Then the window is brought forward.
void ShowOwned(QWidget* window, QWidget* owner);

template <class W, class Base>
class SingleInstance : public Base {
public:
    using Lifecycle = SingleInstance;

    // The window, loaded on first use; its Form_Load runs once the window
    // is the loaded one, so that the load may read it through Instance().
    template <class... A>
    static W* Instance(A&&... args)
    {
        if (!sLoaded) {
            W* window = new W(std::forward<A>(args)...);
            Adopt(window);
            window->Form_Load();
        }
        return Loaded();
    }
    static bool IsLoaded() { return !sLoaded.isNull(); }
    static W* Loaded() { return static_cast<W*>(sLoaded.data()); }   // nullptr when not loaded

    // Runs Form_Unload and lets the window go. It may be unloading from
    // inside one of its own events, so it is deleted later; Form_Unload
    // cannot unload it a second time.
    static void Unload()
    {
        W* window = Loaded();
        if (!window) return;
        SingleInstance* self = window;
        if (self->mblnUnloading) return;
        self->mblnUnloading = true;
        window->Form_Unload();
        Release();
        if constexpr (std::derived_from<Base, QWidget>) window->hide();
        window->deleteLater();
    }

protected:
    SingleInstance(const char* name, Qt::WindowFlags flags = {}, QWidget* parent = nullptr)
        requires std::derived_from<Base, QWidget>
        : Base(parent, flags)
    {
        Enter(name);
    }
    explicit SingleInstance(const char* name)
        requires(!std::derived_from<Base, QWidget>)
        : Base(nullptr)
    {
        Enter(name);
    }
    ~SingleInstance() override
    {
        LoadedWindows::Unregister(this);
        if (sLoaded == this) sLoaded = nullptr;
    }

    // Nothing to read or to store unless the window says so.
    void Form_Load() {}
    void Form_Unload() {}

    // Makes a window made here the loaded one (for a window whose
    // constructor runs its load itself).
    static void Adopt(W* window) { sLoaded = window; }

    // Forgets the loaded window at once (IsLoaded is false from here on)
    // and hands it back; the caller disposes of it.
    static W* Release()
    {
        W* window = Loaded();
        sLoaded = nullptr;
        if (window) LoadedWindows::Unregister(window);
        return window;
    }

private:
    void Enter(const char* name)
    {
        const QString text = QString::fromLatin1(name);
        this->setObjectName(text);
        if constexpr (std::derived_from<Base, QWidget>) this->setAttribute(Qt::WA_DeleteOnClose, false);
        LoadedWindows::Register(this, text);
    }

    static inline QPointer<Base> sLoaded;
    bool mblnUnloading = false;
};

template <class W, class Base>
class SingleWindow : public SingleInstance<W, Base> {
protected:
    using SingleInstance<W, Base>::SingleInstance;

    // The window frame's close unloads the window (Form_Unload stores what
    // the window keeps).
    void closeEvent(QCloseEvent* event) override
    {
        event->accept();
        if (this->Loaded() == this) W::Unload();
    }
};

} // namespace tsy
