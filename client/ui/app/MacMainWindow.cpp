#include "ui/app/MacMainWindow.h"

#include "app/AppState.h"
#include "app/MacActions.h"
#include "app/MacNotify.h"
#include "base/Preferences.h"
#include "l10n/LangStore.h"
#include "ui/common/Icons.h"
#include "ui/common/Style.h"
#include "ui/contacts/ContactsViewModel.h"
#include "ui/root/MacRootView.h"
#include "ui/root/RootTexts.h"
#include "ui/signin/SignInView.h"
#include "ui/signin/SignInViewModel.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

QString frameKey()
{
    return QStringLiteral("mirelo_frame_") + QLatin1String(MacMainWindow::kFrameName);
}

} // namespace

MacMainWindow::MacMainWindow(MacShellServices services, QWidget *parent)
    : QMainWindow(parent), m_services(std::move(services))
{
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QStringLiteral("Sarvo"));
    setWindowIcon(Icons::appIcon());
    setMinimumSize(760, 520);

    m_root = std::make_unique<RootViewModel>(m_services.im, m_services.app, &m_services.notify, m_services.bindCalls);
    m_contacts = std::make_unique<ContactsViewModel>(m_services.im, *m_root);

    m_stack = new QStackedWidget(this);
    setCentralWidget(m_stack);
    m_rootView = new MacRootView(*m_root, *m_contacts, m_services.app, m_stack);
    m_stack->addWidget(m_rootView);

    buildMenus();
    buildTray();
    retranslate();
    connect(&LangStore::shared(), &LangStore::langChanged, this, [this](const QString &lang) {
        Style::applyLanguage(lang);
        retranslate();
    });
    connect(&m_services.app, &AppState::credentialsChanged, this, &MacMainWindow::showScreenForSession);
    connect(m_root.get(), &RootViewModel::launcherBadgeChanged, this, &MacMainWindow::onBadge);
    connect(m_root.get(), &RootViewModel::conversationsChanged, this, &MacMainWindow::onBadge);
    showScreenForSession();
    restoreFrame();
}

MacMainWindow::~MacMainWindow()
{
    // The screens hold references into the models: they go first.
    delete m_stack;
    m_stack = nullptr;
}

QAction *MacMainWindow::command(const QString &name) const
{
    return m_commands.value(name);
}

void MacMainWindow::buildMenus()
{
    auto add = [this](QMenu *menu, const QString &name, const QKeySequence &keys, std::function<void()> action) {
        QAction *a = menu->addAction(QString());
        a->setObjectName(name);
        a->setShortcut(keys);
        a->setShortcutContext(Qt::ApplicationShortcut);
        connect(a, &QAction::triggered, this, std::move(action));
        m_commands.insert(name, a);
        return a;
    };
    m_fileMenu = menuBar()->addMenu(QString());
    add(m_fileMenu, QStringLiteral("newChat"), QKeySequence(Qt::CTRL | Qt::Key_N), [] { MacActions::newChat(); });
    m_fileMenu->addSeparator();
    add(m_fileMenu, QStringLiteral("quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), [this] {
        m_quitting = true;
        saveFrame();
        QApplication::quit();
    });
    m_editMenu = menuBar()->addMenu(QString());
    add(m_editMenu, QStringLiteral("searchChats"), QKeySequence(Qt::CTRL | Qt::Key_F), [] { MacActions::focusSearch(); });
    m_goMenu = menuBar()->addMenu(QString());
    const std::pair<const char *, Qt::Key> tabs[] = {
        {"chats", Qt::Key_1}, {"contacts", Qt::Key_2}, {"moments", Qt::Key_3}, {"me", Qt::Key_4}};
    for (const auto &[name, key] : tabs) {
        const QString tab = QString::fromLatin1(name);
        add(m_goMenu, tab, QKeySequence(Qt::CTRL | key), [tab] { MacActions::switchTab(tab); });
    }
}

void MacMainWindow::buildTray()
{
    m_trayMenu = new QMenu(this);
    m_showWindow = m_trayMenu->addAction(QString(), this, &MacMainWindow::bringToFront);
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(m_commands.value(QStringLiteral("quit")));
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_tray = new QSystemTrayIcon(Icons::appIcon(), this);
    m_tray->setContextMenu(m_trayMenu);
    m_tray->setToolTip(trayToolTip());
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            bringToFront();
    });
    m_tray->show();
}

void MacMainWindow::retranslate()
{
    m_fileMenu->setTitle(RootTexts::fileMenu());
    m_editMenu->setTitle(RootTexts::editMenu());
    m_goMenu->setTitle(RootTexts::goMenu());
    const std::pair<const char *, QString> texts[] = {
        {"newChat", RootTexts::newChatCommand()}, {"searchChats", RootTexts::searchChatsCommand()},
        {"chats", RootTexts::chatsCommand()},     {"contacts", RootTexts::contactsCommand()},
        {"moments", RootTexts::momentsCommand()}, {"me", RootTexts::meCommand()},
        {"quit", RootTexts::quit()},
    };
    for (const auto &[name, text] : texts)
        m_commands.value(QString::fromLatin1(name))->setText(text);
    m_showWindow->setText(RootTexts::showWindow());
}

QString MacMainWindow::trayToolTip() const
{
    const QString badge = m_root->launcherBadge();
    return badge.isEmpty() ? QStringLiteral("Sarvo") : QStringLiteral("Sarvo (%1)").arg(badge);
}

void MacMainWindow::onBadge()
{
    m_services.notify.setLauncherCount(m_services.app.credentials() ? m_root->totalUnreadLocal() : 0);
    if (m_tray)
        m_tray->setToolTip(trayToolTip());
}

void MacMainWindow::showScreenForSession()
{
    const bool signedIn = m_services.app.credentials().has_value();
    // Menu commands mean nothing on the sign-in screen.
    for (const char *name : {"newChat", "searchChats", "chats", "contacts", "moments", "me"})
        m_commands.value(QString::fromLatin1(name))->setEnabled(signedIn);
    if (signedIn) {
        m_stack->setCurrentWidget(m_rootView);
        if (m_signIn) {
            // Deleted later: the sign-in call that got us here is still returning through it.
            m_signIn->deleteLater();
            m_signInModel->deleteLater();
            m_signIn = nullptr;
            m_signInModel = nullptr;
        }
        onBadge();
        return;
    }
    if (!m_signIn) {
        m_signInModel = new SignInViewModel(m_services.app, m_services.clock, this);
        m_signIn = new SignInView(*m_signInModel, m_services.app, m_stack);
        m_stack->addWidget(m_signIn);
    }
    m_stack->setCurrentWidget(m_signIn);
    onBadge();
}

void MacMainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_booted)
        return;
    m_booted = true;
    // After the first frame is on screen: start-up may load the IM SDK.
    QTimer::singleShot(0, this, [this] {
        m_services.app.boot();
        m_root->reloadAll();
    });
}

void MacMainWindow::closeEvent(QCloseEvent *event)
{
    qInfo().noquote() << QStringLiteral("MIRELO windowWillClose: '%1'").arg(windowTitle());
    saveFrame();
    if (m_quitting) {
        event->accept();
        return;
    }
    // The application keeps running; the tray or a second start brings the window back.
    event->ignore();
    hide();
}

void MacMainWindow::bringToFront()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void MacMainWindow::restoreFrame()
{
    auto settings = Preferences::open();
    const QByteArray frame = settings->value(frameKey()).toByteArray();
    if (!frame.isEmpty() && restoreGeometry(frame))
        return;
    resize(1080, 720);
    if (const QScreen *screen = QApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        resize(qMin(1080, available.width() - 40), qMin(720, available.height() - 40));
        move(available.center() - rect().center());
    }
}

void MacMainWindow::saveFrame()
{
    auto settings = Preferences::open();
    settings->setValue(frameKey(), saveGeometry());
    Preferences::commit(*settings);
}
