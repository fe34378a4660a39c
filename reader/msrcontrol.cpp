// SPDX-License-Identifier: MIT
#include "reader/msrcontrol.h"

#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QMetaObject>

#include <iterator>

namespace msr {

namespace {

QVariant longValue(std::int32_t v)
{
    return QVariant::fromValue<qint32>(v);
}
QVariant booleanValue(bool b)
{
    return QVariant::fromValue<qint16>(b ? opos::True : opos::False);
}

std::int32_t argLong(const QVariantList &args, int i, const char *member)
{
    bool ok = false;
    const qlonglong n = args.value(i).toLongLong(&ok);
    if (i >= args.size() || !ok || n < INT32_MIN || n > INT32_MAX)
        throw DispatchError(std::string("type mismatch in ") + member);
    return static_cast<std::int32_t>(n);
}

bool argBoolean(const QVariantList &args, const char *member)
{
    return argLong(args, 0, member) != 0;
}

// Status and ResultCodeExtended: byte n-1 belongs to track n.
std::int32_t trackWord(const std::array<std::uint8_t, 3> &bytes)
{
    return static_cast<std::int32_t>(std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 |
                                     std::uint32_t(bytes[2]) << 16);
}

} // namespace

MsrControl::MsrControl(DeviceRegistry registry, QObject *parent)
    : QObject(parent), m_registry(std::move(registry))
{
}

MsrControl::~MsrControl()
{
    if (m_service)
        close();
}

void MsrControl::advise(EventSink *sink)
{
    m_sink = sink;
}

QVariant MsrControl::invoke(int dispId, InvokeKind kind, const QVariantList &args)
{
    using K = InvokeKind;
    switch (dispId) {
    case dispid::Claimed:
        if (kind == K::PropertyGet)
            return booleanValue(m_claimed);
        break;
    case dispid::DataEventEnabled:
        if (kind == K::PropertyGet)
            return booleanValue(m_dataEventEnabled);
        if (kind == K::PropertyPut)
            return setDataEventEnabled(argBoolean(args, "DataEventEnabled")), QVariant();
        break;
    case dispid::DeviceEnabled:
        if (kind == K::PropertyGet)
            return booleanValue(m_deviceEnabled);
        if (kind == K::PropertyPut)
            return setDeviceEnabled(argBoolean(args, "DeviceEnabled")), QVariant();
        break;
    case dispid::State:
        if (kind == K::PropertyGet)
            return longValue(m_service ? opos::OPOS_S_IDLE : opos::OPOS_S_CLOSED);
        break;
    case dispid::Track1Data:
    case dispid::Track2Data:
    case dispid::Track3Data:
        if (kind == K::PropertyGet)
            return m_tracks[dispId - dispid::Track1Data];
        break;
    case dispid::Open:
        if (kind == K::Method)
            return longValue(open(args));
        break;
    case dispid::Close:
        if (kind == K::Method)
            return longValue(close());
        break;
    case dispid::ClaimDevice:
        if (kind == K::Method)
            return longValue(claimDevice(args));
        break;
    case dispid::ReleaseDevice:
        if (kind == K::Method)
            return longValue(releaseDevice());
        break;
    case dispid::ErrorReportingType:
        if (kind == K::PropertyGet)
            return longValue(m_errorReportingType);
        if (kind == K::PropertyPut)
            return setErrorReportingType(argLong(args, 0, "ErrorReportingType")), QVariant();
        break;
    default:
        throw DispatchError("member not found: dispatch identifier " + std::to_string(dispId));
    }
    throw DispatchError("member " + std::to_string(dispId) + " does not support this access");
}

std::int32_t MsrControl::open(const QVariantList &args)
{
    if (args.size() != 1 || args[0].typeId() != QMetaType::QString)
        throw DispatchError("type mismatch in Open: expected the device name");
    if (m_service)
        return opos::OPOS_E_ILLEGAL;
    DeviceRegistry::Lookup lookup = m_registry.create(args[0].toString());
    if (!lookup.service) {
        if (!lookup.error.isEmpty())
            sayOnStderr(lookup.error);
        return lookup.result;
    }
    m_service = std::move(lookup.service);
    m_service->setSwipeSink(this);
    connect(m_service.get(), &MsrService::rawRead, this, &MsrControl::rawRead);
    m_errorReportingType = opos::MSR_ERT_CARD;
    m_dataEventEnabled = false;
    m_tracks = {};
    return opos::OPOS_SUCCESS;
}

std::int32_t MsrControl::close()
{
    if (!m_service)
        return opos::OPOS_E_CLOSED;
    if (m_claimed)
        releaseDevice();
    m_service->setSwipeSink(nullptr);
    m_service.reset();
    m_dataEventEnabled = false;
    return opos::OPOS_SUCCESS;
}

std::int32_t MsrControl::claimDevice(const QVariantList &args)
{
    const std::int32_t timeout = argLong(args, 0, "ClaimDevice");
    if (!m_service)
        return opos::OPOS_E_CLOSED;
    if (m_claimed)
        return opos::OPOS_SUCCESS;
    if (timeout < 0 && timeout != opos::OPOS_FOREVER)
        return opos::OPOS_E_ILLEGAL;
    const std::int32_t rc = m_service->claim(timeout);
    m_claimed = rc == opos::OPOS_SUCCESS;
    return rc;
}

std::int32_t MsrControl::releaseDevice()
{
    if (!m_service)
        return opos::OPOS_E_CLOSED;
    if (!m_claimed)
        return opos::OPOS_E_ILLEGAL;
    m_deviceEnabled = false;
    clearQueue(QString::fromLatin1(reason::kReleased));
    m_service->release();
    m_claimed = false;
    return opos::OPOS_SUCCESS;
}

// Property writes return nothing; a write the state does not allow is ignored.
void MsrControl::setDeviceEnabled(bool enabled)
{
    if (!m_claimed)
        return;
    m_deviceEnabled = enabled;
    if (enabled)
        scheduleDelivery();
}

void MsrControl::setDataEventEnabled(bool enabled)
{
    if (!m_service)
        return;
    m_dataEventEnabled = enabled;
    if (enabled)
        scheduleDelivery();
}

void MsrControl::setErrorReportingType(std::int32_t type)
{
    if (m_service && (type == opos::MSR_ERT_CARD || type == opos::MSR_ERT_TRACK))
        m_errorReportingType = type;
}

SwipeVerdict MsrControl::admitSwipe(quint64 id, const SwipeRead &swipe)
{
    if (!m_claimed || !m_deviceEnabled)
        return {false, QString::fromLatin1(reason::kDisabled)};
    if (pendingSwipes() >= kMaxPendingSwipes || m_pending.count(id))
        return {false, QString::fromLatin1(reason::kQueueFull)};

    std::array<QString, 3> good;
    std::array<std::uint8_t, 3> lengths{};
    std::array<std::uint8_t, 3> codes{};
    std::int32_t firstError = 0;
    bool goodData = false;
    for (int t = 0; t < 3; ++t) {
        const TrackRead &track = swipe.tracks[t];
        if (track.error != 0) {
            // Track words carry one byte per track; a code that does not fit
            // would spill into the next track.
            codes[t] =
                static_cast<std::uint8_t>(track.error > 0 && track.error < 256 ? track.error : 255);
            if (!firstError)
                firstError = track.error;
        } else {
            good[t] = track.text;
            lengths[t] = static_cast<std::uint8_t>(std::min<qsizetype>(track.text.size(), 255));
            goodData = goodData || !track.text.isEmpty();
        }
    }

    int entries = 0;
    if (!firstError) {
        m_queue.push_back({Entry::Data, id, good, trackWord(lengths), 0, false});
        entries = 1;
    } else if (m_errorReportingType == opos::MSR_ERT_CARD) {
        // Per card: one code for the whole card, and none of its data: the
        // track properties are emptied, never left holding an earlier card.
        m_queue.push_back({Entry::Error, id, {}, 0, firstError, false});
        entries = 1;
    } else {
        if (goodData) {
            m_queue.push_back({Entry::Data, id, good, trackWord(lengths), 0, false});
            ++entries;
        }
        m_queue.push_back({Entry::Error, id, good, 0, trackWord(codes), false});
        ++entries;
    }
    m_pending[id] = entries;
    scheduleDelivery();
    return {true, {}};
}

void MsrControl::scheduleDelivery()
{
    if (m_deliveryScheduled || m_queue.empty())
        return;
    m_deliveryScheduled = true;
    QMetaObject::invokeMethod(this, &MsrControl::deliverNext, Qt::QueuedConnection);
}

void MsrControl::deliverNext()
{
    m_deliveryScheduled = false;
    // One event at a time: a handler that pumps the event loop gets no second
    // event; the next one is scheduled when it returns.
    if (m_delivering || m_queue.empty() || !m_deviceEnabled || !m_dataEventEnabled)
        return;

    // Swipes go out in order, each one's events together. An error behind its
    // own swipe's data is told first as well, with locus INPUT_DATA, so the
    // application knows the data that follows is partial; an application
    // that keeps per-track codes from it applies them to the very next data
    // event, which must therefore be that card's.
    const quint64 swipe = m_queue.front().swipe;
    for (auto it = std::next(m_queue.begin()); it != m_queue.end() && it->swipe == swipe; ++it) {
        if (it->kind == Entry::Error && !it->announced) {
            it->announced = true;
            if (deliverError(*it, opos::OPOS_EL_INPUT_DATA) == opos::OPOS_ER_CLEAR)
                clearQueue(QString::fromLatin1(reason::kCleared));
            scheduleDelivery();
            return;
        }
    }

    const Entry entry = m_queue.front();
    m_queue.pop_front();
    if (entry.kind == Entry::Data) {
        m_dataEventEnabled = false;
        m_tracks = entry.tracks;
        QVariantList args{longValue(entry.status)};
        fireEvent(eventid::DataEvent, args);
        entryDone(entry.swipe);
    } else {
        const std::int32_t response = deliverError(entry, opos::OPOS_EL_INPUT);
        entryDone(entry.swipe);
        if (response == opos::OPOS_ER_CLEAR)
            clearQueue(QString::fromLatin1(reason::kCleared));
    }
    scheduleDelivery();
}

// Returns the handler's error response. The entry may be gone from the queue
// when this returns: a handler can close the device.
std::int32_t MsrControl::deliverError(const Entry &entry, std::int32_t locus)
{
    m_tracks = entry.tracks;
    const std::int32_t preset =
        locus == opos::OPOS_EL_INPUT_DATA ? opos::OPOS_ER_CONTINUEINPUT : opos::OPOS_ER_CLEAR;
    QVariantList args{longValue(opos::OPOS_E_EXTENDED), longValue(entry.extended), longValue(locus),
                      longValue(preset)};
    fireEvent(eventid::ErrorEvent, args);
    return args.value(3).toInt();
}

void MsrControl::fireEvent(int eventId, QVariantList &args)
{
    m_delivering = true;
    struct Reset {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{m_delivering};
    if (m_sink)
        m_sink->invokeEvent(eventId, args);
    emit eventDelivered(eventId, args);
}

void MsrControl::entryDone(quint64 swipe)
{
    auto it = m_pending.find(swipe);
    if (it == m_pending.end() || --it->second > 0)
        return;
    m_pending.erase(it);
    if (m_service)
        m_service->swipeFinished(swipe, true, {});
}

void MsrControl::clearQueue(const QString &reason)
{
    m_queue.clear();
    auto pending = std::exchange(m_pending, {});
    if (m_service) {
        for (const auto &[swipe, entries] : pending)
            m_service->swipeFinished(swipe, false, reason);
    }
}

} // namespace msr
