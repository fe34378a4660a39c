// SPDX-License-Identifier: MIT
// Recordings of what a reader delivered, as text a person can read and edit,
// and the pure functions that write and read them. The format is described
// in swipewatch-devices(5); in short:
//
//     swipewatch-recording 1
//     kind serial                    (serial, keyboard or hid)
//     device /dev/ttyACM0            (where it was recorded; not used)
//     gap 150                        (serial, keyboard: as in the device list)
//     lrc no
//     layout fr                      (keyboard: as in the device list; default us)
//     variant nodeadkeys
//     baud 9600                      (serial; not used)
//     format 8N1
//     descriptor 0600FF0901A101...   (hid: the report descriptor in hex)
//     +0.000 "%B4111^DOE/J^2912?;4111=2912?\r"
//     +1.250 gone
//
// Then one line a read, each with its time from the start in seconds:
//   serial     the bytes as a quoted string (\r \n \t \\ \" \xHH), or "hex" and hex digits
//   keyboard   the input_event records as "type code value" triples, separated by commas
//   hid        the report in hex (spaces allowed anywhere between bytes)
// or "gone" (the reader went away), "back" (it was open again), and for hid
// "descriptor HEX" (it came back as a reader with another descriptor).
// Blank lines and lines starting with '#' are skipped.
#pragma once

#include "reader/rawread.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace msr::replay {

struct Header {
    QString kind; // serial, keyboard or hid
    QString device;
    int gapMs = 150;
    bool lrc = false;
    QString layout = QStringLiteral("us"), variant; // keyboard
    int layoutLine = 0;
    QString baud, format;  // serial, as recorded
    QByteArray descriptor; // hid
    int descriptorLine = 0;
};

struct Step {
    RawRead::Type type = RawRead::Type::Read;
    bool descriptor = false; // hid: bytes is the descriptor from here on
    qint64 atUs = 0;         // from the start of the recording
    QByteArray bytes;        // as RawRead::bytes; keyboard: whole input_event records
    int line = 0;            // where it is in the file
};

struct Recording {
    Header header;
    QList<Step> steps;
};

struct Parsed {
    std::optional<Recording> recording;
    int line = 0;  // of the fault
    QString error; // what is wrong there
};

inline constexpr const char *kMagic = "swipewatch-recording 1";
// Larger than any reader's report and any sane recording.
inline constexpr qsizetype kMaxRecordingBytes = 64 * 1024 * 1024;
inline constexpr qsizetype kMaxReportBytes = 16384 + 1;
inline constexpr qsizetype kMaxDescriptorBytes = 4096;

Parsed parseRecording(QByteArrayView text);

// What a recording of this source says in its header.
Header headerFor(const RawSource &source);
QByteArray formatHeader(const Header &header);
// One line for a step of a recording of this kind. Keyboard steps hold
// whole records.
QByteArray formatStep(const QString &kind, const Step &step);
// The whole recording, as formatHeader() and formatStep() write it.
QByteArray formatRecording(const Recording &recording);

} // namespace msr::replay
