#include "image/hex_dump.h"
