#pragma once

#include <QString>

struct HexLoad;

// What became of building an upgrade file or a boot image, for the window to report and the
// command line to print.
struct BuildResult {
    enum Status {
        Ok,
        HexError,          // HexToBin failed with hexError
        InvalidBrand,      // the firmware's brand word is not 0
        CannotWrite,       // fileName could not be created or completely written
        NoApplicationData, // no data record reaches the application area
        DamagedHex,        // HexToBin took it, but a record checksum fails or the end is missing
    };
    Status status = Ok;
    int hexError = 0;
    QString fileName;
    QString cause; // the system's reason for HexCannotOpen and CannotWrite; the window shows none
    // For HexError and DamagedHex: the line and what is wrong with it, in words ("line 2: 32 data
    // bytes, at most 25 per record ..."), for those who do not know HexToBin's codes.
    QString detail;

    bool ok() const { return status == Ok; }
    // The window's log line or box text for a failure.
    QString text() const;

    static BuildResult failedHex(int code, const QString &cause = QString());
    // A load that HexToBin failed, or one it passed that must not become firmware; Ok otherwise.
    static BuildResult checkedHexLoad(const HexLoad &load);
    static BuildResult invalidBrand();
    static BuildResult cannotWrite(const QString &fileName, const QString &cause);
    static BuildResult noApplicationData();
};
