#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

class LineDatabase;
class LineRecords;
class RunRecorder;

// --db URL: the line's database (sqlite:PATH or postgresql://...); MV604_DB is its default, so
// a station sets it once.
QCommandLineOption databaseOption();
// The option's URL, or a usage failure when neither --db nor MV604_DB gives one.
QString requireDatabaseUrl(const QCommandLineParser &parser, const QCommandLineOption &option);

// Open or fail the command (exit 1) with the reason, before any file or board is touched. The
// database alone is opened for reading (report, history); the records for writing.
void openDatabaseOrFail(LineDatabase &database, const QString &url);
void openLineRecordsOrFail(LineRecords &records, const QString &url);

// --log FILE and --db URL: where the records of a command go.
struct RecordingOptions {
    QCommandLineOption log;
    QCommandLineOption db;
};
RecordingOptions addRecordingOptions(QCommandLineParser &parser, const QString &logHelp);
// The recorder for the options given, or the command fails (exit 1) naming why, before any file
// or board is touched.
void prepareRecorder(const QCommandLineParser &parser, const RecordingOptions &options,
                     RunRecorder &recorder);
// Before a command's last words: lets the database take the records handed over (briefly,
// never waiting on a stuck server) and says once how many wait in the spool and how they leave.
void finishRecording(RunRecorder &recorder);
