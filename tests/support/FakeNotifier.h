#pragma once

#include "app/Notifier.h"

#include <QList>
#include <QPair>

class FakeNotifier : public Notifier {
public:
    void postIfNeeded(const QString &title, const QString &body) override { posted.append({title, body}); }
    bool enabled() const override { return on; }
    void requestPermission() override { ++permissionRequests; }

    bool on = true;
    int permissionRequests = 0;
    QList<QPair<QString, QString>> posted;
};
