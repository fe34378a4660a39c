// SPDX-License-Identifier: MIT
// An exclusive claim on a logical device that holds across processes: an
// flock on a file in the runtime folder. The kernel drops it when the holder
// dies, however it dies, so a killed window never blocks the next one. A
// symbolic link at the path is refused, never followed. The lock file alone
// cannot guard a claim whose file was removed after it was taken; the
// virtual reader also refuses a claim while a holder answers on its socket.
#pragma once

#include <QString>

#include <cstdint>
#include <memory>

namespace msr {

class ClaimLock {
public:
    explicit ClaimLock(QString path);
    ~ClaimLock();
    ClaimLock(const ClaimLock &) = delete;
    ClaimLock &operator=(const ClaimLock &) = delete;

    // timeout in milliseconds: 0 tries once, negative waits forever.
    // Returns an OPOS result code: 0, OPOS_E_TIMEOUT or OPOS_E_FAILURE.
    std::int32_t acquire(std::int32_t timeout);
    void release();
    QString lastError() const { return m_error; }

private:
    QString m_path;
    QString m_error;
    int m_fd = -1;
};

// A claim on the device behind an open node, so that two names for one
// reader (its /dev node and a by-id link, a hidraw node by path and by USB
// ids, two list entries) cannot both be claimed, in one process or two.
// Keyed on what the node is, never on a path made canonical: paths resolve
// differently under an emulator or in a container, the device does not.
// Two locks, because each covers what the other cannot:
// - a lock file in the runtime folder named by the device number,
//   swipewatch-device-MAJOR:MINOR.lock: it holds however many nodes or links
//   name the device (a second node made with mknod, a container's own /dev),
//   but the runtime folder is the user's own;
// - an flock on the node itself: every user who can open the node meets
//   it, and so does any other program that flocks its port, but it is tied
//   to the one inode.
// The claim lives as long as the node is open. When the reader goes away it
// goes too: the device may come back under another number, and there is no
// device to hold meanwhile. It is taken again when the node reopens; whoever
// took the device in between keeps it.
class DeviceClaim {
public:
    DeviceClaim();
    ~DeviceClaim();
    DeviceClaim(const DeviceClaim &) = delete;
    DeviceClaim &operator=(const DeviceClaim &) = delete;

    // Claims the device fd is open on (fd stays the caller's). 0; EBUSY with
    // *why when another holder has it; or another errno value with *why.
    int take(int fd, QString *why);
    void release();
    bool isHeld() const { return m_fd >= 0; }

private:
    std::unique_ptr<ClaimLock> m_file;
    int m_fd = -1; // our own descriptor of the node, which carries the flock
};

} // namespace msr
