#pragma once

// Collects the debug trace lines (qDebug) written while it lives, from any thread.

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <atomic>

class TraceCapture
{
public:
    TraceCapture()
    {
        previous = qInstallMessageHandler(&TraceCapture::handle);
        current().store(this);
    }
    ~TraceCapture()
    {
        current().store(nullptr);
        qInstallMessageHandler(previous);
    }

    // An unshared copy: one sharing storage with `captured` could be released here while a
    // writer thread reallocates it.
    QStringList lines() const
    {
        QMutexLocker locker(&mutex);
        return QStringList(captured.cbegin(), captured.cend());
    }
    bool contains(const QString &line) const { return lines().contains(line); }

private:
    static std::atomic<TraceCapture *> &current()
    {
        static std::atomic<TraceCapture *> instance{nullptr};
        return instance;
    }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        TraceCapture *self = current().load();
        if (self && type == QtDebugMsg) {
            QMutexLocker locker(&self->mutex);
            self->captured.append(message);
        } else if (self && self->previous) {
            self->previous(type, context, message);
        }
    }

    mutable QMutex mutex;
    QStringList captured;
    QtMessageHandler previous = nullptr;
};
