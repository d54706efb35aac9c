#pragma once

#include <QAbstractListModel>
#include <QJsonObject>
#include <QList>
#include <QUrl>

class ContactsViewModel;

// The contacts tab's three lists flattened for one painted list view: a header row per
// section, then its rows (friend requests, friends, groups), each with its derived texts.
class ContactsListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum class Kind { header, note, request, friendRow, group };
    enum Role {
        KindRole = Qt::UserRole + 1,
        NameRole,
        // Request text (reqMsg) of a request row.
        SubtitleRole,
        // "Accepted" / "Declined" of a handled request; empty while pending.
        StatusRole,
        PendingRole,
        // Member count of a group row.
        CountRole,
        FaceUrlRole,
        ImageRole,
        RecordRole,
    };

    struct Row {
        Kind kind = Kind::header;
        QString name;
        QString subtitle;
        QString status;
        bool pending = false;
        QString count;
        QString faceURL;
        QUrl imageUrl;
        QJsonObject record;
    };

    explicit ContactsListModel(ContactsViewModel &contacts, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    const Row &row(int i) const { return m_rows[i]; }
    void rebuild();

private:
    void onImage(const QUrl &url);

    ContactsViewModel &m_contacts;
    QList<Row> m_rows;
};
