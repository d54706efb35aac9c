#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Structured log lines on standard error: "ts=… level=… event=… key=value …".
// Never pass passwords, tokens or codes here.
namespace Log {

enum class Level { Debug, Info, Warn, Error };

using Fields = QList<QPair<const char *, QString>>;

void setLevel(Level level);
bool enabled(Level level);
void write(Level level, const char *event, const Fields &fields = {});

inline void info(const char *event, const Fields &fields = {}) { write(Level::Info, event, fields); }
inline void warn(const char *event, const Fields &fields = {}) { write(Level::Warn, event, fields); }
inline void error(const char *event, const Fields &fields = {}) { write(Level::Error, event, fields); }

} // namespace Log
