#pragma once

#include "accounts/Throttle.h"
#include "core/OutputBudget.h"
#include "mail/Smtp.h"
#include "storage/Store.h"

#include <QByteArray>
#include <QString>
#include <QThreadPool>
#include <functional>
#include <memory>

class QString;

// Settings of one running service.
struct Options {
    QString dataDir;
    bool dev = false;              // verification mails go to the outbox file (unless `mail` is set)
    Mail::Settings mail;           // the mail server for verification mails
    // Guessing of passwords (per account typed, and per client address) and of codes (per address).
    Throttle::Policy accountGuesses{5, 30 * 1000, 15 * 60 * 1000, 3600 * 1000};
    Throttle::Policy addressGuesses{20, 30 * 1000, 15 * 60 * 1000, 3600 * 1000};
    int passwordIterations = 600000;
    int threads = 2;               // connection threads
    QString publicUrl;             // origin put into URLs we hand out; else taken from Host
    std::function<qint64()> clock; // ms since the epoch; the system clock when empty
    qint64 tokenLifetimeMs = 90LL * 24 * 3600 * 1000;
    qint64 signLifetimeMs = 15LL * 60 * 1000;
    qint64 minPartSize = 5242880;
    qint64 maxParts = 10000;
    qint64 maxObjectSize = 4LL * 1024 * 1024 * 1024;
    // What all connections together may hold unread by their peers before the largest holders
    // are closed.
    qint64 maxOutput = 128LL * 1024 * 1024;
    // Password hashes one client address may have waiting; more are refused before hashing.
    int hashesWaitingPerAddress = 4;
};

// What every component of the service shares.
struct Context {
    Options options;
    Storage::Store &store;
    QByteArray secret; // signs part URLs and room tokens; kept in the data directory
    QThreadPool &hashPool;
    std::shared_ptr<OutputBudget> output; // shared by every connection of the service

    qint64 now() const;
    QString dataPath(const QString &name) const;
};
