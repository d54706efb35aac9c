#pragma once

#include <QAbstractListModel>
#include <QJsonObject>
#include <QList>
#include <QUrl>

// The new-chat sheet's friend list: the main window's friends when the sheet opens, filtered by
// name. Rows carry the picked friend's user ID, name and face.
class NewChatPickerModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role { UserIDRole = Qt::UserRole + 1, NameRole, FaceUrlRole, ImageRole };

    static QString title();
    static QString searchPlaceholder();

    // The friends whose fName contains the blank-trimmed filter, ignoring case; all for an
    // empty filter; the given order either way.
    static QList<QJsonObject> filtered(const QList<QJsonObject> &friends, const QString &filter);

    explicit NewChatPickerModel(QObject *parent = nullptr);

    void setFriends(QList<QJsonObject> friends);
    void setFilter(const QString &filter);
    const QString &filter() const { return m_filter; }

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

private:
    void rebuild();
    void onImage(const QUrl &url);

    QList<QJsonObject> m_friends;
    QString m_filter;
    QList<QJsonObject> m_rows;
    QList<QUrl> m_urls;
};
