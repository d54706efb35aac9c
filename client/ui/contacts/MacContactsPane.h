#pragma once

#include <QJsonObject>
#include <QWidget>

class ContactsDelegate;
class ContactsListModel;
class ContactsViewModel;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QPushButton;
class QToolButton;
class Toast;

// The contacts tab: add a friend by ID, friend requests, friends and groups in one list.
class MacContactsPane : public QWidget {
    Q_OBJECT

public:
    explicit MacContactsPane(ContactsViewModel &model, QWidget *parent = nullptr);

    QLineEdit *addField() const { return m_addField; }
    QPushButton *addButton() const { return m_addButton; }
    QToolButton *refreshButton() const { return m_refresh; }
    QListView *listView() const { return m_list; }
    ContactsListModel *listModel() const { return m_listModel; }
    ContactsDelegate *delegate() const { return m_delegate; }
    Toast *toast() const { return m_toast; }
    // The friend row's menu: message, delete friend, block.
    QMenu *buildFriendMenu(const QJsonObject &friendRecord, QWidget *parent);

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void render();
    void retranslate();

    ContactsViewModel &m_model;
    ContactsListModel *m_listModel = nullptr;
    ContactsDelegate *m_delegate = nullptr;
    QLabel *m_title = nullptr;
    QToolButton *m_refresh = nullptr;
    QLabel *m_addTitle = nullptr;
    QLineEdit *m_addField = nullptr;
    QPushButton *m_addButton = nullptr;
    QListView *m_list = nullptr;
    Toast *m_toast = nullptr;
};
