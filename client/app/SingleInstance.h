#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

// One running client per user and profile. The first process listens on a local socket named
// by the key; a later start with the same key asks it to show its window and then leaves.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(QString key, QObject *parent = nullptr);

    // True when this process now serves the key. False when another process does; it has been
    // asked to come to the front.
    bool claim();

signals:
    // Another start of the same profile wants the window back.
    void activationRequested();

private:
    void onConnection();

    QString m_key;
    QLocalServer m_server;
};
