// SPDX-License-Identifier: MIT
// Uses a control the way the window does, for the backend tests.
#pragma once

#include "reader/msrcontrol.h"
#include "reader/opos.h"

#include <QStringList>

// Logs "D <track1>|<track2>|<track3>" or "E <code1>,<code2>,<code3>" for each
// event, and re-arms data events after a data event.
inline void logEvents(msr::MsrControl &control, QStringList *log)
{
    using namespace msr;
    QObject::connect(
        &control, &MsrControl::eventDelivered, &control,
        [&control, log](int eventId, const QVariantList &args) {
            const auto get = [&](int id) {
                return control.invoke(id, InvokeKind::PropertyGet).toString();
            };
            const qint32 w = args.value(1).toInt();
            *log << (eventId == eventid::ErrorEvent
                         ? QStringLiteral("E %1,%2,%3")
                               .arg(w & 0xff)
                               .arg(w >> 8 & 0xff)
                               .arg(w >> 16 & 0xff)
                         : "D " + get(dispid::Track1Data) + '|' + get(dispid::Track2Data) + '|' +
                               get(dispid::Track3Data));
            if (eventId == eventid::DataEvent)
                control.invoke(dispid::DataEventEnabled, InvokeKind::PropertyPut, {qint16(-1)});
        });
}

// Opens unless open, claims, enables with per-track error reporting; the
// first failing result code, or 0.
inline qint32 startControl(msr::MsrControl &control, const QString &name, qint32 timeout = 0)
{
    using namespace msr;
    const auto call = [&](int id, QVariant v) {
        return control.invoke(id, InvokeKind::Method, {v}).toInt();
    };
    const auto put = [&](int id, QVariant v) { control.invoke(id, InvokeKind::PropertyPut, {v}); };
    const bool open =
        control.invoke(dispid::State, InvokeKind::PropertyGet).toInt() != opos::OPOS_S_CLOSED;
    if (const qint32 rc = open ? 0 : call(dispid::Open, name))
        return rc;
    if (const qint32 rc = call(dispid::ClaimDevice, timeout))
        return rc;
    put(dispid::ErrorReportingType, 1);
    put(dispid::DeviceEnabled, qint16(-1));
    put(dispid::DataEventEnabled, qint16(-1));
    return 0;
}
