#include "base/Network.h"

#include <QNetworkAccessManager>

QNetworkAccessManager &sharedNetworkAccessManager()
{
    // Never destroyed: replies may still be finishing while statics are torn down.
    static QNetworkAccessManager *const nam = [] {
        auto *m = new QNetworkAccessManager;
        m->setTransferTimeout(30000);
        return m;
    }();
    return *nam;
}
