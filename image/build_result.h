#pragma once

#include <QString>

// What became of building an upgrade file or a boot image, for the window to report and the
// command line to print.
struct BuildResult {
    enum Status {
        Ok,
        HexError,          // HexToBin failed with hexError
        InvalidBrand,      // the firmware's brand word is not 0
        CannotWrite,       // fileName could not be created or completely written
        NoApplicationData, // no data record reaches the application area
    };
    Status status = Ok;
    int hexError = 0;
    QString fileName;
    QString cause; // the system's reason for HexCannotOpen and CannotWrite; the window shows none

    bool ok() const { return status == Ok; }
    // The window's log line or box text for a failure.
    QString text() const;

    static BuildResult failedHex(int code, const QString &cause = QString());
    static BuildResult invalidBrand();
    static BuildResult cannotWrite(const QString &fileName, const QString &cause);
    static BuildResult noApplicationData();
};
