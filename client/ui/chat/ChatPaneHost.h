#pragma once

#include <QJsonObject>
#include <QStackedWidget>
#include <optional>

class AvatarView;
class QLabel;

// Where the open chat goes: the empty state while nothing (or nothing existing) is selected,
// otherwise the chat's frame with its header. The chat screen itself fills `body()`.
class ChatPaneHost : public QStackedWidget {
    Q_OBJECT

public:
    explicit ChatPaneHost(QWidget *parent = nullptr);

    void setConversation(const std::optional<QJsonObject> &conversation);
    bool showsEmptyState() const { return currentIndex() == 0; }
    QString title() const;
    QWidget *body() const { return m_body; }
    QString emptyText() const;

signals:
    // The conversation in the pane changed (another key, or none).
    void conversationChanged(const QString &convKey);

private:
    class EmptyPane;
    QWidget *m_empty = nullptr;
    QWidget *m_chat = nullptr;
    AvatarView *m_avatar = nullptr;
    QLabel *m_title = nullptr;
    QWidget *m_body = nullptr;
    QString m_key;
};
