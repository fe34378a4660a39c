// SPDX-License-Identifier: MIT
#include "backends/serial/serialservice.h"

#include "backends/common/devicepump.h"
#include "reader/opos.h"

#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

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
        fault = QStringLiteral("bad value '%1' for baud: expected one of %2")
                    .arg(baud, kRates.join(QStringLiteral(", ")));
    s.baud = baud.toInt();
    const QString format =
        entry.options.value(QStringLiteral("format"), QStringLiteral("8N1")).toUpper();
    static const QRegularExpression kFormat(
        QRegularExpression::anchoredPattern(QStringLiteral("([78])([NEO])([12])")));
    const QRegularExpressionMatch m = kFormat.match(format);
    if (fault.isEmpty() && !m.hasMatch())
        fault = QStringLiteral("bad value '%1' for format: expected data bits, parity and "
                               "stop bits such as 8N1, 7E1 or 7O1")
                    .arg(entry.options.value(QStringLiteral("format")));
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
      m_poll(new QTimer(this)),
      m_text(
          m_settings, [this](quint64 id, const SwipeRead &swipe) { reportSwipe(id, swipe); }, this)
{
    m_poll->setInterval(kReappearPollMs);
    connect(m_poll, &QTimer::timeout, this, &SerialService::pollForReturn);
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
    return opos::OPOS_SUCCESS;
}

void SerialService::release()
{
    m_claimed = false;
    m_poll->stop();
    m_text.clear();
    delete m_port; // closes it and drops the lock
    m_port = nullptr;
}

int SerialService::tryOpen()
{
    const QByteArray path = QFile::encodeName(m_settings.device);
    struct stat st {};
    const auto fail = [this](int error, const QString &why = {}) {
        m_error = claimErrorText(m_settings.device, error, why,
                                 groupAccessHint(m_settings.device, QStringLiteral("dialout")));
        return error;
    };
    if (::stat(path.constData(), &st) != 0)
        return fail(errno);
    if (!S_ISCHR(st.st_mode))
        return fail(ENODEV, QStringLiteral("not a serial device"));
    if (::access(path.constData(), R_OK | W_OK) != 0)
        return fail(errno);
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
        return fail(error, error == EBUSY ? QStringLiteral("another program has it open")
                                          : port->errorString());
    }
    // A port-powered reader runs off DTR; a port without modem lines refuses it.
    port->setDataTerminalReady(true);
    port->clearError();
    m_port = port.release();
    m_port->setParent(this);
    connect(m_port, &QSerialPort::readyRead, this, &SerialService::take);
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialService::portError);
    m_text.clear(true);
    return 0;
}

void SerialService::take()
{
    if (!m_port)
        return;
    const QByteArray bytes = m_port->readAll();
    tapRead({RawRead::Type::Read, 0, bytes, bytes, -1, {}});
    m_text.feed(bytes);
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
    // Not the port's error text: on a hang-up it names whatever call failed last.
    qWarning("swipewatch: %s: the reader at %s went away; waiting for it to come back",
             qPrintable(m_name), qPrintable(m_settings.device));
    tapRead({RawRead::Type::Gone, 0, {}, {}, -1, {}});
    m_text.readerGone();
    m_poll->start();
}

void SerialService::pollForReturn()
{
    if (!m_claimed || m_port || tryOpen() != 0)
        return;
    m_poll->stop();
    tapRead({RawRead::Type::Back, 0, {}, {}, -1, {}});
    qWarning("swipewatch: %s: the reader at %s is back", qPrintable(m_name),
             qPrintable(m_settings.device));
}

std::unique_ptr<MsrService> createSerialService(const DeviceEntry &entry, QString *error)
{
    const std::optional<SerialSettings> settings = serialSettings(entry, error);
    if (!settings)
        return nullptr;
    return std::make_unique<SerialService>(entry.name, *settings);
}

} // namespace msr
