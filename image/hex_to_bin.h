#pragma once

#include <QString>
#include <QtGlobal>

// Result codes of HexToBin.
enum HexToBinResult : int {
    HexOk = 0,
    HexShortLine = -1,  // a line shorter than 11 characters (blank lines included)
    HexNoColon = -2,    // a line that does not begin with ':'
    HexBadCount = -3,   // byte count not hexadecimal
    HexBadAddress = -4, // record address not hexadecimal
    HexBadType = -5,    // record type not hexadecimal
    HexBadData = -6,    // a data byte not hexadecimal, or data past the line end
    HexBadRecord = -7,  // record type 02, 03 or above 05, or a bad extended address
    HexCannotOpen = -8, // the file cannot be opened
};

// Copies the data bytes of an Intel HEX file whose addresses fall into first..last (inclusive)
// to image[address - first]; every other byte of the image stays as the caller left it.
int HexToBin(const QString &fileName, unsigned char *image, quint32 first, quint32 last);

// HexToBin's load, with what its code cannot tell: how many data bytes landed in the window (a
// zero byte counts, and a byte given twice twice), why the file could not be opened, where it
// stopped, and what HexToBin lets pass: a record whose checksum does not hold, and a file that
// ends without its end-of-file record (cut off). Lines are counted as the file has them, from 1.
struct HexLoad {
    int result = HexOk;
    qint64 storedBytes = 0;
    QString openError;      // the system's text, with HexCannotOpen
    int line = 0;           // the line of a failing result
    int recordBytes = -1;   // that line's byte count, where it could be read
    bool endOfFile = false; // the end-of-file record was read

    // The first record whose checksum does not hold, or that has none (line 0: none such).
    int checksumLine = 0;
    bool checksumGiven = false; // false: the line ends before its checksum
    quint8 statedChecksum = 0;  // the record's checksum field
    quint8 recordSum = 0;       // the checksum its bytes call for
};
HexLoad loadHexFile(const QString &fileName, unsigned char *image, quint32 first, quint32 last);
