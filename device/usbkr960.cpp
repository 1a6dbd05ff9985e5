#include "device/usbkr960.h"
