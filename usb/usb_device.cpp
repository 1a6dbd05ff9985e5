#include "usb/usb_device.h"
