// SPDX-License-Identifier: MIT
// Serial readers (RS-232, USB serial /dev/ttyACM*, /dev/ttyUSB*): the reader
// sends the card as text on its serial line. The port is opened at claim, in
// raw mode with DTR raised (a port-powered reader needs it), and locked, so a
// second window gets 112 after its timeout, whatever path it names the port
// by (see DeviceClaim).
//
// Device list:
//     BACK = serial device=/dev/serial/by-id/usb-...-if00 baud=9600 format=8N1
//   baud    1200, 2400, 4800, 9600 (default), 19200, 38400, 57600 or 115200
//   format  data bits, parity and stop bits: 8N1 (default), 7E1, 7O1; also
//           8E1, 8O1, 7N1 and the same with 2 stop bits
// and device=, gap= and lrc= as backends/common/textreaderoptions.h
// describes. A first line without sentinels after the port opens is the
// reader's sign-on text and is dropped. The text is read as
// backends/text/swipetext.h describes. Unplugged: said once on standard
// error, the claim is kept, and the path is tried again whenever udev
// announces a tty (where no udev runs, every msr::kFallbackPollMs). While the
// control's queue is full the port is not read (backends/common/swipehold.h):
// the bytes wait in the kernel.
#pragma once

#include "backends/common/swipehold.h"
#include "backends/common/textfeed.h"
#include "reader/claimlock.h"
#include "reader/msrservice.h"

#include <QSerialPort>

#include <optional>

namespace msr {

class ReturnWatch;

struct SerialSettings : TextReaderSettings {
    qint32 baud = 9600;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// The settings of a device-list entry, or nullopt with *error saying what is wrong.
std::optional<SerialSettings> serialSettings(const DeviceEntry &entry, QString *error);

class SerialService : public MsrService {
    Q_OBJECT
public:
    SerialService(QString name, SerialSettings settings, QObject *parent = nullptr);
    ~SerialService() override;

    // 107 no such port, 111 no access (naming the group) or a setting the port
    // refuses, 112 another program holds it past the timeout; each said on
    // standard error.
    std::int32_t claim(std::int32_t timeout) override;
    void release() override;
    void swipeFinished(quint64 id, bool delivered, const QString &reason) override;
    QString lastError() const { return m_error; }
    RawSource rawSource() const override;

    // Bytes taken from the port at a time: what follows a swipe the control
    // cannot take stays in the kernel.
    static constexpr qint64 kReadChunk = 512;

private:
    int tryOpen(); // 0 or an errno value; m_error says why
    void take();
    void portError(QSerialPort::SerialPortError error);
    void lose();
    void comeBack();

    QString m_name;
    SerialSettings m_settings;
    QString m_error;
    QSerialPort *m_port = nullptr;
    DeviceClaim m_claim; // while m_port is open
    bool m_claimed = false;
    TextFeed m_text;
    SwipeHold m_hold;
    ReturnWatch *m_return; // after the members its callback reads
};

std::unique_ptr<MsrService> createSerialService(const DeviceEntry &entry, QString *error);

} // namespace msr
