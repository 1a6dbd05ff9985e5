#include "image/scrambler_key.h"

const quint32 ScramblerKey[ScramblerKeyWords] = {};
