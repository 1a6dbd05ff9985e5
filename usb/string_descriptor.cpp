#include "usb/string_descriptor.h"
