#include "core/Log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <cstdio>

namespace ImSdk {

void Log::configure(const QString &dir, int level, bool toStandardOutput)
{
    std::lock_guard lock(m_mutex);
    m_level = level;
    m_stdout = toStandardOutput;
    m_file.close();
    m_path.clear();
    if (dir.isEmpty() || !QDir().mkpath(dir))
        return;
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_path = QDir(dir).filePath(QStringLiteral("imsdk.log"));
    m_file.setFileName(m_path);
    m_file.open(QIODevice::Append | QIODevice::Text);
}

void Log::write(Level level, const QString &line)
{
    std::lock_guard lock(m_mutex);
    if (level > m_level)
        return;
    static const char *names[] = {"", "E", "W", "I", "D"};
    const QByteArray text = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + ' ' + names[level] + ' ' +
                            line.toUtf8() + '\n';
    if (m_stdout)
        std::fputs(text.constData(), stdout);
    if (!m_file.isOpen())
        return;
    if (m_file.size() + text.size() > kMaxBytes) {
        m_file.close();
        QFile::remove(m_path + QStringLiteral(".1"));
        QFile::rename(m_path, m_path + QStringLiteral(".1"));
        m_file.open(QIODevice::Append | QIODevice::Text);
    }
    m_file.write(text);
    m_file.flush();
}

} // namespace ImSdk
