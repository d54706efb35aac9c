#include "accounts/Throttle.h"

#include <algorithm>

qint64 Throttle::admit(const QString &key, qint64 now)
{
    std::lock_guard lock(m_mutex);
    // Forget quiet keys so the table cannot grow without bound.
    if (m_entries.size() > 100000)
        m_entries.removeIf([&](const auto &e) { return now - e.value().lastAttempt > m_policy.forgetMs && e.value().lockedUntil <= now; });
    Entry &e = m_entries[key];
    if (e.lockedUntil > now)
        return e.lockedUntil - now;
    if (now - e.lastAttempt > m_policy.forgetMs)
        e.failures = 0;
    e.lastAttempt = now;
    ++e.failures;
    if (e.failures >= m_policy.freeAttempts) {
        const int doublings = std::min(e.failures - m_policy.freeAttempts, 30);
        e.lockedUntil = now + std::min(m_policy.maxMs, m_policy.baseMs << doublings);
    }
    return 0;
}

void Throttle::succeeded(const QString &key, bool forgive)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return;
    if (forgive) {
        m_entries.erase(it);
        return;
    }
    it->failures = std::max(0, it->failures - 1);
    if (it->failures < m_policy.freeAttempts)
        it->lockedUntil = 0;
}

QString Throttle::addressKey(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ip4 = address.toIPv4Address(&v4);
    if (v4)
        return QHostAddress(ip4).toString();
    Q_IPV6ADDR ip6 = address.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        ip6[i] = 0;
    return QHostAddress(ip6).toString() + QStringLiteral("/64");
}
