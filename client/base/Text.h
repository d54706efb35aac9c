#pragma once

#include <QString>

namespace Text {

// Spaces and tabs removed from both ends (search fields and input boxes); other white space stays.
inline QString trimBlanks(const QString &s)
{
    qsizetype begin = 0, end = s.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(s[begin]))
        ++begin;
    while (end > begin && blank(s[end - 1]))
        --end;
    return s.mid(begin, end - begin);
}

} // namespace Text
