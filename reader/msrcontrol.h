// SPDX-License-Identifier: MIT
// The reader control object: the device state machine (open, claim, enable),
// its properties and methods by dispatch identifier, and the event queue with
// the delivery rules of a POS input device.
#pragma once

#include "reader/deviceregistry.h"
#include "reader/dispatch.h"
#include "reader/msrservice.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>

namespace msr {

class MsrControl : public QObject, public DispatchInterface, private SwipeSink {
    Q_OBJECT
public:
    explicit MsrControl(DeviceRegistry registry, QObject *parent = nullptr);
    // Closes the device if it is open, so the claim never outlives the control.
    ~MsrControl() override;

    QVariant invoke(int dispId, InvokeKind kind, const QVariantList &args = {}) override;
    void advise(EventSink *sink) override;

    // Swipes that will not be admitted beyond this many pending ones.
    static constexpr int kMaxPendingSwipes = 256;
    int pendingSwipes() const { return static_cast<int>(m_pending.size()); }

    // The open service's raw reads, for tools (msrprobe's raw view and
    // recorder); not a dispatch member.
    RawSource rawSource() const { return m_service ? m_service->rawSource() : RawSource{}; }

signals:
    // After the sink has handled an event (or right after it if no sink).
    void eventDelivered(int eventId, const QVariantList &args);
    // What the open service read, as MsrService::rawRead.
    void rawRead(const msr::RawRead &read);

private:
    struct Entry {
        enum Kind { Data, Error } kind = Data;
        quint64 swipe = 0;
        std::array<QString, 3> tracks; // what Track1Data to Track3Data read during it
        std::int32_t status = 0;       // Data: lengths
        std::int32_t extended = 0;     // Error: ResultCodeExtended
        bool announced = false;        // Error: already delivered with locus INPUT_DATA
    };

    SwipeVerdict admitSwipe(quint64 id, const SwipeRead &swipe) override;

    std::int32_t open(const QVariantList &args);
    std::int32_t close();
    std::int32_t claimDevice(const QVariantList &args);
    std::int32_t releaseDevice();
    void setDeviceEnabled(bool enabled);
    void setDataEventEnabled(bool enabled);
    void setErrorReportingType(std::int32_t type);

    void scheduleDelivery();
    void deliverNext();
    std::int32_t deliverError(const Entry &entry, std::int32_t locus);
    void fireEvent(int eventId, QVariantList &args);
    void entryDone(quint64 swipe);
    void clearQueue(const QString &reason);

    DeviceRegistry m_registry;
    std::unique_ptr<MsrService> m_service;
    EventSink *m_sink = nullptr;

    bool m_claimed = false;
    bool m_deviceEnabled = false;
    bool m_dataEventEnabled = false;
    std::int32_t m_errorReportingType = 0;
    std::array<QString, 3> m_tracks;

    std::deque<Entry> m_queue;
    std::map<quint64, int> m_pending; // swipe -> queued entries not yet delivered
    bool m_delivering = false;
    bool m_deliveryScheduled = false;
};

} // namespace msr
