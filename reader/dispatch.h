// SPDX-License-Identifier: MIT
// Late-bound access to a reader control: every member is reached by its
// dispatch identifier, and events come back through a sink keyed by event
// identifier. A COM-hosted control is one adapter away from this interface.
#pragma once

#include <QVariant>
#include <QVariantList>

#include <stdexcept>
#include <string>

namespace msr {

// Dispatch identifiers of the members the window uses.
namespace dispid {
inline constexpr int Claimed = 2;
inline constexpr int DataEventEnabled = 3;
inline constexpr int DeviceEnabled = 4;
inline constexpr int State = 8;
inline constexpr int Track1Data = 21;
inline constexpr int Track2Data = 22;
inline constexpr int Track3Data = 23;
inline constexpr int Open = 34;
inline constexpr int Close = 35;
inline constexpr int ClaimDevice = 36;
inline constexpr int ReleaseDevice = 37;
inline constexpr int ErrorReportingType = 46;
} // namespace dispid

// Event identifiers; the window handles DataEvent and ErrorEvent.
namespace eventid {
inline constexpr int DataEvent = 1;         // (Long Status)
inline constexpr int DirectIOEvent = 2;     // (Long EventNumber, Long &pData, String &pString)
inline constexpr int ErrorEvent = 3;        // (Long ResultCode, Long ResultCodeExtended,
                                            //  Long ErrorLocus, Long &ErrorResponse)
inline constexpr int StatusUpdateEvent = 4; // (Long Data)
} // namespace eventid

enum class InvokeKind { Method, PropertyGet, PropertyPut };

// Raised (not returned) when a call cannot be dispatched at all, the way
// IDispatch::Invoke fails with DISP_E_MEMBERNOTFOUND or DISP_E_TYPEMISMATCH.
class DispatchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Receives the control's events. Arguments that the event passes by
// reference are written back into args by the handler.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void invokeEvent(int eventId, QVariantList &args) = 0;
};

class DispatchInterface {
public:
    virtual ~DispatchInterface() = default;
    // Methods take their arguments in args; a put takes the new value as
    // args[0]. Longs travel as qint32, Booleans as qint16 (-1 or 0).
    virtual QVariant invoke(int dispId, InvokeKind kind, const QVariantList &args = {}) = 0;
    // One sink at a time; nullptr disconnects.
    virtual void advise(EventSink *sink) = 0;
};

} // namespace msr
