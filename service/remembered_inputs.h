#pragma once

#include <QtGlobal>

// What the service commands offer in their dialogs next time, for the life of the process.
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

// Defined beside the slots that use them (memory_slots.cpp, external_flash_slots.cpp): the
// window's own state, which the command line never sees.
extern MemoryCommandInputs memoryCommandInputs;
extern ExternalFlashInputs externalFlashInputs;
