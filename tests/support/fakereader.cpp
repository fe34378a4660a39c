#include "tests/support/fakereader.h"

namespace testsupport {

using msr::InvokeKind;
namespace dispid = msr::dispid;

namespace {

QVariant longValue(qint32 v)
{
    return QVariant::fromValue<qint32>(v);
}
QVariant booleanValue(bool b)
{
    return QVariant::fromValue<qint16>(b ? opos::True : opos::False);
}

} // namespace

QString call(int dispId, const QVariantList &args)
{
    QStringList parts;
    for (const QVariant &arg : args)
        parts << arg.toString();
    return QStringLiteral("call %1(%2)").arg(dispId).arg(parts.join(QLatin1Char(',')));
}

QString get(int dispId)
{
    return QStringLiteral("get %1").arg(dispId);
}

QString put(int dispId, const QVariant &value)
{
    return QStringLiteral("put %1(%2)").arg(dispId).arg(value.toString());
}

QVariant FakeReader::invoke(int dispId, InvokeKind kind, const QVariantList &args)
{
    const QVariant value = args.value(0);
    const QString entry = kind == InvokeKind::Method        ? call(dispId, args)
                          : kind == InvokeKind::PropertyGet ? get(dispId)
                                                            : put(dispId, value);
    calls << entry;
    if (failing.contains(entry.section(QLatin1Char('('), 0, 0)))
        throw msr::DispatchError("scripted failure of " + entry.toStdString());

    switch (kind) {
    case InvokeKind::Method:
        switch (dispId) {
        case dispid::Open:
            m_open = m_open || openResult == opos::OPOS_SUCCESS;
            return longValue(openResult);
        case dispid::Close:
            if (closeResult == opos::OPOS_SUCCESS)
                m_open = m_claimed = false;
            return longValue(closeResult);
        case dispid::ClaimDevice:
            m_claimed = m_claimed || (m_open && claimResult == opos::OPOS_SUCCESS);
            return longValue(claimResult);
        case dispid::ReleaseDevice:
            m_claimed = m_claimed && releaseResult != opos::OPOS_SUCCESS;
            return longValue(releaseResult);
        }
        break;
    case InvokeKind::PropertyGet:
        switch (dispId) {
        case dispid::Claimed:
            return booleanValue(m_claimed);
        case dispid::State:
            return longValue(m_open ? opos::OPOS_S_IDLE : opos::OPOS_S_CLOSED);
        case dispid::Track1Data:
        case dispid::Track2Data:
        case dispid::Track3Data:
            return tracks[std::size_t(dispId - dispid::Track1Data)];
        case dispid::ErrorReportingType:
            return longValue(errorReportingType);
        }
        break;
    case InvokeKind::PropertyPut:
        switch (dispId) {
        case dispid::DataEventEnabled:
            dataEventEnabled = value.toInt() != 0;
            return {};
        case dispid::DeviceEnabled:
            deviceEnabled = value.toInt() != 0;
            return {};
        case dispid::ErrorReportingType:
            errorReportingType = value.toInt();
            return {};
        }
        break;
    }
    throw msr::DispatchError("member not found: " + entry.toStdString());
}

void FakeReader::fireDataEvent(qint32 status)
{
    QVariantList args{longValue(status)};
    if (m_sink)
        m_sink->invokeEvent(msr::eventid::DataEvent, args);
}

qint32 FakeReader::fireErrorEvent(qint32 resultCode, qint32 resultCodeExtended, qint32 errorLocus,
                                  qint32 errorResponse)
{
    QVariantList args{longValue(resultCode), longValue(resultCodeExtended), longValue(errorLocus),
                      longValue(errorResponse)};
    if (m_sink)
        m_sink->invokeEvent(msr::eventid::ErrorEvent, args);
    return args[3].toInt();
}

} // namespace testsupport
