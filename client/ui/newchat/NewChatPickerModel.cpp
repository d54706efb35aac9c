#include "ui/newchat/NewChatPickerModel.h"

#include "base/Text.h"
#include "base/ImageCache.h"
#include "base/MediaUrl.h"
#include "im/Records.h"
#include "l10n/Inline.h"

#include <QImage>

QString NewChatPickerModel::title()
{
    return L10n::pick("新会话", "新對話", "New Chat");
}

QString NewChatPickerModel::searchPlaceholder()
{
    return L10n::pick("搜索好友", "搜尋好友", "Search friends");
}

QList<QJsonObject> NewChatPickerModel::filtered(const QList<QJsonObject> &friends, const QString &filter)
{
    const QString q = Text::trimBlanks(filter).toCaseFolded();
    if (q.isEmpty())
        return friends;
    QList<QJsonObject> out;
    for (const QJsonObject &f : friends)
        if (Records::fName(f).toCaseFolded().contains(q))
            out.append(f);
    return out;
}

NewChatPickerModel::NewChatPickerModel(QObject *parent) : QAbstractListModel(parent)
{
    connect(&ImageCache::shared(), &ImageCache::loaded, this, &NewChatPickerModel::onImage);
}

void NewChatPickerModel::setFriends(QList<QJsonObject> friends)
{
    m_friends = std::move(friends);
    rebuild();
}

void NewChatPickerModel::setFilter(const QString &filter)
{
    if (filter == m_filter)
        return;
    m_filter = filter;
    rebuild();
}

void NewChatPickerModel::rebuild()
{
    beginResetModel();
    m_rows = filtered(m_friends, m_filter);
    m_urls.clear();
    for (const QJsonObject &f : std::as_const(m_rows))
        m_urls.append(MediaUrl::imageUrl(Records::fFace(f)));
    endResetModel();
}

int NewChatPickerModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant NewChatPickerModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const QJsonObject &f = m_rows[index.row()];
    switch (role) {
    case Qt::DisplayRole:
    case NameRole: return Records::fName(f);
    case UserIDRole: return Records::fUserID(f);
    case FaceUrlRole: return Records::fFace(f);
    case ImageRole: return ImageCache::shared().imageOrRequest(m_urls[index.row()]);
    default: return {};
    }
}

void NewChatPickerModel::onImage(const QUrl &url)
{
    for (int i = 0; i < m_urls.size(); ++i)
        if (m_urls[i] == url)
            emit dataChanged(index(i), index(i), {ImageRole});
}
