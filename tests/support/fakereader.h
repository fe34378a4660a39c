// SPDX-License-Identifier: MIT
// A reader control for tests: it answers every member the window uses from
// scripted values, logs every call by dispatch identifier and kind, and fires
// events into whatever sink is advised.
#pragma once

#include "reader/dispatch.h"
#include "reader/opos.h"

#include <QSet>
#include <QStringList>

#include <array>
#include <functional>

namespace testsupport {

// How the log writes a call: "call 34(MCRSTUBEX)", "get 8", "put 46(1)".
inline QString call(int dispId, const QVariantList &args = {})
{
    return QStringLiteral("call %1(%2)").arg(dispId).arg(QVariant(args).toStringList().join(','));
}
inline QString get(int dispId)
{
    return QStringLiteral("get %1").arg(dispId);
}
inline QString put(int dispId, const QVariant &v)
{
    return QStringLiteral("put %1(%2)").arg(dispId).arg(v.toString());
}

class FakeReader : public msr::DispatchInterface {
public:
    QVariant invoke(int dispId, msr::InvokeKind kind, const QVariantList &args = {}) override;
    void advise(msr::EventSink *sink) override { m_sink = sink; }

    // Method results; State and Claimed follow them.
    qint32 openResult = opos::OPOS_SUCCESS, claimResult = opos::OPOS_SUCCESS;
    qint32 releaseResult = opos::OPOS_SUCCESS, closeResult = opos::OPOS_SUCCESS;
    // Properties as the window last left them, or as a test sets them.
    qint32 errorReportingType = opos::MSR_ERT_CARD;
    std::array<QString, 3> tracks;
    // Calls that raise a DispatchError, logged without their value ("put 46").
    QSet<QString> failing;
    QStringList calls;
    std::function<void(const QString &)> onCall; // told of each call as it is made

    // As the control's event loop would; fireErrorEvent returns the ErrorResponse.
    void fireDataEvent(qint32 status);
    qint32 fireErrorEvent(qint32 resultCode, qint32 resultCodeExtended, qint32 errorLocus,
                          qint32 errorResponse = opos::OPOS_ER_CLEAR);

private:
    msr::EventSink *m_sink = nullptr;
    bool m_open = false, m_claimed = false;
};

// Packs one byte per track, track 1 least significant, byte 3 on top.
constexpr qint32 trackWord(int track1, int track2, int track3, int top = 0)
{
    return static_cast<qint32>(quint32(track1 & 0xFF) | quint32(track2 & 0xFF) << 8 |
                               quint32(track3 & 0xFF) << 16 | quint32(top & 0xFF) << 24);
}

} // namespace testsupport
