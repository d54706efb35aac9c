#pragma once

#include <QHash>
#include <QObject>
#include <functional>
#include <mutex>

// What all connections of the process hold for peers that have not read it yet (answers,
// pushes, TLS records), against one total. When the total is exceeded the largest holders are
// told to go (on their own threads), so a few non-reading peers cannot exhaust memory for all.
// Thread-safe.
class OutputBudget {
public:
    explicit OutputBudget(qint64 limit) : m_limit(limit) {}

    qint64 limit() const { return m_limit; }
    qint64 total() const;

    // `overBudget` is queued to `holder`'s thread; a holder leaves before it dies, and what was
    // queued to it dies with it.
    void enter(QObject *holder, std::function<void()> overBudget);
    void leave(QObject *holder);
    // The bytes `holder` holds now.
    void update(QObject *holder, qint64 bytes);

private:
    struct Entry {
        qint64 bytes = 0;
        bool condemned = false;
        std::function<void()> overBudget;
    };
    const qint64 m_limit;
    mutable std::mutex m_mutex;
    QHash<QObject *, Entry> m_holders;
    qint64 m_total = 0;
};
