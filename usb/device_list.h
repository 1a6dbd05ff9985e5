#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// One device on the bus with the ids asked for, as a production line needs to see it: where it
// is, who it is, and whether this user may talk to it.
struct AttachedDevice {
    int bus = 0;
    int deviceNumber = 0;
    QString port; // USB port path; empty when the host cannot tell
    bool opened = false;
    QByteArray serial; // the text of string descriptor 3, when it could be read
    QString openError; // why not, when `opened` is false
};

// Walks the buses afresh and gives the devices in bus and port order (device-number order where
// ports are unknown), which does not change when a board restarts. It opens each matching device
// only to read its serial number and closes it again; it never configures or claims it. With
// `onlyPort`, the devices on other ports are left out unopened. A device that leaves the bus
// while it is looked at (a restart, an unplug) is looked for again in a fresh walk, within a few
// hundred milliseconds; one that stays away is not listed.
QList<AttachedDevice> listAttachedDevices(quint16 vendorId, quint16 productId,
                                          const QString &onlyPort = QString());
