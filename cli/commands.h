#pragma once

#include "device/board_identity.h"

#include <QStringList>

// Each command takes its own arguments (arguments[0] is "mv604-cli COMMAND", the command word
// itself is gone) and returns the exit code; a failure ends the process through failUsage or
// failOperation. The device commands are handed the board chosen before the command word.
int runUpgradeCommand(const QStringList &arguments, const BoardChoice &board);
int runVerifyCommand(const QStringList &arguments, const BoardChoice &board);
int runCreateUpgCommand(const QStringList &arguments);
int runBootImagesCommand(const QStringList &arguments);
int runInfoCommand(const QStringList &arguments, const BoardChoice &board);
int runListCommand(const QStringList &arguments, const BoardChoice &board);
int runReadCommand(const QStringList &arguments, const BoardChoice &board);
int runExtWriteCommand(const QStringList &arguments, const BoardChoice &board);
int runExtReadCommand(const QStringList &arguments, const BoardChoice &board);
int runExtFillCommand(const QStringList &arguments, const BoardChoice &board);
int runRunAppCommand(const QStringList &arguments, const BoardChoice &board);
int runBootloaderCommand(const QStringList &arguments, const BoardChoice &board);
int runReportCommand(const QStringList &arguments);
int runHistoryCommand(const QStringList &arguments);
int runDbCommand(const QStringList &arguments);
int runCheckSignatureCommand(const QStringList &arguments);
int runServeCommand(const QStringList &arguments);
