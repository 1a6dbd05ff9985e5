#include "upgrade/upgrade_builder.h"
