#include "core/OutputBudget.h"

#include <QMetaObject>

qint64 OutputBudget::total() const
{
    std::lock_guard lock(m_mutex);
    return m_total;
}

void OutputBudget::enter(QObject *holder, std::function<void()> overBudget)
{
    std::lock_guard lock(m_mutex);
    m_holders.insert(holder, Entry{0, false, std::move(overBudget)});
}

void OutputBudget::leave(QObject *holder)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_holders.find(holder);
    if (it == m_holders.end())
        return;
    m_total -= it->bytes;
    m_holders.erase(it);
}

void OutputBudget::update(QObject *holder, qint64 bytes)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_holders.find(holder);
    if (it == m_holders.end())
        return;
    m_total += bytes - it->bytes;
    it->bytes = bytes;
    if (m_total <= m_limit)
        return;
    // Holders already told to go still hold their bytes until they are gone; the others must
    // fit on their own, largest first out.
    qint64 kept = 0;
    QList<std::pair<qint64, QObject *>> candidates;
    for (auto e = m_holders.begin(); e != m_holders.end(); ++e) {
        if (e->condemned)
            continue;
        kept += e->bytes;
        if (e->bytes > 0)
            candidates.append({e->bytes, e.key()});
    }
    std::sort(candidates.begin(), candidates.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &[held, victim] : candidates) {
        if (kept <= m_limit)
            break;
        Entry &e = m_holders[victim];
        e.condemned = true;
        kept -= held;
        QMetaObject::invokeMethod(victim, e.overBudget, Qt::QueuedConnection);
    }
}
