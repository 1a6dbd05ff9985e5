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
// zero byte counts, and a byte given twice twice), and why the file could not be opened.
struct HexLoad {
    int result = HexOk;
    qint64 storedBytes = 0;
    QString openError; // the system's text, with HexCannotOpen
};
HexLoad loadHexFile(const QString &fileName, unsigned char *image, quint32 first, quint32 last);
