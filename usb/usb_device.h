#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

struct usb_dev_handle;
struct usb_device;

// The only way to the device: finds it by vendor and product id, proves its identity and brand,
// and carries vendor control transfers on endpoint 0. At most one handle is open; a transfer that
// finds it closed connects first, and a failed transfer closes it so the next one starts afresh.
// One class-wide lock serialises the GUI thread and the upgrade worker, one transfer at a time.
class UsbDevice : public QObject
{
    Q_OBJECT

public:
    // Why the last connect found no usable device. With several candidates on the bus the one
    // that got furthest through the sequence tells. libusb-0.1 lists only nodes it can read and
    // falls back to a read-only open, so missing write permission shows up as usb_open failing
    // with EACCES or, more often, as the first ioctl (set configuration) failing with EPERM.
    // A node nobody may read is not listed at all and reads as NoDevice.
    enum class ConnectFailure {
        None,                 // the last connect succeeded (or none was tried yet)
        NoDevice,             // nothing on the bus shows our vendor and product id
        NotChosen,            // devices with our ids are there, none is the board asked for
        OpenFailed,           // usb_open failed for another reason than permissions
        NoPermission,         // the node may not be written: EACCES or EPERM on open or configure
        ConfigurationRefused, // usb_set_configuration(1) failed otherwise
        ClaimRefused,         // usb_claim_interface(0) failed
        IdentityMismatch,     // request 0xFF failed, came back short or with another id
        BrandMismatch,        // request 0xFE failed, came back short or with another brand
    };

    UsbDevice();
    ~UsbDevice() override;

    int connect();
    void disconnect();
    int control_send(quint8 bRequest, quint16 wValue, quint16 wIndex, unsigned char *data,
                     int length);
    int control_receive(quint8 bRequest, quint16 wValue, quint16 wIndex, unsigned char *buffer,
                        int length);
    int bulk_write(unsigned char *buffer, int length);
    int bulk_read(unsigned char *buffer, int length);
    QByteArray serial_number();
    int is_connected();
    void set_vid_pid(quint16 vid, quint16 pid);
    void set_device_id(quint16 id);
    void set_brand_id(quint16 id);

    // Which board a connect may take; by default the first device that proves itself. A device
    // on another port is passed over unopened; one whose serial is not accepted is closed again
    // before it is configured or claimed, so a board that another process is programming is
    // never disturbed.
    struct BoardFilter {
        QString port; // the USB port path; empty: any port
        std::function<bool(const QByteArray &serial)> acceptsSerial; // the descriptor's text
    };
    void setBoardFilter(const BoardFilter &filter);
    // The USB port of the open device; empty when none is open or the host cannot tell.
    QString connectedPort() const;

    // Lock-free, so a diagnosis can ask while the other thread is connecting.
    ConnectFailure lastConnectFailure() const;

    // Runs `walk` under the class-wide lock. libusb-0.1 keeps one global bus list, which every
    // connect rescans and frees: a walk of its own must not run beside one.
    static void withBusLocked(const std::function<void()> &walk);

private:
    int control_receivePrivate(quint8 bRequest, quint16 wValue, quint16 wIndex,
                               unsigned char *buffer, int length);
    int connectPrivate();
    void disconnectPrivate();

    void closeWithoutRelease();
    void traceDevice(const void *firstDevice, const struct usb_device *dev) const;
    bool showsOurIds(const struct usb_device *dev) const;
    ConnectFailure tryCandidate(const QString &port, struct usb_device *dev);
    ConnectFailure openAndProve(struct usb_device *dev);
    ConnectFailure checkSerial();
    ConnectFailure proveIdentity();
    ConnectFailure proveBrand();

    quint16 productId = 0;
    quint16 vendorId = 0;
    quint16 deviceId = 0;
    quint16 brandId = 0;
    BoardFilter filter;
    usb_dev_handle *handle = nullptr;
    QString handlePort;
    std::atomic<ConnectFailure> lastFailure{ConnectFailure::None};

    static QMutex usbMutex;
};
