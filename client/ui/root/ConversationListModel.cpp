#include "ui/root/ConversationListModel.h"

#include "base/ImageCache.h"

#include <QImage>
#include "base/Json.h"
#include "base/MediaUrl.h"
#include "im/Protocol.h"
#include "im/Records.h"
#include "l10n/LangStore.h"
#include "ui/root/RootTexts.h"
#include "ui/root/RootViewModel.h"

ConversationListModel::ConversationListModel(RootViewModel &root, QObject *parent)
    : QAbstractListModel(parent), m_root(root), m_selected(root.selectedConvID())
{
    connect(&m_root, &RootViewModel::conversationsChanged, this, &ConversationListModel::rebuild);
    connect(&m_root, &RootViewModel::convFilterChanged, this, &ConversationListModel::rebuild);
    connect(&m_root, &RootViewModel::selectedConvIDChanged, this, &ConversationListModel::onSelection);
    connect(&LangStore::shared(), &LangStore::langChanged, this, &ConversationListModel::rebuild);
    connect(&ImageCache::shared(), &ImageCache::loaded, this, &ConversationListModel::onImage);
    rebuild();
}

QString ConversationListModel::rowBadge(qint64 unread)
{
    return unread < 1 ? QString() : QString::number(qMin<qint64>(unread, 99));
}

ConversationListModel::Row ConversationListModel::rowFor(const QJsonObject &c, const QDateTime &now)
{
    Row row;
    row.key = Records::convKey(c);
    row.name = Records::showName(c);
    const QString draft = Json::str(c, QLatin1String("draftText"));
    if (!draft.isEmpty()) {
        const QString prefix = QLatin1Char('[') + RootTexts::draftLabel() + QLatin1Char(']');
        row.draftPrefix = int(prefix.size());
        row.preview = prefix + draft;
    } else {
        // No latest message at all (a chat just started here) has no preview rather than "[消息]".
        const QJsonObject latest = Records::latestMsgDict(c);
        if (!latest.isEmpty())
            row.preview = Protocol::briefOf(latest);
    }
    // One line: a multi-line text shows its lines joined.
    row.preview.replace(QLatin1Char('\n'), QLatin1Char(' '));
    row.time = RootTexts::rowTime(Json::integer(c, QLatin1String("latestMsgSendTime")), now);
    row.badge = rowBadge(Records::unread(c));
    row.muted = Json::integer(c, QLatin1String("recvMsgOpt")) != 0;
    row.pinned = Json::boolean(c, QLatin1String("isPinned"));
    row.faceURL = Json::str(c, QLatin1String("faceURL"));
    row.imageUrl = MediaUrl::imageUrl(row.faceURL);
    row.record = c;
    return row;
}

void ConversationListModel::rebuild()
{
    const QList<QJsonObject> sorted = m_root.sortedConversations();
    QList<Row> rows;
    rows.reserve(sorted.size());
    const QDateTime now = QDateTime::currentDateTime();
    for (const QJsonObject &c : sorted)
        rows.append(rowFor(c, now));
    m_selected = m_root.selectedConvID();

    // Same keys in the same order: update in place so the view keeps its scroll and hover.
    bool sameKeys = rows.size() == m_rows.size();
    for (qsizetype i = 0; sameKeys && i < rows.size(); ++i)
        sameKeys = rows[i].key == m_rows[i].key;
    if (sameKeys) {
        m_rows = std::move(rows);
        if (!m_rows.isEmpty())
            emit dataChanged(index(0), index(int(m_rows.size()) - 1));
        return;
    }
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int ConversationListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ConversationListModel::rowOfKey(const QString &key) const
{
    if (key.isEmpty())
        return -1;
    for (int i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].key == key)
            return i;
    return -1;
}

QVariant ConversationListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &r = m_rows[index.row()];
    switch (role) {
    case Qt::DisplayRole:
    case NameRole: return r.name;
    case Qt::ToolTipRole: return r.name;
    case KeyRole: return r.key;
    case PreviewRole: return r.preview;
    case TimeRole: return r.time;
    case DraftPrefixRole: return r.draftPrefix;
    case BadgeRole: return r.badge;
    case MutedRole: return r.muted;
    case PinnedRole: return r.pinned;
    case SelectedRole: return r.key == m_selected;
    case FaceUrlRole: return r.faceURL;
    case RecordRole: return r.record;
    case ImageRole: return ImageCache::shared().imageOrRequest(r.imageUrl);
    default: return {};
    }
}

QHash<int, QByteArray> ConversationListModel::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert({{KeyRole, "key"}, {NameRole, "name"}, {PreviewRole, "preview"}, {DraftPrefixRole, "draftPrefix"}, {TimeRole, "time"},
                  {BadgeRole, "badge"}, {MutedRole, "muted"}, {PinnedRole, "pinned"}, {SelectedRole, "selected"},
                  {FaceUrlRole, "faceURL"}, {ImageRole, "image"}, {RecordRole, "record"}});
    return names;
}

void ConversationListModel::onSelection()
{
    const int before = rowOfKey(m_selected);
    m_selected = m_root.selectedConvID();
    const int after = rowOfKey(m_selected);
    for (int row : {before, after})
        if (row >= 0)
            emit dataChanged(index(row), index(row), {SelectedRole});
}

void ConversationListModel::onImage(const QUrl &url)
{
    for (int i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].imageUrl == url)
            emit dataChanged(index(i), index(i), {ImageRole});
}
