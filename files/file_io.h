#pragma once

#include <QByteArray>
#include <QString>

// Writes all of `bytes` to fileName, or nothing: the bytes go to a file beside it (mode 0644 less
// the umask), which is renamed over fileName only after every byte is on disk. An upgrade file or
// boot image cut short must never reach a programming station under its final name. A device or
// a pipe is written as it is. `error` receives the reason, with the system's text for it.
bool writeFileAtomically(const QString &fileName, const QByteArray &bytes,
                         QString *error = nullptr);

// Appends all of `bytes` or nothing, on a descriptor opened with O_APPEND (the file is made, 0644
// less the umask, when missing) under an flock of the file: what processes that share a file
// append never interleaves. A write cut short (disk full, file size limit) is cut back to the
// old length; a file that does not end in a newline gets one first. `sync`: on disk
// (fdatasync) before it returns. Nothing to append only tries the file. `error` receives the
// system's reason.
bool appendToFile(const QString &fileName, const QByteArray &bytes, QString *error = nullptr,
                  bool sync = false);

// Reads the whole file; false when it cannot be opened or read to its end.
bool readWholeFile(const QString &fileName, QByteArray *bytes, QString *error = nullptr);
