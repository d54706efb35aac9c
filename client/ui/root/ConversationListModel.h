#pragma once

#include <QAbstractListModel>
#include <QJsonObject>
#include <QList>
#include <QUrl>

class RootViewModel;

// The conversation list as an item model over RootViewModel::sortedConversations(), with each
// row's texts derived once per reload (name, preview, badge) for the painted delegate.
class ConversationListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        KeyRole = Qt::UserRole + 1,
        NameRole,
        // The second line: "[draft label]" + draft text, else the latest message's preview.
        PreviewRole,
        // Length of the "[draft label]" prefix of PreviewRole, 0 without a draft.
        DraftPrefixRole,
        TimeRole,
        // min(unread, 99) as text, empty below 1.
        BadgeRole,
        MutedRole,
        PinnedRole,
        SelectedRole,
        FaceUrlRole,
        // The avatar picture once loaded (QImage), null until then.
        ImageRole,
        RecordRole,
    };

    struct Row {
        QString key;
        QString name;
        QString preview;
        int draftPrefix = 0;
        QString time;
        QString badge;
        bool muted = false;
        bool pinned = false;
        QString faceURL;
        QUrl imageUrl;
        QJsonObject record;
    };

    explicit ConversationListModel(RootViewModel &root, QObject *parent = nullptr);

    static Row rowFor(const QJsonObject &conversation, const QDateTime &now);
    // min(unread, 99), empty below 1.
    static QString rowBadge(qint64 unread);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const Row &row(int i) const { return m_rows[i]; }
    int rowOfKey(const QString &key) const;

    // Re-derives every row (language change, new conversations, a new filter).
    void rebuild();

private:
    void onSelection();
    void onImage(const QUrl &url);

    RootViewModel &m_root;
    QList<Row> m_rows;
    QString m_selected;
};
