#include "base/Network.h"

#include <QNetworkAccessManager>

QNetworkAccessManager &sharedNetworkAccessManager()
{
    // Never destroyed: replies may still be finishing while statics are torn down.
    static QNetworkAccessManager *const nam = new QNetworkAccessManager;
    return *nam;
}
