#include "l10n/LangStore.h"

#include "base/Broadcast.h"
#include "l10n/L10n.h"

#include <QCoreApplication>

LangStore &LangStore::shared()
{
    static LangStore *const store = [] {
        auto *created = new LangStore;
        // Announcements must land on the main thread even if a worker asked first.
        if (QCoreApplication *app = QCoreApplication::instance())
            created->moveToThread(app->thread());
        return created;
    }();
    return *store;
}

LangStore::LangStore(QObject *parent) : QObject(parent), m_lang(L10n::lang())
{
    // Queued: announcements may be posted from any thread and are applied on ours. The
    // connection ends with this object.
    connect(&Broadcast::center(), &Broadcast::posted, this,
            [this](const QString &name, const QVariant &object) {
                if (name == L10n::kAnnouncement && object.typeId() == QMetaType::QString)
                    apply(object.toString());
            },
            Qt::QueuedConnection);
}

void LangStore::setLang(const QString &code)
{
    L10n::setLang(code);
    apply(L10n::isSupported(code) ? code : QString(L10n::kEn));
}

void LangStore::apply(const QString &code)
{
    if (code == m_lang)
        return;
    m_lang = code;
    emit langChanged(m_lang);
}
