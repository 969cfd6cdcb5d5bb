#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <unistd.h>

// What the benchmarks read of a process (or a thread) from /proc. `process` is a pid, "self", or
// "self/task/<tid>"; every reader answers 0 or nothing when the file cannot be read.

// A field of /proc/<process>/status given in kilobytes ("VmRSS:", "VmHWM:").
inline qint64 statusKb(const QString& process, const QByteArray& field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

inline double statusMb(const QString& process, const QByteArray& field) {
    return double(statusKb(process, field)) / 1024.0;
}

// The fields of /proc/<process>/stat after the command name (which is in parentheses and may hold
// spaces): the state is the first, the parent's pid the second, user and system time the 12th and 13th.
inline QList<QByteArray> statFields(const QString& process) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(process));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ');
}

// The CPU seconds (user and system) a process or thread has used.
inline double cpuSeconds(const QString& process) {
    const QList<QByteArray> fields = statFields(process);
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}
