#pragma once

// What the service command tests stand on and look at: a window over one simulated device, the
// window's log, the dumps in it, and the vendor requests that reached the device.

#include "app/kr960_bootloader.h"
#include "device/usbkr960.h"
#include "service/remembered_inputs.h"
#include "sim/simulated_bus.h"
#include "sim/simulated_kr960.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QScopedPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextEdit>

#include <memory>
#include <vector>

// A window over one simulated KR960, working in a scratch folder that is the current one, so the
// files the commands write land there.
class ServiceWorkbench
{
protected:
    // For initTestCase; false without umockdev's preload or a usable scratch folder.
    bool plugInDevice()
    {
        if (!kr960sim::SimulatedBus::preloadActive() || !workDir.isValid() ||
            !QDir::setCurrent(workDir.path()))
            return false;
        device = bus.addDevice();
        return true;
    }

    // For init: the commands remember nothing yet and the device has seen no request.
    void openFreshWindow()
    {
        memoryCommandInputs = MemoryCommandInputs{};
        externalFlashInputs = ExternalFlashInputs{};
        device->clearRequests();
        window.reset(new KR960_Bootloader);
    }

    QTemporaryDir workDir;
    kr960sim::SimulatedBus bus;
    std::shared_ptr<kr960sim::SimulatedKr960> device;
    QScopedPointer<KR960_Bootloader> window;
};

inline QString logText(const KR960_Bootloader &window)
{
    return window.findChild<QTextEdit *>("txt")->toPlainText();
}

inline void setLogText(KR960_Bootloader &window, const QString &text)
{
    window.findChild<QTextEdit *>("txt")->setPlainText(text);
}

struct DumpLine {
    uint offset = 0;
    QByteArray bytes;
};

// The data lines of a dump ("0xOOOO: hh hh ... < chars >"); the header and other lines are skipped.
inline QList<DumpLine> dumpLines(const QString &text)
{
    QList<DumpLine> lines;
    for (const QString &line : text.split('\n')) {
        const int colon = line.indexOf(':');
        if (!line.startsWith("0x") || colon < 0 || line.mid(colon + 1 + 48, 3) != " < ")
            continue;
        bool ok = false;
        DumpLine dump;
        dump.offset = line.mid(2, colon - 2).toUInt(&ok, 16);
        if (!ok)
            continue;
        dump.bytes = QByteArray::fromHex(line.mid(colon + 1, 48).simplified().toLatin1());
        lines.append(dump);
    }
    return lines;
}

inline QByteArray dumpBytes(const QString &text)
{
    QByteArray bytes;
    for (const DumpLine &line : dumpLines(text))
        bytes += line.bytes;
    return bytes;
}

inline int fullDumpLines(const QString &text)
{
    int count = 0;
    for (const DumpLine &line : dumpLines(text))
        count += line.bytes.size() == 16 ? 1 : 0;
    return count;
}

// A window command that asks for an address and a length, and the vendor request it sends.
struct AddressedCommand {
    void (KR960_Bootloader::*slot)(bool);
    int request;

    void runOn(KR960_Bootloader &window) const { (window.*slot)(false); }
};

inline AddressedCommand externalFlashCommand(bool write)
{
    if (write)
        return {&KR960_Bootloader::slotpushButtonWriteExternalFlash,
                Kr960Request::WriteExternalFlash};
    return {&KR960_Bootloader::slotpushButtonReadExternalFlash, Kr960Request::ReadExternalFlash};
}

// Vendor requests with this bRequest, in the order they reached the device.
inline std::vector<kr960sim::RequestRecord> vendorRequests(const kr960sim::SimulatedKr960 &device,
                                                           int request)
{
    std::vector<kr960sim::RequestRecord> matching;
    for (const kr960sim::RequestRecord &record : device.requests())
        if ((record.requestType & 0x60) == 0x40 && record.request == request)
            matching.push_back(record);
    return matching;
}

inline QByteArray toBytes(const std::vector<uint8_t> &data)
{
    return QByteArray(reinterpret_cast<const char *>(data.data()), int(data.size()));
}

inline std::vector<uint8_t> toVector(const QByteArray &bytes)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Bytes that never repeat within 251, so a shifted or swapped chunk shows.
inline QByteArray distinctBytes(int count, int seed = 0)
{
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i)
        bytes[i] = char((i + seed) % 251);
    return bytes;
}
