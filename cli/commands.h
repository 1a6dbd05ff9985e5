#pragma once

#include <QStringList>

// Each command takes its own arguments (without the tool's name and the command word) and
// returns the exit code; a failure ends the process through failUsage or failOperation.
int runUpgradeCommand(const QStringList &arguments);
int runVerifyCommand(const QStringList &arguments);
int runCreateUpgCommand(const QStringList &arguments);
int runBootImagesCommand(const QStringList &arguments);
int runInfoCommand(const QStringList &arguments);
int runListCommand(const QStringList &arguments);
int runReadCommand(const QStringList &arguments);
int runExtWriteCommand(const QStringList &arguments);
int runExtReadCommand(const QStringList &arguments);
int runExtFillCommand(const QStringList &arguments);
int runRunAppCommand(const QStringList &arguments);
int runBootloaderCommand(const QStringList &arguments);
int runReportCommand(const QStringList &arguments);
int runHistoryCommand(const QStringList &arguments);
int runDbCommand(const QStringList &arguments);
int runServeCommand(const QStringList &arguments);
