#pragma once

// Collects the debug trace lines (qDebug) written while it lives, from any thread.

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

class TraceCapture
{
public:
    TraceCapture()
    {
        current() = this;
        previous = qInstallMessageHandler(&TraceCapture::handle);
    }
    ~TraceCapture()
    {
        qInstallMessageHandler(previous);
        current() = nullptr;
    }
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    QStringList lines() const
    {
        QMutexLocker locker(&mutex);
        return captured;
    }
    void clear()
    {
        QMutexLocker locker(&mutex);
        captured.clear();
    }
    bool contains(const QString &line) const { return lines().contains(line); }

private:
    static TraceCapture *&current()
    {
        static TraceCapture *instance = nullptr;
        return instance;
    }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        TraceCapture *self = current();
        if (self && type == QtDebugMsg) {
            QMutexLocker locker(&self->mutex);
            self->captured.append(message);
            return;
        }
        if (self && self->previous)
            self->previous(type, context, message);
    }

    mutable QMutex mutex;
    QStringList captured;
    QtMessageHandler previous = nullptr;
};
