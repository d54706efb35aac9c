#pragma once

#include <QJsonObject>
#include <QList>
#include <QWidget>

class NewChatPickerModel;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;

// The new-chat sheet: over a dimmed window, a card with the friends, filtered by name.
// Picking a friend reports it; the cancel button, Escape and a click beside the card cancel.
class NewChatSheet : public QWidget {
    Q_OBJECT

public:
    explicit NewChatSheet(QWidget *parent);

    // Shows the sheet over its parent with these friends and an empty filter.
    void open(const QList<QJsonObject> &friends);

    QLineEdit *searchField() const { return m_search; }
    QListView *listView() const { return m_list; }
    QPushButton *cancelButton() const { return m_cancel; }
    NewChatPickerModel *model() const { return m_model; }
    QWidget *card() const { return m_card; }

signals:
    void picked(const QString &userID, const QString &name, const QString &face);
    void cancelled();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void retranslate();
    void fit();
    void pick(int row);

    NewChatPickerModel *m_model = nullptr;
    QWidget *m_card = nullptr;
    QLabel *m_title = nullptr;
    QPushButton *m_cancel = nullptr;
    QLineEdit *m_search = nullptr;
    QListView *m_list = nullptr;
};
