#pragma once

#include <QString>

#include <memory>

struct RunRecord;
class LineDatabase;
class LineRecords;

// Where a front end's records go: the JSON Lines log and the line's database, each when given.
// Every command and the station record through one of these, so a record is written the same
// way wherever it comes from.
class RunRecorder
{
public:
    RunRecorder();
    ~RunRecorder();

    void setLogFile(const QString &path);
    // Opens the line's database (and sends what waits in the spool). False, with the reason
    // (the URL without its password), when it cannot be used: before any board is touched.
    bool setDatabase(const QString &url, QString *error);

    // Before anything is programmed: false, with the reason, when the log cannot be appended to.
    bool ready(QString *error) const;

    // Writes the record everywhere it goes. Empty when it was recorded, else what failed
    // ("cannot write the log FILE: No space left on device"). A record the database does not
    // take now waits in the spool and counts as recorded; `note` then says so.
    QString record(const RunRecord &record, QString *note = nullptr);

    // The line's database, for the serial allocator; null without one.
    LineDatabase *database();

private:
    QString logFile;
    std::unique_ptr<LineRecords> line;
};
