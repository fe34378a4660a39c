// SPDX-License-Identifier: MIT
#include "tests/support/fakereader.h"

#include <map>

namespace testsupport {

using msr::InvokeKind;
namespace dispid = msr::dispid;

QVariant FakeReader::invoke(int dispId, InvokeKind kind, const QVariantList &args)
{
    const QVariant value = args.value(0);
    const QString entry = kind == InvokeKind::Method        ? call(dispId, args)
                          : kind == InvokeKind::PropertyGet ? get(dispId)
                                                            : put(dispId, value);
    calls << entry;
    if (onCall)
        onCall(entry);
    if (failing.contains(entry.section(QLatin1Char('('), 0, 0)))
        throw msr::DispatchError("scripted failure of " + entry.toStdString());

    if (kind == InvokeKind::Method) {
        if (dispId == dispid::Open)
            m_open = m_open || openResult == opos::OPOS_SUCCESS;
        if (dispId == dispid::Close && closeResult == opos::OPOS_SUCCESS)
            m_open = m_claimed = false;
        if (dispId == dispid::ClaimDevice)
            m_claimed = m_claimed || (m_open && claimResult == opos::OPOS_SUCCESS);
        if (dispId == dispid::ReleaseDevice)
            m_claimed = m_claimed && releaseResult != opos::OPOS_SUCCESS;
        const std::map<int, qint32> results{{dispid::Open, openResult},
                                            {dispid::Close, closeResult},
                                            {dispid::ClaimDevice, claimResult},
                                            {dispid::ReleaseDevice, releaseResult}};
        if (results.contains(dispId))
            return results.at(dispId);
    } else if (kind == InvokeKind::PropertyGet) {
        if (dispId == dispid::Claimed)
            return QVariant::fromValue<qint16>(m_claimed ? opos::True : opos::False);
        if (dispId == dispid::State)
            return m_open ? opos::OPOS_S_IDLE : opos::OPOS_S_CLOSED;
        if (dispId >= dispid::Track1Data && dispId <= dispid::Track3Data)
            return tracks[std::size_t(dispId - dispid::Track1Data)];
        if (dispId == dispid::ErrorReportingType)
            return errorReportingType;
    } else if (dispId == dispid::ErrorReportingType) {
        errorReportingType = value.toInt();
        return {};
    } else if (dispId == dispid::DataEventEnabled || dispId == dispid::DeviceEnabled) {
        return {}; // the log has what was written
    }
    throw msr::DispatchError("member not found: " + entry.toStdString());
}

void FakeReader::fireDataEvent(qint32 status)
{
    QVariantList args{QVariant::fromValue(status)};
    if (m_sink)
        m_sink->invokeEvent(msr::eventid::DataEvent, args);
}

qint32 FakeReader::fireErrorEvent(qint32 resultCode, qint32 resultCodeExtended, qint32 errorLocus,
                                  qint32 errorResponse)
{
    QVariantList args{QVariant::fromValue(resultCode), QVariant::fromValue(resultCodeExtended),
                      QVariant::fromValue(errorLocus), QVariant::fromValue(errorResponse)};
    if (m_sink)
        m_sink->invokeEvent(msr::eventid::ErrorEvent, args);
    return args[3].toInt();
}

} // namespace testsupport
