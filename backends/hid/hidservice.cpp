// SPDX-License-Identifier: MIT
#include "backends/hid/hidservice.h"

#include "backends/hid/hidreport.h"
#include "reader/claimlock.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QDeadlineTimer>
#include <QDir>

#include <cerrno>

namespace hid {

namespace {

// The largest report hidraw hands out, and one byte for its ID.
constexpr int kReportBuffer = 16384 + 1;

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
std::optional<HidrawNode> findByIds(const UsbIds &ids, QString *why)
{
    for (const HidrawNode &node : listHidrawNodes()) {
        if (node.usb != ids)
            continue;
        QString reason;
        if (layoutOf(node, &reason))
            return node;
        *why = QStringLiteral("%1: %2").arg(node.devicePath, reason);
    }
    return std::nullopt;
}

QString noNodeWithIds(const UsbIds &ids, const QString &passedOver)
{
    return QStringLiteral("no hidraw node with USB ids %1 carries track data%2")
        .arg(formatUsbIds(ids), passedOver.isEmpty() ? QStringLiteral(": is the reader plugged in?")
                                                     : QStringLiteral(" (%1)").arg(passedOver));
}

} // namespace

QString udevRuleHint(const QString &devicePath)
{
    return QStringLiteral("hidraw nodes have no group; ") + msr::udevRuleAdvice(devicePath);
}

HidService::HidService(QString logicalName, QString devicePath, std::optional<UsbIds> match)
    : m_name(std::move(logicalName)),
      m_pump(
          new msr::DevicePump(m_name, std::move(devicePath), QStringLiteral("hidraw"), {}, this)),
      m_hold(
          m_name,
          [this](quint64 id, const msr::SwipeRead &swipe) { return reportSwipe(id, swipe); }, {},
          this)
{
    m_pump->setReadSize(kReportBuffer);
    // The node a reader gets can change between plug-ins: look it up each time.
    if (match)
        m_pump->setLocate([ids = *match](QString *why) {
            QString passedOver;
            const auto node = findByIds(ids, &passedOver);
            *why = noNodeWithIds(ids, passedOver);
            return node ? node->devicePath : QString();
        });
    // A reader plugged back in may be another model: read its descriptor again.
    m_pump->setPrepare(
        [this](int, const QString &path, QString *why) { return readLayout(path, why); });
    m_pump->setAccessHint(&udevRuleHint);
    connect(m_pump, &msr::DevicePump::dataRead, this, &HidService::take);
    connect(m_pump, &msr::DevicePump::wentAway, this, [this] {
        tapRead({msr::RawRead::Type::Gone, 0, {}, {}, -1, {}});
        emit unplugged();
    });
    connect(m_pump, &msr::DevicePump::cameBack, this, [this] {
        tapRead({msr::RawRead::Type::Back, 0, {}, {}, -1, {}});
        emit replugged();
    });
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
    const QDeadlineTimer deadline(timeout < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                              : QDeadlineTimer(timeout));
    std::int32_t rc = lock->acquire(timeout);
    if (rc != opos::OPOS_SUCCESS) {
        m_error = lock->lastError();
        say(m_error);
        return rc;
    }
    // The rest of the time waits for a holder of the device under another name.
    rc = m_pump->open(timeout < 0 ? -1 : std::int32_t(deadline.remainingTime()));
    m_error = m_pump->lastError();
    if (rc == opos::OPOS_SUCCESS)
        m_lock = std::move(lock);
    return rc;
}

void HidService::release()
{
    m_pump->close();
    m_lock.reset();
    m_hold.clear(QString::fromLatin1(msr::reason::kReleased));
}

void HidService::swipeFinished(quint64, bool delivered, const QString &reason)
{
    m_hold.finished(delivered, reason);
}

int HidService::readLayout(const QString &path, QString *why)
{
    const auto node = hidrawNodeFor(path);
    *why = QStringLiteral("udev knows no hidraw node by its device number");
    const auto layout = node ? layoutOf(*node, why) : std::nullopt;
    if (!layout) {
        *why = QStringLiteral("not a stripe reader: ") + *why;
        return EMEDIUMTYPE;
    }
    m_layout = *layout;
    m_descriptor = node->descriptor;
    return 0;
}

msr::RawSource HidService::rawSource() const
{
    return hidRawSource(m_pump->currentPath(), m_descriptor, m_layout);
}

msr::RawSource hidRawSource(const QString &device, const QByteArray &descriptor,
                            const TrackLayout &layout)
{
    msr::RawSource source;
    source.kind = QStringLiteral("hid");
    source.device = device;
    source.descriptor = descriptor;
    source.reportId = layout.reportId ? int(*layout.reportId) : -1;
    for (int t = 0; t < 3; ++t) {
        const std::pair<const char *, Slot> parts[] = {
            {"status", layout.status[t]}, {"length", layout.length[t]}, {"data", layout.data[t]}};
        for (const auto &[what, slot] : parts) {
            if (slot.present())
                source.fields << msr::RawField{
                    QStringLiteral("track %1 %2").arg(t + 1).arg(QLatin1String(what)),
                    slot.bitOffset, slot.size, slot.count};
        }
    }
    return source;
}

void HidService::take(const QByteArray &report)
{
    tapRead({msr::RawRead::Type::Read, 0, report, {}, -1, {}});
    const DecodedReport decoded =
        decodeReport(m_layout, reinterpret_cast<const std::uint8_t *>(report.constData()),
                     std::size_t(report.size()));
    for (const QString &fault : decoded.faults)
        say(QStringLiteral("bad report from the reader: %1").arg(fault));
    if (decoded.swipe)
        m_hold.offer(*decoded.swipe);
}

void HidService::say(const QString &line) const
{
    msr::sayOnStderr(m_name + QStringLiteral(": ") + line);
}

std::unique_ptr<msr::MsrService> createHidService(const msr::DeviceEntry &entry, QString *error)
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
        // As for the other kinds: a relative path would depend on where it was started.
        if (!QDir::isAbsolutePath(*device))
            return fail(QStringLiteral("device= needs an absolute path such as /dev/hidraw0, "
                                       "found %1")
                            .arg(msr::quoted(*device)));
        // Checked now if plugged in; a reader plugged in later is checked at claim.
        if (const auto node = hidrawNodeFor(*device)) {
            QString why;
            if (!layoutOf(*node, &why))
                return fail(QStringLiteral("%1 is not a stripe reader: %2").arg(*device, why));
        }
        return std::make_unique<HidService>(entry.name, *device, std::nullopt);
    }
    const auto ids = parseUsbIds(*match);
    if (!ids)
        return fail(QStringLiteral("bad value %1 for match: expected VVVV:PPPP, the USB vendor "
                                   "and product ids in hex")
                        .arg(msr::quoted(*match)));
    QString why;
    if (!findByIds(*ids, &why) && !why.isEmpty())
        return fail(noNodeWithIds(*ids, why));
    return std::make_unique<HidService>(entry.name, QString(), ids);
}

} // namespace hid
