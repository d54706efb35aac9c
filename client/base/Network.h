#pragma once

class QNetworkAccessManager;

// The one QNetworkAccessManager of the process (main thread), so that connections, TLS
// sessions and the cookie jar are shared by every request.
QNetworkAccessManager &sharedNetworkAccessManager();
