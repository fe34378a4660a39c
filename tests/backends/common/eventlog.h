// Uses a control the way the window does, for the backend tests: logs each
// event as "D <track1>|<track2>|<track3>" or "E <code1>,<code2>,<code3>" and
// re-arms data events after each data event.
#pragma once

#include "reader/msrcontrol.h"
#include "reader/opos.h"

#include <QStringList>

inline void logEvents(msr::MsrControl &control, QStringList *log)
{
    using namespace msr;
    QObject::connect(&control, &MsrControl::eventDelivered, &control,
                     [&control, log](int eventId, const QVariantList &args) {
                         if (eventId == eventid::ErrorEvent) {
                             const qint32 w = args.value(1).toInt();
                             *log << QStringLiteral("E %1,%2,%3")
                                         .arg(w & 0xff)
                                         .arg(w >> 8 & 0xff)
                                         .arg(w >> 16 & 0xff);
                             return;
                         }
                         QStringList tracks;
                         for (int id : {dispid::Track1Data, dispid::Track2Data, dispid::Track3Data})
                             tracks << control.invoke(id, InvokeKind::PropertyGet).toString();
                         *log << "D " + tracks.join('|');
                         control.invoke(dispid::DataEventEnabled, InvokeKind::PropertyPut,
                                        {qint16(-1)});
                     });
}

// Opens unless open, claims (with timeout), enables with per-track error reporting.
inline qint32 startControl(msr::MsrControl &control, const QString &name, qint32 timeout = 0)
{
    using namespace msr;
    const auto call = [&](int id, QVariantList args = {}) {
        return control.invoke(id, InvokeKind::Method, args).toInt();
    };
    const bool closed =
        control.invoke(dispid::State, InvokeKind::PropertyGet).toInt() == opos::OPOS_S_CLOSED;
    if (const qint32 rc = closed ? call(dispid::Open, {name}) : 0)
        return rc;
    if (const qint32 rc = call(dispid::ClaimDevice, {timeout}))
        return rc;
    control.invoke(dispid::ErrorReportingType, InvokeKind::PropertyPut, {1});
    control.invoke(dispid::DeviceEnabled, InvokeKind::PropertyPut, {qint16(-1)});
    control.invoke(dispid::DataEventEnabled, InvokeKind::PropertyPut, {qint16(-1)});
    return 0;
}
