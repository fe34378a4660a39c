#include "backends/hid/hidservice.h"

#include "backends/hid/hidreport.h"
#include "reader/claimlock.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace hid {

namespace {

// The largest report hidraw hands out, and one byte for its ID.
constexpr std::size_t kReportBuffer = 16384 + 1;

std::optional<TrackLayout> layoutOf(const HidrawNode &node, QString *why)
{
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(node.descriptor.constData());
    const Descriptor descriptor = parseDescriptor(bytes, std::size_t(node.descriptor.size()));
    if (!descriptor.error.isEmpty()) {
        if (why)
            *why = descriptor.error;
        return std::nullopt;
    }
    return findTrackLayout(descriptor, why);
}

// The node with these USB ids whose reports carry track data; a reader may
// have several interfaces, each its own node. *why says why the others were
// passed over.
std::optional<HidrawNode> findByIds(const QString &root, const UsbIds &ids,
                                    std::optional<TrackLayout> *layout, QString *why)
{
    for (const HidrawNode &node : listHidrawNodes(root)) {
        if (node.usb != ids)
            continue;
        QString reason;
        *layout = layoutOf(node, &reason);
        if (*layout)
            return node;
        *why = QStringLiteral("%1: %2").arg(node.devicePath, reason);
    }
    return std::nullopt;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString udevRuleHint(const QString &devicePath)
{
    return QStringLiteral("hidraw nodes have no group; as root, run \"msrprobe --udev-rule %1 > "
                          "/etc/udev/rules.d/70-swipewatch-reader.rules\", then replug the reader")
        .arg(devicePath);
}

HidService::HidService(QString logicalName, QString devicePath, std::optional<UsbIds> match,
                       HidSeams seams)
    : m_name(std::move(logicalName)), m_devicePath(std::move(devicePath)), m_match(match),
      m_seams(std::move(seams))
{
    if (!m_seams.open)
        m_seams.open = [](const QByteArray &path, int flags) {
            return ::open(path.constData(), flags);
        };
    m_reopen = new QTimer(this);
    m_reopen->setInterval(m_seams.reopenInterval);
    connect(m_reopen, &QTimer::timeout, this, &HidService::tryReopen);
}

HidService::~HidService()
{
    release();
}

std::int32_t HidService::claim(std::int32_t timeout)
{
    if (m_lock)
        return opos::OPOS_SUCCESS;
    if (msr::runtimeDirectory(&m_error).isEmpty()) {
        say(m_error);
        return opos::OPOS_E_FAILURE;
    }
    auto lock = std::make_unique<msr::ClaimLock>(msr::claimLockPath(m_name));
    std::int32_t rc = lock->acquire(timeout);
    if (rc != opos::OPOS_SUCCESS) {
        m_error = lock->lastError();
        return rc;
    }
    rc = openNode();
    if (rc != opos::OPOS_SUCCESS) {
        say(m_error);
        return rc;
    }
    m_lock = std::move(lock);
    return opos::OPOS_SUCCESS;
}

void HidService::release()
{
    m_reopen->stop();
    closeNode();
    m_lock.reset();
}

std::int32_t HidService::openNode()
{
    std::optional<HidrawNode> node;
    std::optional<TrackLayout> layout;
    QString path = m_devicePath;
    if (m_match) {
        QString why;
        node = findByIds(m_seams.root, *m_match, &layout, &why);
        if (!node) {
            m_error = QStringLiteral("no hidraw node with USB ids %1 carries track data%2")
                          .arg(formatUsbIds(*m_match),
                               why.isEmpty() ? QStringLiteral(": is the reader plugged in?")
                                             : QStringLiteral(" (%1)").arg(why));
            return opos::OPOS_E_NOHARDWARE;
        }
        path = node->devicePath;
    }
    const int fd = m_seams.open(QFile::encodeName(path), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        m_error = QStringLiteral("cannot open %1: %2").arg(path, systemError(error));
        if (error == ENOENT || error == ENODEV || error == ENXIO) {
            m_error += QStringLiteral(": is the reader plugged in?");
            return opos::OPOS_E_NOHARDWARE;
        }
        if (error == EACCES || error == EPERM)
            m_error += QStringLiteral("; ") + udevRuleHint(path);
        return opos::OPOS_E_FAILURE;
    }
    if (!m_match) {
        node = hidrawNodeFor(m_seams.root, path);
        QString why = QStringLiteral("sysfs has no hidraw node for it");
        if (node)
            layout = layoutOf(*node, &why);
        if (!layout) {
            ::close(fd);
            m_error = QStringLiteral("%1 is not a stripe reader: %2").arg(path, why);
            return opos::OPOS_E_FAILURE;
        }
    }
    m_fd = fd;
    m_node = path;
    m_layout = *layout;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &HidService::readReports);
    return opos::OPOS_SUCCESS;
}

void HidService::closeNode()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_node.clear();
}

void HidService::readReports()
{
    std::array<std::uint8_t, kReportBuffer> report;
    while (m_fd >= 0) {
        const ssize_t n = ::read(m_fd, report.data(), report.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) { // 0 from a closed end, EIO or ENODEV once the reader is unplugged
            const QString why = n == 0 ? QStringLiteral("end of file") : systemError(errno);
            const QString path = m_node;
            closeNode();
            say(QStringLiteral("reader unplugged from %1 (%2); still claimed, waiting for it "
                               "to come back")
                    .arg(path, why));
            m_reopen->start();
            emit unplugged();
            return;
        }
        const DecodedReport decoded = decodeReport(m_layout, report.data(), std::size_t(n));
        for (const QString &fault : decoded.faults)
            say(QStringLiteral("bad report from the reader: %1").arg(fault));
        if (!decoded.swipe)
            continue;
        const msr::SwipeVerdict verdict = reportSwipe(m_nextSwipe++, *decoded.swipe);
        if (!verdict.accepted)
            say(QStringLiteral("swipe not taken: %1").arg(verdict.reason));
    }
}

void HidService::tryReopen()
{
    if (openNode() != opos::OPOS_SUCCESS)
        return;
    m_reopen->stop();
    say(QStringLiteral("reader is back at %1").arg(m_node));
    emit replugged();
}

void HidService::say(const QString &line) const
{
    qWarning("swipewatch: %s: %s", qPrintable(m_name), qPrintable(line));
}

std::unique_ptr<msr::MsrService> createHidService(const msr::DeviceEntry &entry, QString *error)
{
    return createHidService(entry, error, HidSeams{});
}

std::unique_ptr<msr::MsrService> createHidService(const msr::DeviceEntry &entry, QString *error,
                                                  const HidSeams &seams)
{
    const auto fail = [&](const QString &fault) {
        if (error)
            *error = fault;
        return std::unique_ptr<msr::MsrService>();
    };
    const QString keys = msr::checkOptionKeys(entry, {"device", "match"});
    if (!keys.isEmpty())
        return fail(keys);
    const auto device = entry.options.constFind(QStringLiteral("device"));
    const auto match = entry.options.constFind(QStringLiteral("match"));
    if ((device == entry.options.cend()) == (match == entry.options.cend()))
        return fail(QStringLiteral("kind hid needs exactly one of device= and match="));
    if (device != entry.options.cend()) {
        if (device->isEmpty())
            return fail(QStringLiteral("device= needs the path of the hidraw node"));
        // Checked now if plugged in; a reader plugged in later is checked at claim.
        if (const auto node = hidrawNodeFor(seams.root, *device)) {
            QString why;
            if (!layoutOf(*node, &why))
                return fail(QStringLiteral("%1 is not a stripe reader: %2").arg(*device, why));
        }
        return std::make_unique<HidService>(entry.name, *device, std::nullopt, seams);
    }
    const auto ids = parseUsbIds(*match);
    if (!ids)
        return fail(QStringLiteral("bad value '%1' for match: expected VVVV:PPPP, the USB vendor "
                                   "and product ids in hex")
                        .arg(*match));
    std::optional<TrackLayout> layout;
    QString why;
    if (!findByIds(seams.root, *ids, &layout, &why) && !why.isEmpty())
        return fail(QStringLiteral("no hidraw node with USB ids %1 carries track data (%2)")
                        .arg(formatUsbIds(*ids), why));
    return std::make_unique<HidService>(entry.name, QString(), ids, seams);
}

} // namespace hid
