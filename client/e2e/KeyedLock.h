#pragma once

#include <QHash>
#include <QPointer>
#include <QString>
#include <coroutine>
#include <deque>
#include <memory>
#include <mutex>

// One lock per key for coroutines: holders of the same key run one after another in arrival
// order, and a waiter resumes from its own thread's event loop (the main thread for the app).
//
//     KeyedLock::Guard guard(locks, key);
//     co_await guard.acquire();
//     ... read, change and write back the value under `key` ...
//
// The guard is a named local on purpose: the awaiter in the co_await expression then holds only
// a pointer (g++ 12 may destroy non-trivial temporaries of a co_await expression twice).
class KeyedLock {
    struct Entry;

public:
    class Guard {
    public:
        Guard(KeyedLock &lock, QString key);
        ~Guard();
        Guard(const Guard &) = delete;
        Guard &operator=(const Guard &) = delete;

        struct Awaiter {
            Guard *guard;
            bool await_ready() const;
            bool await_suspend(std::coroutine_handle<> handle) const;
            void await_resume() const noexcept {}
        };
        Awaiter acquire() { return Awaiter{this}; }
        bool held() const { return m_held; }

    private:
        friend class KeyedLock;
        KeyedLock &m_lock;
        QString m_key;
        bool m_held = false;
        bool m_queued = false;
        std::coroutine_handle<> m_handle;
        QPointer<QObject> m_context;
        // Expires with the guard, so a resumption posted to a coroutine that died meanwhile is dropped.
        std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    };

    KeyedLock() = default;
    KeyedLock(const KeyedLock &) = delete;
    KeyedLock &operator=(const KeyedLock &) = delete;
    ~KeyedLock();

    // Keys with a holder or waiters; entries go away with their last guard.
    qsizetype activeKeys() const;

private:
    struct Entry {
        bool held = false;
        int users = 0;
        std::deque<Guard *> waiters;
    };

    bool tryTake(Guard &guard);
    bool enqueue(Guard &guard, std::coroutine_handle<> handle);
    void release(Guard &guard);

    mutable std::mutex m_mutex;
    QHash<QString, Entry *> m_entries;
};
