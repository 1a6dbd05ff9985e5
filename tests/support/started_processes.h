#pragma once

// Signals for processes a test started itself, and for their descendants only: never by name,
// never to a process group that was not checked to be the one the test made.

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

// The parent of `pid` from /proc, or -1 when it has ended.
inline pid_t parentOf(pid_t pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // "pid (name) state ppid ...": the name may hold spaces and parentheses.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 1 ? pid_t(fields[1].toInt()) : -1;
}

inline bool descendsFrom(pid_t pid, pid_t ancestor)
{
    for (int depth = 0; pid > 1 && depth < 64; ++depth) {
        pid = parentOf(pid);
        if (pid == ancestor)
            return true;
    }
    return false;
}

// The living children of `parent`.
inline QList<pid_t> childrenOf(pid_t parent)
{
    QList<pid_t> children;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs))
        if (entry.toInt() > 0 && parentOf(pid_t(entry.toInt())) == parent)
            children.append(pid_t(entry.toInt()));
    return children;
}

// The living descendants of `ancestor` whose command line holds `words` (arguments joined by
// single spaces).
inline QList<pid_t> descendantsRunning(pid_t ancestor, const QString &words)
{
    QList<pid_t> found;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number || pid <= 0 || !descendsFrom(pid, ancestor))
            continue;
        QFile cmdline(QString("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) &&
            QString::fromLocal8Bit(cmdline.readAll().replace('\0', ' ')).contains(words))
            found.append(pid);
    }
    return found;
}

// Signals `pid` only when it is a living process (> 0); true when the signal was sent.
inline bool signalStarted(pid_t pid, int signal)
{
    return pid > 0 && parentOf(pid) > 0 && ::kill(pid, signal) == 0;
}

// Signals the process group that `leader` made with setsid, after checking that it is alive and
// still leads that group: an ended leader would turn the call into a signal to our own group.
inline bool signalStartedGroup(pid_t leader, int signal)
{
    return leader > 0 && parentOf(leader) > 0 && ::getpgid(leader) == leader &&
           ::kill(-leader, signal) == 0;
}
