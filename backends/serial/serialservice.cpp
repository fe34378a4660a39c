// SPDX-License-Identifier: MIT
#include "backends/serial/serialservice.h"

#include "backends/common/devicepump.h"
#include "backends/common/udevdevice.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace msr {

std::optional<SerialSettings> serialSettings(const DeviceEntry &entry, QString *error)
{
    QString fault = checkOptionKeys(entry, {"device", "baud", "format", "gap", "lrc"}, {"device"});
    SerialSettings s;
    if (fault.isEmpty())
        readTextReaderOptions(entry, "/dev/serial/by-id/usb-...-if00", &s, &fault);
    const QString baud = entry.options.value(QStringLiteral("baud"), QStringLiteral("9600"));
    static const QStringList kRates{"1200",  "2400",  "4800",  "9600",
                                    "19200", "38400", "57600", "115200"};
    if (fault.isEmpty() && !kRates.contains(baud))
        fault = QStringLiteral("bad value %1 for baud: expected one of %2")
                    .arg(quoted(baud), kRates.join(QStringLiteral(", ")));
    s.baud = baud.toInt();
    const QString format =
        entry.options.value(QStringLiteral("format"), QStringLiteral("8N1")).toUpper();
    static const QRegularExpression kFormat(
        QRegularExpression::anchoredPattern(QStringLiteral("([78])([NEO])([12])")));
    const QRegularExpressionMatch m = kFormat.match(format);
    if (fault.isEmpty() && !m.hasMatch())
        fault = QStringLiteral("bad value %1 for format: expected data bits, parity and "
                               "stop bits such as 8N1, 7E1 or 7O1")
                    .arg(quoted(entry.options.value(QStringLiteral("format"))));
    if (m.hasMatch()) {
        s.dataBits = m.captured(1) == u"7" ? QSerialPort::Data7 : QSerialPort::Data8;
        s.parity = m.captured(2) == u"E"   ? QSerialPort::EvenParity
                   : m.captured(2) == u"O" ? QSerialPort::OddParity
                                           : QSerialPort::NoParity;
        s.stopBits = m.captured(3) == u"2" ? QSerialPort::TwoStop : QSerialPort::OneStop;
    }
    if (fault.isEmpty())
        return s;
    if (error)
        *error = fault;
    return std::nullopt;
}

SerialService::SerialService(QString name, SerialSettings settings, QObject *parent)
    : MsrService(parent), m_name(std::move(name)), m_settings(std::move(settings)),
      m_text(
          m_name, m_settings, [this](const SwipeRead &swipe) { m_hold.offer(swipe); }, this),
      m_hold(
          m_name, [this](quint64 id, const SwipeRead &swipe) { return reportSwipe(id, swipe); },
          [this](bool holding) {
              m_text.setHeld(holding);
              if (!holding) // what waited in the port, then in the kernel
                  QMetaObject::invokeMethod(this, &SerialService::take, Qt::QueuedConnection);
          },
          this),
      m_return(new ReturnWatch(
          m_name, QStringLiteral("tty"),
          [this](QString *why) {
              if (!m_claimed || m_port)
                  return EALREADY;
              const int error = tryOpen();
              *why = m_error;
              return error;
          },
          this))
{
    connect(m_return, &ReturnWatch::back, this, &SerialService::comeBack);
}

SerialService::~SerialService()
{
    release();
}

std::int32_t SerialService::claim(std::int32_t timeout)
{
    if (m_claimed)
        return opos::OPOS_SUCCESS;
    if (const std::int32_t rc = claimNode(
            m_name, timeout, [this] { return tryOpen(); }, &m_error))
        return rc;
    m_claimed = true;
    m_error.clear();
    m_return->start();
    return opos::OPOS_SUCCESS;
}

void SerialService::release()
{
    m_claimed = false;
    m_return->stop();
    delete m_port; // closes it and drops the lock
    m_port = nullptr;
    m_claim.release();
    m_hold.clear(QString::fromLatin1(reason::kReleased));
    m_text.clear();
}

void SerialService::swipeFinished(quint64, bool delivered, const QString &reason)
{
    m_hold.finished(delivered, reason);
}

int SerialService::tryOpen()
{
    const QByteArray path = QFile::encodeName(m_settings.device);
    struct stat st {};
    const auto fail = [this](int error, const QString &why = {}) {
        m_error = claimErrorText(
            m_settings.device, error, why,
            groupAccessHint(m_settings.device, QStringLiteral("dialout"), S_IRGRP | S_IWGRP));
        return error;
    };
    if (::stat(path.constData(), &st) != 0)
        return fail(errno);
    if (!S_ISCHR(st.st_mode))
        return fail(ENODEV, QStringLiteral("not a serial device"));
    if (::access(path.constData(), R_OK | W_OK) != 0)
        return fail(errno);
    // Claimed before the port is opened: opening it sets the line, which
    // would upset a holder reading it at another speed.
    const int fd = openDeviceNode(m_settings.device);
    if (fd < 0)
        return fail(-fd);
    QString why;
    const int busy = m_claim.take(fd, &why);
    ::close(fd);
    if (busy)
        return fail(busy, why);
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(m_settings.device);
    port->setBaudRate(m_settings.baud);
    port->setDataBits(m_settings.dataBits);
    port->setParity(m_settings.parity);
    port->setStopBits(m_settings.stopBits);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadOnly)) {
        // Access was checked above: a refusal now is another holder's lock.
        const int error = port->error() == QSerialPort::PermissionError       ? EBUSY
                          : port->error() == QSerialPort::DeviceNotFoundError ? ENOENT
                                                                              : EIO;
        m_claim.release();
        return fail(error, error == EBUSY ? QStringLiteral("another program has it open")
                                          : port->errorString());
    }
    // A port-powered reader runs off DTR; a port without modem lines refuses it.
    port->setDataTerminalReady(true);
    port->clearError();
    port->setReadBufferSize(kReadChunk);
    m_port = port.release();
    m_port->setParent(this);
    connect(m_port, &QSerialPort::readyRead, this, &SerialService::take);
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialService::portError);
    m_text.clear(true);
    return 0;
}

void SerialService::take()
{
    while (m_port && !m_hold.holding() && m_port->bytesAvailable() > 0) {
        const QByteArray bytes = m_port->read(kReadChunk);
        tapRead({RawRead::Type::Read, 0, bytes, bytes, -1, {}});
        m_text.feed(bytes);
    }
}

RawSource SerialService::rawSource() const
{
    RawSource source = textRawSource("serial", m_settings);
    const char parity = m_settings.parity == QSerialPort::EvenParity  ? 'E'
                        : m_settings.parity == QSerialPort::OddParity ? 'O'
                                                                      : 'N';
    source.settings << std::pair(QStringLiteral("baud"), QString::number(m_settings.baud))
                    << std::pair(QStringLiteral("format"),
                                 QStringLiteral("%1%2%3")
                                     .arg(int(m_settings.dataBits))
                                     .arg(QLatin1Char(parity))
                                     .arg(m_settings.stopBits == QSerialPort::TwoStop ? 2 : 1));
    return source;
}

void SerialService::portError(QSerialPort::SerialPortError error)
{
    // A hang-up reads as a ResourceError, or as a ReadError that repeats
    // until the port is closed.
    if (error != QSerialPort::ResourceError && error != QSerialPort::DeviceNotFoundError &&
        error != QSerialPort::ReadError)
        return;
    m_port->disconnect(this);
    // Not from inside the port's own signal.
    QMetaObject::invokeMethod(
        this, [this, port = m_port] { port == m_port ? lose() : void(); }, Qt::QueuedConnection);
}

void SerialService::lose()
{
    if (!m_port)
        return;
    m_port->disconnect(this);
    m_port->deleteLater();
    m_port = nullptr;
    m_claim.release(); // taken again when it is back
    // Not the port's error text: on a hang-up it names whatever call failed last.
    sayOnStderr(QStringLiteral("%1: the reader at %2 went away; waiting for it to come back")
                    .arg(m_name, m_settings.device));
    tapRead({RawRead::Type::Gone, 0, {}, {}, -1, {}});
    m_text.readerGone();
    m_return->away();
}

void SerialService::comeBack()
{
    tapRead({RawRead::Type::Back, 0, {}, {}, -1, {}});
    sayOnStderr(QStringLiteral("%1: the reader at %2 is back").arg(m_name, m_settings.device));
}

std::unique_ptr<MsrService> createSerialService(const DeviceEntry &entry, QString *error)
{
    const std::optional<SerialSettings> settings = serialSettings(entry, error);
    if (!settings)
        return nullptr;
    return std::make_unique<SerialService>(entry.name, *settings);
}

} // namespace msr
