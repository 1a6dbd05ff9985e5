#pragma once

#include <QString>

// The program that runs one board for the station: mv604-cli. MV604_CLI names it; else it is
// looked for next to this program (the two are installed side by side), then in the build
// tree's cli/ folder beside ours, then on PATH. Empty when there is none.
QString findWorkerProgram();
