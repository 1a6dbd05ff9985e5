#pragma once

#include <QtGlobal>

// What the service commands offer in their dialogs next time, for the life of the window.
// Nothing is saved across runs: each start begins from these defaults.

struct MemoryCommandInputs {
    quint32 lastReadAddress = 0x08000000;
    int lastReadLength = 256;
    int lastFillPattern = 0;
};

// Separate from the memory commands': external flash has its own address space from 0.
struct ExternalFlashInputs {
    quint32 readAddress = 0;
    qint32 readLength = 512;
    quint32 writeAddress = 0;
    qint32 writeLength = 1;
    quint32 fillValue = 1; // only the low 8 bits are written
};
