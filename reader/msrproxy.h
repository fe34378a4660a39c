// SPDX-License-Identifier: MIT
// The window's handle on the reader: exactly the members the window uses,
// each one routed by dispatch identifier through a DispatchInterface.
#pragma once

#include "reader/dispatch.h"

#include <QObject>
#include <QString>

#include <cstdint>

namespace msr {

class MsrProxy : public QObject, private EventSink {
    Q_OBJECT
public:
    // The proxy does not own the dispatch object; it must outlive the proxy.
    explicit MsrProxy(DispatchInterface *control, QObject *parent = nullptr);
    ~MsrProxy() override;

    bool Claimed() const;
    void setDataEventEnabled(bool enabled);
    void setDeviceEnabled(bool enabled);
    std::int32_t State() const;
    QString Track1Data() const;
    QString Track2Data() const;
    QString Track3Data() const;
    std::int32_t Open(const QString &deviceName);
    std::int32_t Close();
    std::int32_t ClaimDevice(std::int32_t timeout);
    std::int32_t ReleaseDevice();
    std::int32_t ErrorReportingType() const;
    void setErrorReportingType(std::int32_t type);

signals:
    void DataEvent(qint32 Status);
    // ErrorResponse points at the control's preset response; a handler may
    // write it before returning.
    void ErrorEvent(qint32 ResultCode, qint32 ResultCodeExtended, qint32 ErrorLocus,
                    qint32 *ErrorResponse);

private:
    void invokeEvent(int eventId, QVariantList &args) override;
    QVariant get(int id) const;
    void put(int id, const QVariant &value);
    std::int32_t call(int id, const QVariantList &args = {});

    DispatchInterface *m_control;
};

} // namespace msr
