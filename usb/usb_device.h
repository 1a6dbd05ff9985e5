#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>

struct usb_dev_handle;

// The only way to the device: finds it by vendor and product id, proves its identity and brand,
// and carries vendor control transfers on endpoint 0. At most one handle is open; a transfer that
// finds it closed connects first, and a failed transfer closes it so the next one starts afresh.
// One class-wide lock serialises the GUI thread and the upgrade worker, one transfer at a time.
class UsbDevice : public QObject
{
    Q_OBJECT

public:
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

private:
    int control_receivePrivate(quint8 bRequest, quint16 wValue, quint16 wIndex,
                               unsigned char *buffer, int length);
    int connectPrivate();
    void disconnectPrivate();

    quint16 productId = 0;
    quint16 vendorId = 0;
    quint16 deviceId = 0;
    quint16 brandId = 0;
    usb_dev_handle *handle = nullptr;

    static QMutex usbMutex;
};
