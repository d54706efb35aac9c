#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

// The process-wide hub for in-process announcements: a name ("mirelo-lang", ...) and an
// optional object. Posting is allowed from any thread; subscribers connect to `posted` and
// filter by name, choosing a queued connection when they must run later on their own thread.
class Broadcast : public QObject {
    Q_OBJECT

public:
    static Broadcast &center();

    static void post(const QString &name, const QVariant &object = {});

signals:
    void posted(const QString &name, const QVariant &object);

private:
    Broadcast() = default;
};
