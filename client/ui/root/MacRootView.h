#pragma once

#include <QWidget>

class AppState;
class ChatPaneHost;
class ContactsViewModel;
class ConversationListPane;
class MacContactsPane;
class NavRail;
class NewChatSheet;
class QStackedWidget;
class QVariantAnimation;
class RootViewModel;

// The signed-in main window's content: the navigation rail and the four tabs; the chats tab
// holds the conversation list beside the chat pane; the new-chat sheet goes over everything.
class MacRootView : public QWidget {
    Q_OBJECT

public:
    MacRootView(RootViewModel &root, ContactsViewModel &contacts, AppState &app, QWidget *parent = nullptr);

    NavRail *rail() const { return m_rail; }
    ConversationListPane *listPane() const { return m_list; }
    ChatPaneHost *chatPane() const { return m_chat; }
    MacContactsPane *contactsPane() const { return m_contacts; }
    NewChatSheet *newChatSheet() const { return m_sheet; }
    // The page of the current tab.
    QWidget *currentPage() const;

private:
    void showTab(bool animated);
    void syncChatPane();

    RootViewModel &m_root;
    NavRail *m_rail = nullptr;
    QStackedWidget *m_pages = nullptr;
    ConversationListPane *m_list = nullptr;
    ChatPaneHost *m_chat = nullptr;
    MacContactsPane *m_contacts = nullptr;
    NewChatSheet *m_sheet = nullptr;
    QVariantAnimation *m_tabFade = nullptr;
};
