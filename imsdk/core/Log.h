#pragma once

#include <QFile>
#include <QString>

#include <mutex>

namespace ImSdk {

// One SDK instance's log: lines appended to imsdk.log in the configured directory, rotated to
// imsdk.log.1 once it passes kMaxBytes so that it never grows without bound.
class Log {
public:
    enum Level { Error = 1, Warning = 2, Info = 3, Debug = 4 };
    static constexpr qint64 kMaxBytes = 2 * 1024 * 1024;

    void configure(const QString &dir, int level, bool toStandardOutput);
    void write(Level level, const QString &line);

private:
    std::mutex m_mutex;
    QFile m_file;
    QString m_path;
    int m_level = Info;
    bool m_stdout = false;
};

} // namespace ImSdk
