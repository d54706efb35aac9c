#include "accounts/HashQueue.h"

#include "base/HandOver.h"

#include <algorithm>

namespace {
constexpr qsizetype kRemembered = 4096;
}

HashQueue::HashQueue(QThreadPool &pool, int waitingPerKey)
    : m_pool(pool), m_waitingPerKey(std::max(1, waitingPerKey)), m_threads(std::max(1, pool.maxThreadCount()))
{
}

HashQueue::~HashQueue()
{
    std::unique_lock lock(m_mutex);
    // Jobs that never ran still end, so nobody waits for them forever.
    for (Key &k : m_keys) {
        for (auto &job : k.waiting)
            job(false);
        k.waiting.clear();
    }
    m_idle.wait(lock, [this] { return m_running == 0; });
}

bool HashQueue::submit(const QString &key, std::function<void(bool)> job)
{
    std::unique_lock lock(m_mutex);
    Key &k = m_keys[key];
    if (qsizetype(k.waiting.size()) >= m_waitingPerKey)
        return false;
    k.waiting.push_back(std::move(job));
    dispatch(lock);
    return true;
}

void HashQueue::dispatch(std::unique_lock<std::mutex> &)
{
    const int perKey = m_threads > 1 ? m_threads - 1 : 1;
    while (m_running < m_threads) {
        // The last free thread is kept for an address with a single job (someone signing in),
        // so addresses with more queued cannot occupy every thread between them.
        const bool lastThread = m_threads > 1 && m_running == m_threads - 1;
        auto next = m_keys.end();
        for (auto it = m_keys.begin(); it != m_keys.end(); ++it) {
            if (it->waiting.empty() || it->running >= perKey || (lastThread && (it->running > 0 || it->waiting.size() > 1)))
                continue;
            // Least recently served first; among equals, the one with fewer waiting.
            if (next == m_keys.end() || it->lastServed < next->lastServed
                || (it->lastServed == next->lastServed && it->waiting.size() < next->waiting.size()))
                next = it;
        }
        if (next == m_keys.end())
            return;
        std::function<void(bool)> job = std::move(next->waiting.front());
        next->waiting.pop_front();
        ++next->running;
        next->lastServed = ++m_served;
        ++m_running;
        const QString key = next.key();
        m_pool.start(HandOver::wrap([this, key, job = std::move(job)] {
            job(true);
            finished(key);
        }));
    }
}

void HashQueue::finished(const QString &key)
{
    std::unique_lock lock(m_mutex);
    --m_running;
    const auto it = m_keys.find(key);
    if (it != m_keys.end())
        --it->running;
    // Idle addresses are remembered (when they were served decides who goes first), up to a
    // bound; beyond it the idle ones are forgotten.
    if (m_keys.size() > kRemembered)
        m_keys.removeIf([](const auto &e) { return e.value().running == 0 && e.value().waiting.empty(); });
    dispatch(lock);
    if (m_running == 0)
        m_idle.notify_all();
}
