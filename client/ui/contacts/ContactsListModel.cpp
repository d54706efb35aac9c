#include "ui/contacts/ContactsListModel.h"

#include "base/ImageCache.h"

#include <QImage>
#include "base/Json.h"
#include "base/MediaUrl.h"
#include "im/Records.h"
#include "l10n/LangStore.h"
#include "ui/contacts/ContactsViewModel.h"

ContactsListModel::ContactsListModel(ContactsViewModel &contacts, QObject *parent)
    : QAbstractListModel(parent), m_contacts(contacts)
{
    connect(&m_contacts, &ContactsViewModel::listsChanged, this, &ContactsListModel::rebuild);
    connect(&LangStore::shared(), &LangStore::langChanged, this, &ContactsListModel::rebuild);
    connect(&ImageCache::shared(), &ImageCache::loaded, this, &ContactsListModel::onImage);
    rebuild();
}

void ContactsListModel::rebuild()
{
    QList<Row> rows;
    auto header = [&](const QString &title) {
        Row r;
        r.kind = Kind::header;
        r.name = title;
        rows.append(r);
    };
    auto noteIfEmpty = [&](bool empty, const QString &text) {
        if (!empty)
            return;
        Row r;
        r.kind = Kind::note;
        r.name = text;
        rows.append(r);
    };
    auto person = [](Kind kind, const QString &name, const QString &face, const QJsonObject &record) {
        Row r;
        r.kind = kind;
        r.name = name;
        r.faceURL = face;
        r.imageUrl = MediaUrl::imageUrl(face);
        r.record = record;
        return r;
    };

    header(ContactsTexts::requestsSection());
    for (const QJsonObject &request : m_contacts.applications()) {
        Row r = person(Kind::request, ContactsViewModel::requestName(request),
                       Json::str(request, QLatin1String("fromFaceURL")), request);
        r.subtitle = Json::str(request, QLatin1String("reqMsg"));
        switch (ContactsViewModel::requestStatus(request)) {
        case ContactsViewModel::RequestStatus::pending: r.pending = true; break;
        case ContactsViewModel::RequestStatus::accepted: r.status = ContactsTexts::accepted(); break;
        case ContactsViewModel::RequestStatus::declined: r.status = ContactsTexts::declined(); break;
        }
        rows.append(r);
    }
    noteIfEmpty(m_contacts.applications().isEmpty(), ContactsTexts::noRequests());
    header(ContactsTexts::friendsSection());
    for (const QJsonObject &f : m_contacts.friends())
        rows.append(person(Kind::friendRow, Records::fName(f), Records::fFace(f), f));
    noteIfEmpty(m_contacts.friends().isEmpty(), ContactsTexts::noFriends());
    header(ContactsTexts::groupsSection());
    for (const QJsonObject &g : m_contacts.groups()) {
        Row r = person(Kind::group, Json::str(g, QLatin1String("groupName")), Json::str(g, QLatin1String("faceURL")), g);
        r.count = QString::number(Json::integer(g, QLatin1String("memberCount")));
        rows.append(r);
    }
    noteIfEmpty(m_contacts.groups().isEmpty(), ContactsTexts::noGroups());

    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int ContactsListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

Qt::ItemFlags ContactsListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return Qt::NoItemFlags;
    const Kind kind = m_rows[index.row()].kind;
    return kind == Kind::header || kind == Kind::note ? Qt::ItemIsEnabled : Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QVariant ContactsListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &r = m_rows[index.row()];
    switch (role) {
    case Qt::DisplayRole:
    case NameRole: return r.name;
    case KindRole: return int(r.kind);
    case SubtitleRole: return r.subtitle;
    case StatusRole: return r.status;
    case PendingRole: return r.pending;
    case CountRole: return r.count;
    case FaceUrlRole: return r.faceURL;
    case RecordRole: return r.record;
    case ImageRole: return ImageCache::shared().imageOrRequest(r.imageUrl);
    default: return {};
    }
}

void ContactsListModel::onImage(const QUrl &url)
{
    for (int i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].imageUrl == url)
            emit dataChanged(index(i), index(i), {ImageRole});
}
