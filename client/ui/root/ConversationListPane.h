#pragma once

#include <QWidget>

class ConversationListModel;
class QAction;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QToolButton;
class RootViewModel;

// The chats tab's list: the header with title, refresh and new chat, the search field, and the
// conversation list with its row menu.
class ConversationListPane : public QWidget {
    Q_OBJECT

public:
    explicit ConversationListPane(RootViewModel &root, QWidget *parent = nullptr);

    QListView *listView() const { return m_list; }
    QLineEdit *searchField() const { return m_search; }
    QToolButton *refreshButton() const { return m_refresh; }
    QToolButton *newChatButton() const { return m_newChat; }
    ConversationListModel *model() const { return m_model; }
    // The row menu for the conversation at `row`: pin/unpin, mute/unmute, mark read (with
    // unread messages only), a divider, delete. Each action reaches the model.
    QMenu *buildContextMenu(int row, QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void retranslate();

    RootViewModel &m_root;
    ConversationListModel *m_model = nullptr;
    QLabel *m_title = nullptr;
    QToolButton *m_refresh = nullptr;
    QToolButton *m_newChat = nullptr;
    QLineEdit *m_search = nullptr;
    QAction *m_clear = nullptr;
    QListView *m_list = nullptr;
};
