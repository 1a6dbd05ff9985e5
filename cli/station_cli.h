#pragma once

#include "production/station.h"

class RunRecorder;

// upgrade --all and --watch: the core's station, shown on a terminal or in a line's log files.
// Rows, notes and totals come from what the station reports; the exit code from its verdict.
int runStation(Station::Mode mode, const StationSettings &settings, RunRecorder &recorder);
