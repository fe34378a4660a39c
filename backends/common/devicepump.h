// The thin I/O part of a reader that is a device node (evdev, hidraw): opens
// the node, reads it whenever it is readable and hands each read() to its
// owner. Everything that interprets the bytes lives in the owner's pure
// decoder; the few ioctls live behind DeviceOps so tests run on a socketpair.
//
// At claim (open), each failure explained in a line on standard error:
//   a missing node, or not a character  -> 107 OPOS_E_NOHARDWARE
//   device
//   no permission                       -> 111 OPOS_E_FAILURE, naming the
//                                          node's group and how to join it
//   busy (the prepare hook, e.g. the    -> retried until the timeout, then
//   grab, answers EBUSY)                   112 OPOS_E_TIMEOUT
//   anything else                       -> 111
// While claimed, a read of 0 (end of file), ENODEV or EIO means the reader was
// unplugged: the pump says so once on standard error, emits wentAway(), keeps
// the claim and tries the same path again every kReappearPollMs. When it opens
// and prepares, it says so and emits cameBack().
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace msr {

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

class DevicePump : public QObject {
    Q_OBJECT
public:
    // 0 or an errno value; EBUSY is retried at claim.
    using Prepare = std::function<int(int fd)>;
    using Unprepare = std::function<void(int fd)>;

    // name is the logical device name for messages; group is who usually
    // owns such nodes ("input"), named when the node cannot be looked at.
    DevicePump(QString name, QString path, QString group, DeviceOpener opener = {},
               QObject *parent = nullptr);
    ~DevicePump() override;

    // Run on every open and reopen before reading (e.g. the grab), and before
    // closing at release (the ungrab).
    void setPrepare(Prepare prepare) { m_prepare = std::move(prepare); }
    void setUnprepare(Unprepare unprepare) { m_unprepare = std::move(unprepare); }
    // Bytes asked of each read(); a hidraw node gives one report per read.
    void setReadSize(int bytes) { m_readSize = bytes; }

    // timeout as for ClaimDevice. Returns an OPOS result code.
    std::int32_t open(std::int32_t timeout);
    void close();

    bool isOpen() const { return m_open; }        // claimed, present or not
    bool isPresent() const { return m_fd >= 0; }  // the node is open now
    QString lastError() const { return m_error; } // why open() failed

    static constexpr int kReappearPollMs = 500;

signals:
    void dataRead(const QByteArray &bytes); // one read()
    void wentAway();
    void cameBack();

private:
    int tryOpen(); // 0 or an errno value, with m_fd set on success
    void startReading();
    void readAvailable();
    void lose(const QString &why);
    void pollForReturn();
    void closeFd();

    QString m_name, m_path, m_group;
    DeviceOpener m_opener;
    Prepare m_prepare;
    Unprepare m_unprepare;
    int m_readSize = 4096;
    int m_fd = -1;
    bool m_open = false;
    QString m_error;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_poll = nullptr;
};

} // namespace msr
