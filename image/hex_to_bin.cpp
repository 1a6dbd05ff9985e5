#include "image/hex_to_bin.h"
