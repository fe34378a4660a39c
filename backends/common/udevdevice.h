// SPDX-License-Identifier: MIT
// libudev, wrapped for the backends and msrprobe: devices found by subsystem
// or by the node a device list names, their properties and sysfs attributes,
// and a monitor that says when a device is added or removed. Qt Core only.
//
// A configured path (the node or any link to it) is mapped to its device by
// its device number, never by canonicalising the path: a by-id link, the
// node itself and a link of the user's own all lead to the same device.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

struct udev_device;
struct udev_monitor;
class QSocketNotifier;

namespace msr::udev {

// One device, reference-counted as libudev counts it; null when not found.
class Device {
public:
    Device() = default;
    explicit Device(udev_device *adopted) : m_device(adopted) {}
    Device(const Device &other);
    Device &operator=(Device other);
    ~Device();

    bool isNull() const { return !m_device; }
    QString syspath() const;
    QString sysname() const;   // hidraw3, event9, ttyACM0
    QString subsystem() const; // hidraw, input, tty, usb, hid
    QString devnode() const;   // /dev/hidraw3, empty for devices without a node
    QString action() const;    // add, remove, ...: for a device a monitor hands on
    QString property(const char *key) const;
    QByteArray sysattr(const char *name) const; // raw, e.g. a report descriptor
    QString sysattrText(const char *name) const
    {
        return QString::fromUtf8(sysattr(name)).trimmed();
    }
    QStringList devlinks() const; // /dev/input/by-id/... links udev made for the node
    // The nearest ancestor in subsystem (and devtype if given).
    Device parent(const char *subsystem, const char *devtype = nullptr) const;

private:
    udev_device *m_device = nullptr;
};

// Every device of subsystem, with property key equal to value if key is given,
// in the order sysfs lists them.
QList<Device> enumerate(const char *subsystem, const char *key = nullptr,
                        const char *value = nullptr);

// The character device the node at path (or a link to it) is; null with
// *error (an errno value, ENODEV when it is not a character device or udev
// does not know it).
Device deviceForNode(const QString &path, int *error = nullptr);

// Says when a device of the given subsystems is added or removed, once udev
// has handled it (its links made). Not valid where no udev daemon runs (a
// container, say): the caller then falls back to looking itself.
class Monitor : public QObject {
    Q_OBJECT
public:
    explicit Monitor(const QStringList &subsystems, QObject *parent = nullptr);
    ~Monitor() override;
    bool isValid() const { return m_monitor != nullptr; }

signals:
    void added(const msr::udev::Device &device);
    void removed(const msr::udev::Device &device);

private:
    void receive();

    udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace msr::udev
