#include "upgrade/upgrade_file.h"
