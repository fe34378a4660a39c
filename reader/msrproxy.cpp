// SPDX-License-Identifier: MIT
#include "reader/msrproxy.h"

#include "reader/opos.h"

namespace msr {

namespace {

std::int32_t toLong(const QVariant &v, const char *what)
{
    bool ok = false;
    const qlonglong n = v.toLongLong(&ok);
    if (!ok || n < INT32_MIN || n > INT32_MAX)
        throw DispatchError(std::string("type mismatch: ") + what + " is not a Long");
    return static_cast<std::int32_t>(n);
}

QVariant boolean(bool b)
{
    return QVariant::fromValue<qint16>(b ? opos::True : opos::False);
}

} // namespace

MsrProxy::MsrProxy(DispatchInterface *control, QObject *parent)
    : QObject(parent), m_control(control)
{
    m_control->advise(this);
}

MsrProxy::~MsrProxy()
{
    m_control->advise(nullptr);
}

QVariant MsrProxy::get(int id) const
{
    return m_control->invoke(id, InvokeKind::PropertyGet);
}

void MsrProxy::put(int id, const QVariant &value)
{
    m_control->invoke(id, InvokeKind::PropertyPut, {value});
}

std::int32_t MsrProxy::call(int id, const QVariantList &args)
{
    return toLong(m_control->invoke(id, InvokeKind::Method, args), "result code");
}

bool MsrProxy::Claimed() const
{
    return toLong(get(dispid::Claimed), "Claimed") != 0;
}
void MsrProxy::setDataEventEnabled(bool enabled)
{
    put(dispid::DataEventEnabled, boolean(enabled));
}
void MsrProxy::setDeviceEnabled(bool enabled)
{
    put(dispid::DeviceEnabled, boolean(enabled));
}
std::int32_t MsrProxy::State() const
{
    return toLong(get(dispid::State), "State");
}
QString MsrProxy::Track1Data() const
{
    return get(dispid::Track1Data).toString();
}
QString MsrProxy::Track2Data() const
{
    return get(dispid::Track2Data).toString();
}
QString MsrProxy::Track3Data() const
{
    return get(dispid::Track3Data).toString();
}
std::int32_t MsrProxy::Open(const QString &deviceName)
{
    return call(dispid::Open, {deviceName});
}
std::int32_t MsrProxy::Close()
{
    return call(dispid::Close);
}

std::int32_t MsrProxy::ClaimDevice(std::int32_t timeout)
{
    return call(dispid::ClaimDevice, {QVariant::fromValue<qint32>(timeout)});
}

std::int32_t MsrProxy::ReleaseDevice()
{
    return call(dispid::ReleaseDevice);
}

std::int32_t MsrProxy::ErrorReportingType() const
{
    return toLong(get(dispid::ErrorReportingType), "ErrorReportingType");
}

void MsrProxy::setErrorReportingType(std::int32_t type)
{
    put(dispid::ErrorReportingType, QVariant::fromValue<qint32>(type));
}

void MsrProxy::invokeEvent(int eventId, QVariantList &args)
{
    switch (eventId) {
    case eventid::DataEvent:
        if (args.size() != 1)
            throw DispatchError("DataEvent takes one argument");
        emit DataEvent(toLong(args[0], "Status"));
        break;
    case eventid::ErrorEvent: {
        if (args.size() != 4)
            throw DispatchError("ErrorEvent takes four arguments");
        qint32 response = toLong(args[3], "ErrorResponse");
        emit ErrorEvent(toLong(args[0], "ResultCode"), toLong(args[1], "ResultCodeExtended"),
                        toLong(args[2], "ErrorLocus"), &response);
        args[3] = QVariant::fromValue<qint32>(response);
        break;
    }
    default:
        break; // DirectIOEvent and StatusUpdateEvent have no handler on the window
    }
}

} // namespace msr
