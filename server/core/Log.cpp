#include "core/Log.h"

#include <QDateTime>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace Log {

namespace {
std::atomic<Level> g_level{Level::Info};
std::mutex g_mutex;

const char *name(Level level)
{
    switch (level) {
    case Level::Debug: return "debug";
    case Level::Info: return "info";
    case Level::Warn: return "warn";
    case Level::Error: return "error";
    }
    return "info";
}

// Values with spaces, quotes or control characters are quoted so a line stays one line.
QByteArray quoted(const QString &value)
{
    QByteArray v = value.toUtf8();
    bool plain = !v.isEmpty();
    for (char c : v)
        if (c == ' ' || c == '"' || c == '=' || static_cast<unsigned char>(c) < 0x20)
            plain = false;
    if (plain)
        return v;
    QByteArray out = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20)
            out += ' ';
        else
            out += c;
    }
    return out + '"';
}
} // namespace

void setLevel(Level level) { g_level = level; }

bool enabled(Level level) { return level >= g_level.load(std::memory_order_relaxed); }

void write(Level level, const char *event, const Fields &fields)
{
    if (!enabled(level))
        return;
    QByteArray line = "ts=" + QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1() + " level=" + name(level)
        + " event=" + event;
    for (const auto &[key, value] : fields)
        line += QByteArray(" ") + key + '=' + quoted(value);
    line += '\n';
    std::lock_guard lock(g_mutex);
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace Log
