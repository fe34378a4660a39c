// SPDX-License-Identifier: MIT
#include "reporting/resultcode.h"

#include "reader/opos.h"
#include "reporting/messageboxes.h"

#include <array>

namespace reporting {

namespace {

constexpr qint32 kFirstNamed = 101;

constexpr std::array<const char *, 14> kNames = {
    " (OPOS_E_CLOSED)",   " (OPOS_E_CLAIMED)",  " (OPOS_E_NOTCLAIMED)", " (OPOS_E_NOSERVICE)",
    " (OPOS_E_DISABLED)", " (OPOS_E_ILLEGAL)",  " (OPOS_E_NOHARDWARE)", " (OPOS_E_OFFLINE)",
    " (OPOS_E_NOEXIST)",  " (OPOS_E_EXISTS)",   " (OPOS_E_FAILURE)",    " (OPOS_E_TIMEOUT)",
    " (OPOS_E_BUSY)",     " (OPOS_E_EXTENDED)",
};

} // namespace

QString signPositionText(qint64 number)
{
    const QString digits = QString::number(number);
    return number < 0 ? digits : QLatin1Char(' ') + digits;
}

QString resultCodeText(qint32 code)
{
    QString message = signPositionText(code);
    const qint64 slot = qint64(code) - kFirstNamed;
    if (slot >= 0 && slot < qint64(kNames.size()))
        message += QLatin1String(kNames[std::size_t(slot)]);
    return message;
}

QString trackErrorText(qint32 code)
{
    switch (code) {
    case opos::OPOS_EMSR_START:
        return QStringLiteral("Start sentinel error");
    case opos::OPOS_EMSR_END:
        return QStringLiteral("End sentinel error");
    case opos::OPOS_EMSR_PARITY:
        return QStringLiteral("Parity error");
    case opos::OPOS_EMSR_LRC:
        return QStringLiteral("LRC error");
    default:
        return QStringLiteral("Other error");
    }
}

void ShowResultCode(const QString &Title, qint32 Code, MessageBoxes &boxes, QWidget *parent)
{
    if (Code == 0)
        return;
    boxes.showMessage(parent, Title, resultCodeText(Code));
}

} // namespace reporting
