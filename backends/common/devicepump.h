// SPDX-License-Identifier: MIT
// The thin I/O part of a reader that is a device node (evdev, hidraw): finds
// and opens the node, reads it whenever it is readable and hands each read()
// to its owner. Everything that interprets the bytes lives in the owner's
// pure decoder; the few ioctls live behind DeviceOps so tests run on a
// socketpair.
//
// At claim (open), each failure explained in a line on standard error:
//   no such node (or the locate hook     -> 107 OPOS_E_NOHARDWARE
//   finds none), or not a character
//   device
//   no permission                        -> 111 OPOS_E_FAILURE, with the
//                                           owner's hint on gaining access
//   busy: the device is claimed through  -> retried until the timeout, then
//   any name (see DeviceClaim), or the      112 OPOS_E_TIMEOUT
//   prepare hook (e.g. the grab)
//   answers EBUSY
//   anything else, e.g. the prepare      -> 111
//   hook refuses the node
// While claimed, a read of 0 (end of file), ENODEV or EIO means the reader was
// unplugged: the pump says so once on standard error, emits wentAway() and
// keeps the claim. When udev announces a device of the node's subsystem, the
// pump locates, opens and prepares the node again, claiming the device anew;
// where no udev runs (a container), it looks every kFallbackPollMs instead,
// and says so once on standard error. When that works, it says so and emits
// cameBack(); when another holder took the device meanwhile, it says so once
// and looks again every kFallbackPollMs until it is let go.
// Paused (setPaused, while the control's queue is full) it reads nothing, so
// what the reader sends waits in the kernel's buffer of the node; an evdev
// node that overflows meanwhile reports SYN_DROPPED when reading resumes.
#pragma once

#include "reader/claimlock.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace msr {

namespace udev {
class Monitor;
}

// Where a service cannot hear udev, it looks for its unplugged reader this
// often; the first to fall back says so once for the process.
constexpr int kFallbackPollMs = 1000;

// How a claimed reader's return is noticed, for the pump and the serial
// reader alike: udev's announcements in its subsystem, or, where no udev runs,
// a poll every kFallbackPollMs while it is away (said once per process). Each
// time reopen() answers 0 once the reader is open again, EBUSY while another
// holder has it (said once, with why; udev announces no let-go, so it looks
// again every kFallbackPollMs), or any other errno value (EALREADY: present).
class ReturnWatch : public QObject {
    Q_OBJECT
public:
    using Reopen = std::function<int(QString *why)>;
    // An empty subsystem watches nothing (a stand-in node in a test).
    ReturnWatch(QString name, QString subsystem, Reopen reopen, QObject *parent);
    void start(); // claimed: listening from now, so a return before the loss is read counts
    void stop();  // released
    void away();  // the reader went

signals:
    void back();

private:
    void look();

    QString m_name, m_subsystem;
    Reopen m_reopen;
    bool m_active = false;
    bool m_saidTaken = false;           // that another holder has it, while waiting
    bool m_retryQueued = false;         // a look again while another holder has it
    udev::Monitor *m_monitor = nullptr; // while claimed, where udev runs
    QTimer *m_poll = nullptr;           // while away, where it does not
};

// The ioctls a backend needs. Each returns 0 or an errno value.
class DeviceOps {
public:
    virtual ~DeviceOps() = default;
    // Takes the device for this fd alone; EBUSY when another fd has it.
    virtual int grab(int fd) = 0;
    virtual int ungrab(int fd) = 0;
};

// EVIOCGRAB on an evdev node.
std::unique_ptr<DeviceOps> evdevDeviceOps();

// Opens a device node: a file descriptor, or -errno.
using DeviceOpener = std::function<int(const QString &path)>;

// open(O_RDONLY | O_NONBLOCK | O_CLOEXEC); anything but a character device is
// refused with -ENODEV.
int openDeviceNode(const QString &path);

// Claiming a node, for the pump and the serial reader alike.

// Calls attempt until it answers anything but EBUSY or the timeout (as for
// ClaimDevice: 0 tries once, negative waits forever) runs out. A failure is
// said on standard error as *why, which attempt sets. The result code.
std::int32_t claimNode(const QString &name, std::int32_t timeout,
                       const std::function<int()> &attempt, const QString *why);
// What a claim on path that failed with an errno value says: why (the
// system's text when empty), then what the user can do about it: accessHint
// for a permission error, a question for a missing node.
QString claimErrorText(const QString &path, int error, const QString &why,
                       const QString &accessHint);
// How to be let in to a node: join its group, when the group is not root's
// and its mode grants the group groupNeeds (S_IRGRP and the like); else the
// udev rule. fallback names the group when the node cannot be looked at.
QString groupAccessHint(const QString &path, const QString &fallback, unsigned groupNeeds = 0040);
// The udev rule that lets the logged-in user in to the reader at path.
QString udevRuleAdvice(const QString &path);

class DevicePump : public QObject {
    Q_OBJECT
public:
    // The node to open, found again on every open and reopen (a USB reader's
    // node can change between plug-ins); empty, with *why, when there is none.
    using Locate = std::function<QString(QString *why)>;
    // Run on every open and reopen before reading (e.g. the grab, or reading
    // what the node is): 0, or an errno value and perhaps *why. EBUSY is
    // retried at claim.
    using Prepare = std::function<int(int fd, const QString &path, QString *why)>;
    using Unprepare = std::function<void(int fd)>;
    using AccessHint = std::function<QString(const QString &path)>;

    // name is the logical device name for messages; path the node to open
    // unless a locate hook is set; subsystem the udev subsystem of the node
    // (input, hidraw), whose added devices are looked at while it is away.
    // The opener is for tests only: as root, no emulated node refuses an open
    // with EACCES, so a permission error cannot be had any other way.
    DevicePump(QString name, QString path, QString subsystem, DeviceOpener opener = {},
               QObject *parent = nullptr);
    ~DevicePump() override;

    void setLocate(Locate locate) { m_locate = std::move(locate); }
    void setPrepare(Prepare prepare) { m_prepare = std::move(prepare); }
    // Run before closing at release (e.g. the ungrab).
    void setUnprepare(Unprepare unprepare) { m_unprepare = std::move(unprepare); }
    // Said after a permission error: how the user gets access to the node.
    void setAccessHint(AccessHint hint) { m_accessHint = std::move(hint); }
    // Bytes asked of each read(); a hidraw node gives one report per read.
    void setReadSize(int bytes) { m_readSize = bytes; }
    // Stops reading (and starts again) without letting go of the node.
    void setPaused(bool paused);

    // timeout as for ClaimDevice. Returns an OPOS result code.
    std::int32_t open(std::int32_t timeout);
    void close();

    bool isOpen() const { return m_open; }            // claimed, present or not
    bool isPresent() const { return m_fd >= 0; }      // the node is open now
    QString currentPath() const { return m_current; } // the node opened last
    QString lastError() const { return m_error; }     // why open() failed

signals:
    void dataRead(const QByteArray &bytes); // one read()
    void wentAway();
    void cameBack();

private:
    int tryOpen(); // 0 or an errno value, with m_fd set on success, m_error on failure
    void startReading();
    void readAvailable();
    void lose(const QString &why);
    void comeBack();
    void closeFd();

    QString m_name, m_path, m_subsystem, m_current;
    DeviceOpener m_opener;
    Locate m_locate;
    Prepare m_prepare;
    Unprepare m_unprepare;
    AccessHint m_accessHint;
    int m_readSize = 4096;
    int m_fd = -1;
    DeviceClaim m_claim; // while m_fd is open
    bool m_open = false;
    bool m_paused = false;
    QString m_error;
    QSocketNotifier *m_notifier = nullptr;
    ReturnWatch *m_return;
};

} // namespace msr
