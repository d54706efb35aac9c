#pragma once

#include "ui/root/RootViewModel.h"
#include "ui/signin/SignInView.h"

#include <QMainWindow>
#include <QPointer>
#include <memory>

class AppState;
class Clock;
class ContactsViewModel;
class IMService;
class MacNotify;
class MacRootView;
class QAction;
class QMenu;
class QStackedWidget;
class QSystemTrayIcon;
class SignInView;
class SignInViewModel;

// What the main window is built on; the composition root passes the process-wide instances.
struct MacShellServices {
    IMService &im;
    AppState &app;
    MacNotify &notify;
    Clock &clock;
    RootViewModel::BindCalls bindCalls;
};

// The one main window, titled "Sarvo": the sign-in screen while signed out, the main view
// while signed in. Closing it keeps the application in the tray; its frame is remembered.
class MacMainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr const char *kFrameName = "MireloMainWindow";

    explicit MacMainWindow(MacShellServices services, QWidget *parent = nullptr);
    ~MacMainWindow() override;

    RootViewModel &root() { return *m_root; }
    ContactsViewModel &contacts() { return *m_contacts; }
    MacRootView *rootView() const { return m_rootView; }
    // Null while signed in.
    SignInView *signInView() const { return m_signIn; }
    QSystemTrayIcon *tray() const { return m_tray; }
    QString trayToolTip() const;
    // The menu commands, for tests: "newChat", "searchChats", "chats", "contacts", "moments", "me", "quit".
    QAction *command(const QString &name) const;

    // Shows the window again and brings it to the front (tray, a second start).
    void bringToFront();
    // Whether the window stays hidden on close (false while the application quits).
    void setQuitting(bool quitting) { m_quitting = quitting; }

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void buildTray();
    void retranslate();
    void showScreenForSession();
    void onBadge();
    void restoreFrame();
    void saveFrame();

    MacShellServices m_services;
    std::unique_ptr<RootViewModel> m_root;
    std::unique_ptr<ContactsViewModel> m_contacts;
    QStackedWidget *m_stack = nullptr;
    MacRootView *m_rootView = nullptr;
    QPointer<SignInView> m_signIn;
    SignInViewModel *m_signInModel = nullptr;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *m_trayMenu = nullptr;
    QMenu *m_fileMenu = nullptr;
    QMenu *m_editMenu = nullptr;
    QMenu *m_goMenu = nullptr;
    QHash<QString, QAction *> m_commands;
    QAction *m_showWindow = nullptr;
    bool m_booted = false;
    bool m_quitting = false;
};
