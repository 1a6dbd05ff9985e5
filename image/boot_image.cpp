#include "image/boot_image.h"
