#pragma once

#include <QHash>
#include <QString>
#include <QThreadPool>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

// Password hashing shared fairly between client addresses: each address may have a few jobs
// waiting (more are refused, before any work); a free thread goes to the address served least
// recently; and when there is more than one thread, the last free one only goes to an address
// with a single job. So addresses flooding guesses hold all but one thread between them, and a
// sign-in from elsewhere starts at once (or after the one other single job). Thread-safe.
class HashQueue {
public:
    HashQueue(QThreadPool &pool, int waitingPerKey);
    ~HashQueue();

    // Queues `job` for `key` (a client address); false, with nothing queued, when `key` already
    // has its share waiting. The job is called with false instead when the queue ends first.
    bool submit(const QString &key, std::function<void(bool)> job);

private:
    struct Key {
        std::deque<std::function<void(bool)>> waiting;
        int running = 0;
        quint64 lastServed = 0; // 0: never
    };
    void dispatch(std::unique_lock<std::mutex> &lock);
    void finished(const QString &key);

    QThreadPool &m_pool;
    const int m_waitingPerKey;
    const int m_threads;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    QHash<QString, Key> m_keys;
    int m_running = 0;
    quint64 m_served = 0;
};
