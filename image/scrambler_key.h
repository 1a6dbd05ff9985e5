#pragma once

#include <QtGlobal>

// The 32 key words shared by the tool and the devices. Files and external-flash contents made
// with one table can only be read with the same table: never change these values.
constexpr int ScramblerKeyWords = 32;
extern const quint32 ScramblerKey[ScramblerKeyWords];
