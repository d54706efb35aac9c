#include "e2e/KeyedLock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

#include <algorithm>

namespace {

QObject *currentContext()
{
    if (QObject *dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread()))
        return dispatcher;
    return QCoreApplication::instance();
}

} // namespace

KeyedLock::Guard::Guard(KeyedLock &lock, QString key) : m_lock(lock), m_key(std::move(key))
{
    std::lock_guard g(m_lock.m_mutex);
    Entry *&entry = m_lock.m_entries[m_key];
    if (!entry)
        entry = new Entry;
    ++entry->users;
}

KeyedLock::Guard::~Guard()
{
    m_lock.release(*this);
}

bool KeyedLock::Guard::Awaiter::await_ready() const
{
    return guard->m_lock.tryTake(*guard);
}

bool KeyedLock::Guard::Awaiter::await_suspend(std::coroutine_handle<> handle) const
{
    return guard->m_lock.enqueue(*guard, handle);
}

KeyedLock::~KeyedLock()
{
    qDeleteAll(m_entries);
}

qsizetype KeyedLock::activeKeys() const
{
    std::lock_guard g(m_mutex);
    return m_entries.size();
}

bool KeyedLock::tryTake(Guard &guard)
{
    std::lock_guard g(m_mutex);
    Entry *entry = m_entries.value(guard.m_key);
    if (guard.m_held || !entry->held) {
        entry->held = true;
        guard.m_held = true;
    }
    return guard.m_held;
}

bool KeyedLock::enqueue(Guard &guard, std::coroutine_handle<> handle)
{
    std::lock_guard g(m_mutex);
    Entry *entry = m_entries.value(guard.m_key);
    if (!entry->held) {   // released between await_ready and here
        entry->held = true;
        guard.m_held = true;
        return false;
    }
    guard.m_handle = handle;
    guard.m_context = currentContext();
    guard.m_queued = true;
    entry->waiters.push_back(&guard);
    return true;
}

void KeyedLock::release(Guard &guard)
{
    std::coroutine_handle<> resume;
    QPointer<QObject> context;
    std::weak_ptr<int> alive;
    {
        std::lock_guard g(m_mutex);
        Entry *entry = m_entries.value(guard.m_key);
        if (guard.m_queued && !guard.m_held) {
            // Its coroutine went away while waiting.
            std::erase(entry->waiters, &guard);
        } else if (guard.m_held) {
            if (entry->waiters.empty()) {
                entry->held = false;
            } else {
                Guard *next = entry->waiters.front();
                entry->waiters.pop_front();
                next->m_held = true;
                resume = next->m_handle;
                context = next->m_context;
                alive = next->m_alive;
            }
        }
        if (--entry->users == 0) {
            m_entries.remove(guard.m_key);
            delete entry;
        }
    }
    if (resume && context) {
        QMetaObject::invokeMethod(
            context.data(),
            [resume, alive] {
                if (!alive.expired())
                    resume.resume();
            },
            Qt::QueuedConnection);
    }
}
