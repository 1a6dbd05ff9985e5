#pragma once

// Headless Chromium driven over its DevTools pipe (--remote-debugging-pipe: commands in on
// descriptor 3, answers out on 4, each JSON message ended by a NUL), so that a test reads the
// page as the browser rendered it, at the moment it chooses, without reloading it.

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

class Browser
{
public:
    ~Browser()
    {
        process.terminate(); // our own child, by its PID; nothing when it is not running
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
        for (int fd : {commands, answers})
            if (fd >= 0)
                ::close(fd);
    }

    // Opens `url` in a fresh profile under `profile`; false when the browser did not come up.
    bool open(const QString &url, const QString &profile)
    {
        int in[2], out[2]; // this side's ends are not inherited by the next child
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return false;
        process.setChildProcessModifier([in, out] {
            // Out of the way of 3 and 4 first, whatever numbers the pipes got.
            const int read = ::fcntl(in[0], F_DUPFD, 10), write = ::fcntl(out[1], F_DUPFD, 10);
            ::dup2(read, 3);
            ::dup2(write, 4);
        });
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice()); // its D-Bus and GPU complaints
        process.start("chromium",
                      {"--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
                       "--no-first-run", "--user-data-dir=" + profile, url});
        ::close(in[0]);
        ::close(out[1]);
        commands = in[1];
        answers = out[0];
        if (!process.waitForStarted(10000))
            return false;
        for (const QJsonValue &target : call("Target.getTargets")["targetInfos"].toArray())
            if (target["type"] == "page")
                session = call("Target.attachToTarget",
                               {{"targetId", target["targetId"]}, {"flatten", true}})["sessionId"]
                              .toString();
        return !session.isEmpty();
    }

    // The value of a JavaScript expression in the page (promises awaited).
    QJsonValue evaluate(const QString &expression)
    {
        return call("Runtime.evaluate",
                    {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}},
                    session)["result"]
            .toObject()["value"];
    }

    // Evaluates `expression` until it is true, for `timeoutMs` at most.
    bool waitFor(const QString &expression, int timeoutMs)
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < timeoutMs) {
            if (evaluate(expression).toBool())
                return true;
            ::usleep(100 * 1000);
        }
        return false;
    }

private:
    QJsonObject call(const QString &method, const QJsonObject &params = {},
                     const QString &sessionId = {})
    {
        const int id = ++lastId;
        QJsonObject message{{"id", id}, {"method", method}, {"params", params}};
        if (!sessionId.isEmpty())
            message["sessionId"] = sessionId;
        const QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact) + '\0';
        if (::write(commands, bytes.constData(), size_t(bytes.size())) != bytes.size())
            return {};
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 15000) {
            const int end = buffer.indexOf('\0');
            if (end >= 0) {
                const QJsonObject answer = QJsonDocument::fromJson(buffer.left(end)).object();
                buffer.remove(0, end + 1);
                if (answer["id"].toInt() == id)
                    return answer["result"].toObject();
                continue; // an event, or the answer to another call
            }
            pollfd ready{answers, POLLIN, 0};
            if (::poll(&ready, 1, 500) > 0) {
                char chunk[65536];
                const ssize_t got = ::read(answers, chunk, sizeof chunk);
                if (got <= 0)
                    return {};
                buffer.append(chunk, int(got));
            }
        }
        return {};
    }

    QProcess process;
    int commands = -1;
    int answers = -1;
    int lastId = 0;
    QString session;
    QByteArray buffer;
};
