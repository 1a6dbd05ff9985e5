#pragma once

#include "image/build_result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

using UpgradeBuildResult = BuildResult;

// Builds an upgrade file from an application firmware in Intel HEX form: load, check the brand,
// stamp the checksums, then scramble and write. The image stays plain between the steps.
class UpgradeBuilder
{
public:
    UpgradeBuilder();

    // Loads the application and upper windows of the HEX file into a fresh zero-filled image
    // and stamps its checksums. Stops at the first failure; a file without a data byte for the
    // application area is one.
    UpgradeBuildResult load(const QString &hexFileName);
    // Writes the scrambled image as an upgrade file. Nothing is left at fileName on failure.
    UpgradeBuildResult save(const QString &fileName) const;

    const QByteArray &plainImage() const { return image; }
    // What the last load did that the operator should know of, though it is no failure.
    const QStringList &loadWarnings() const { return warnings; }

private:
    void warnChecksumOverwrites(const QString &hexFileName);

    QByteArray image;
    QStringList warnings;
};

// load, then save: the whole build for callers without dialogs between the steps.
UpgradeBuildResult buildUpgradeFile(const QString &hexFileName, const QString &upgradeFileName);
