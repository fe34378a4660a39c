// SPDX-License-Identifier: MIT
#include "backends/common/udevdevice.h"

#include <QFile>
#include <QSocketNotifier>

#include <libudev.h>

#include <cerrno>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace msr::udev {

namespace {

// One context for the process: libudev's is cheap to share and never changes.
::udev *context()
{
    static ::udev *const shared = udev_new();
    return shared;
}

QString text(const char *value)
{
    return value ? QString::fromUtf8(value) : QString();
}

// A udev daemon is running when its control socket is there. A device
// emulator that stands in for it (its tests) names its test bed instead.
bool udevRunning()
{
    return ::access("/run/udev/control", F_OK) == 0 || qEnvironmentVariableIsSet("UMOCKDEV_DIR");
}

} // namespace

Device::Device(const Device &other)
    : m_device(other.m_device ? udev_device_ref(other.m_device) : nullptr)
{
}

Device &Device::operator=(Device other)
{
    std::swap(m_device, other.m_device);
    return *this;
}

Device::~Device()
{
    if (m_device)
        udev_device_unref(m_device);
}

QString Device::syspath() const
{
    return m_device ? text(udev_device_get_syspath(m_device)) : QString();
}

QString Device::sysname() const
{
    return m_device ? text(udev_device_get_sysname(m_device)) : QString();
}

QString Device::subsystem() const
{
    return m_device ? text(udev_device_get_subsystem(m_device)) : QString();
}

QString Device::devnode() const
{
    return m_device ? text(udev_device_get_devnode(m_device)) : QString();
}

QString Device::action() const
{
    return m_device ? text(udev_device_get_action(m_device)) : QString();
}

QString Device::property(const char *key) const
{
    return m_device ? text(udev_device_get_property_value(m_device, key)) : QString();
}

QByteArray Device::sysattr(const char *name) const
{
    // libudev hands binary attributes (a report descriptor) out whole but
    // NUL-terminated: read the file itself, so zero bytes survive.
    if (!m_device)
        return {};
    QFile file(syspath() + QLatin1Char('/') + QLatin1String(name));
    // sysfs attributes are small; a bigger file is not one.
    constexpr qint64 kMaxAttributeBytes = 64 * 1024;
    return file.open(QIODevice::ReadOnly) ? file.read(kMaxAttributeBytes) : QByteArray();
}

QStringList Device::devlinks() const
{
    return property("DEVLINKS").split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

Device Device::parent(const char *subsystem, const char *devtype) const
{
    if (!m_device)
        return {};
    // The parent belongs to the child: take a reference of our own.
    udev_device *p = udev_device_get_parent_with_subsystem_devtype(m_device, subsystem, devtype);
    return Device(p ? udev_device_ref(p) : nullptr);
}

QList<Device> enumerate(const char *subsystem, const char *key, const char *value)
{
    QList<Device> found;
    udev_enumerate *e = udev_enumerate_new(context());
    if (!e)
        return found;
    udev_enumerate_add_match_subsystem(e, subsystem);
    if (key)
        udev_enumerate_add_match_property(e, key, value);
    udev_enumerate_scan_devices(e);
    for (udev_list_entry *entry = udev_enumerate_get_list_entry(e); entry;
         entry = udev_list_entry_get_next(entry)) {
        Device device(udev_device_new_from_syspath(context(), udev_list_entry_get_name(entry)));
        if (!device.isNull())
            found << device;
    }
    udev_enumerate_unref(e);
    return found;
}

Device deviceForNode(const QString &path, int *error)
{
    struct stat st {};
    int why = 0;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        why = errno;
    else if (!S_ISCHR(st.st_mode))
        why = ENODEV;
    // The sysfs link of the device number, as udev_device_new_from_devnum()
    // reads it; that call resolves the link with openat() on directory
    // descriptors, which device emulators used in testing cannot follow.
    Device device(
        why ? nullptr
            : udev_device_new_from_syspath(
                  context(), QByteArray("/sys/dev/char/" + QByteArray::number(major(st.st_rdev)) +
                                        ':' + QByteArray::number(minor(st.st_rdev)))
                                 .constData()));
    if (!why && device.isNull())
        why = ENODEV;
    if (error)
        *error = why;
    return device;
}

Monitor::Monitor(const QStringList &subsystems, QObject *parent) : QObject(parent)
{
    if (!udevRunning())
        return;
    m_monitor = udev_monitor_new_from_netlink(context(), "udev");
    if (!m_monitor)
        return;
    for (const QString &subsystem : subsystems)
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, subsystem.toUtf8().constData(),
                                                        nullptr);
    if (udev_monitor_enable_receiving(m_monitor) < 0) {
        udev_monitor_unref(std::exchange(m_monitor, nullptr));
        return;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Monitor::receive);
}

Monitor::~Monitor()
{
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
}

void Monitor::receive()
{
    // The monitor's socket is non-blocking: take what is queued.
    for (int i = 0; i < 64; ++i) {
        const Device device(udev_monitor_receive_device(m_monitor));
        if (device.isNull())
            return;
        if (device.action() == QLatin1String("add"))
            emit added(device);
        else if (device.action() == QLatin1String("remove"))
            emit removed(device);
    }
}

} // namespace msr::udev
