// SPDX-License-Identifier: MIT
// An emulated sysfs and /dev (umockdev) for tests run under umockdev-wrapper:
// the programs under test find the devices through libudev and open, read and
// ioctl their nodes through the real calls. The devices are described in
// tests/testbed/*.umockdev as udev shows them: keyboard.umockdev a
// keyboard-type reader's evdev node (event9), serial.umockdev a USB serial
// port (ttyACM0), hidreader.umockdev a HID reader with the vendor report
// layout (hidraw0) and its keyboard interface (hidraw1). Each node is a pty;
// the test writes what the device sends to its other end, devFd().
#pragma once

// glib names a member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <umockdev.h>
#pragma pop_macro("signals")

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <fcntl.h>
#include <stdlib.h>

class Testbed {
public:
    // Held for the process: the test closes the node ends it unplugs itself.
    static UMockdevTestbed *bed()
    {
        static UMockdevTestbed *const shared = umockdev_testbed_new();
        return shared;
    }
    // One of tests/testbed/, with its node names and numbers changed by rename
    // pairs (e.g. hidraw0 -> hidraw2: the same reader at another node).
    static bool load(const char *name, const QList<QPair<QByteArray, QByteArray>> &rename = {})
    {
        QFile file(QStringLiteral(TESTBED_DIR "/") + QLatin1String(name));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QByteArray text = file.readAll();
        for (const auto &[from, to] : rename)
            text.replace(from, to);
        return add(text);
    }
    // Devices described as in tests/testbed/ (their parents there already).
    static bool add(const QByteArray &text)
    {
        GError *error = nullptr;
        const bool ok = umockdev_testbed_add_from_string(bed(), text.constData(), &error);
        if (error)
            qWarning("test bed: %s", error->message), g_error_free(error);
        return ok;
    }
    // A link udev would make, e.g. /dev/input/by-id/... to ../event9; made again if there.
    static bool link(const QString &path, const QString &target)
    {
        gchar *root = umockdev_testbed_get_root_dir(bed());
        const QString at = QString::fromLocal8Bit(root) + path;
        g_free(root);
        QFile::remove(at);
        return QDir().mkpath(QFileInfo(at).path()) && QFile::link(target, at);
    }
    static int devFd(const char *node) { return umockdev_testbed_get_dev_fd(bed(), node); }
    static void uevent(const char *syspath, const char *action)
    {
        umockdev_testbed_uevent(bed(), syspath, action);
    }
    // Unplugged (its node's far end closed by the test) and plugged in again
    // as node beside it, at /dev/devname with number dev. Returns the new
    // syspath, empty on failure; its "add" uevent is the test's to send.
    static QByteArray replug(const QByteArray &syspath, const QByteArray &node,
                             const QByteArray &devname, const QByteArray &subsystem,
                             const QByteArray &dev)
    {
        static QList<int> held; // the freed pty number: the bed cannot map it again
        held << ::posix_openpt(O_RDWR | O_NOCTTY);
        uevent(syspath, "remove");
        umockdev_testbed_remove_device(bed(), syspath);
        const QByteArray path = syspath.left(syspath.lastIndexOf('/') + 1) + node;
        const bool added =
            add("P: " + path.mid(4) + "\nN: " + devname + "\nE: SUBSYSTEM=" + subsystem +
                "\nE: DEVNAME=/dev/" + devname + "\nA: dev=" + dev);
        return added ? path : QByteArray();
    }
};
