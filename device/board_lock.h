#pragma once

#include <QString>

// Two processes talking to one board break each other's runs (a second command restarts the
// board mid-upgrade), so every device command holds an advisory lock on its board for as long as
// it runs. The lock is keyed by the board's USB port, which survives the board's restarts, and
// lives in the user's runtime directory ($XDG_RUNTIME_DIR, else a folder of the user's own under
// the temporary directory). It is flock(2)'s: the system drops it when its holder ends, however
// it ends. Taking it never waits: a board in use is refused at once.
class BoardLock
{
public:
    BoardLock() = default;
    BoardLock(BoardLock &&other) noexcept;
    BoardLock &operator=(BoardLock &&other) noexcept;
    BoardLock(const BoardLock &) = delete;
    BoardLock &operator=(const BoardLock &) = delete;
    ~BoardLock();

    // Locks the board on `port` for `command` ("mv604-cli upgrade"), which a refused process is
    // shown. On refusal `refusal` says who holds it: "the board on port 1-1.2 is in use by PID
    // 4711 (mv604-cli upgrade)"; when the lock file cannot be made, it says why.
    static BoardLock take(const QString &port, const QString &command, QString *refusal);

    bool held() const { return descriptor >= 0; }

private:
    explicit BoardLock(int descriptor) : descriptor(descriptor) {}
    int descriptor = -1;
};

// The folder the lock files live in.
QString boardLockDirectory();
