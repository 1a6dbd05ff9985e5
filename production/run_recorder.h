#pragma once

#include <QString>

struct RunRecord;

// Where a front end's records go: the JSON Lines log, when one is given. Every command and the
// station record through one of these, so a record is written the same way wherever it comes from.
class RunRecorder
{
public:
    void setLogFile(const QString &path);
    bool recording() const;

    // Before anything is programmed: false, with the reason, when a record could not be written.
    bool ready(QString *error) const;

    // Writes the record everywhere it goes. Empty when it was recorded, else what failed
    // ("cannot write the log FILE: No space left on device").
    QString record(const RunRecord &record) const;

private:
    QString logFile;
};
