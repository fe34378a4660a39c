// SPDX-License-Identifier: MIT
// What a reader delivered, read by read, before any decoding: for tools that
// show the raw bytes or record them to play back later. The window never
// needs it; services hand it out through MsrService::rawRead.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <utility>

namespace msr {

// A run of a HID report as the reader's descriptor placed it.
struct RawField {
    QString name;          // e.g. "track 2 length"
    quint32 bitOffset = 0; // from the start of the report, its ID byte not counted
    quint32 bits = 0;      // per element
    quint32 count = 0;     // elements
    bool operator==(const RawField &) const = default;
};

// The reader the reads come from, and what decoding them depends on.
struct RawSource {
    QString kind;   // "serial", "keyboard" or "hid"; empty: the service has no raw reads
    QString device; // the node or port opened last
    // KEY, VALUE in a fixed order: gap and lrc for text readers, baud and
    // format for serial ones, layout (and variant) for keyboard ones.
    QList<std::pair<QString, QString>> settings;
    QByteArray descriptor;  // hid: the report descriptor
    int reportId = -1;      // hid: the ID byte of the track report, -1 when it has none
    QList<RawField> fields; // hid: status, length and data of each track
    bool operator==(const RawSource &) const = default;
};

struct RawRead {
    enum class Type {
        Read, // bytes arrived
        Gone, // the reader went away (unplugged, port hung up)
        Back, // it is back and open again
    } type = Type::Read;
    qint64 monotonicNs = 0; // when, on the steady clock (see monotonicNs())
    // serial: the bytes one read gave; keyboard: the struct input_event
    // records it gave; hid: one whole report
    QByteArray bytes;
    QByteArray text; // serial and keyboard: the characters those bytes carry
    int keys = -1;   // keyboard: the key presses among the records
    RawSource source;
};

inline qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace msr
