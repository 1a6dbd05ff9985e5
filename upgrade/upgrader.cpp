#include "upgrade/upgrader.h"
