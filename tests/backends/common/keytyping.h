// SPDX-License-Identifier: MIT
// For the backend tests: input_event records as a keyboard-type reader sends them.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <linux/input.h>

#include <utility>

// ms: the event's time stamp, in milliseconds.
inline QByteArray record(unsigned type, unsigned code, int value, int ms = 0)
{
    input_event e{};
    e.input_event_sec = ms / 1000;
    e.input_event_usec = ms % 1000 * 1000;
    e.type = type;
    e.code = code;
    e.value = value;
    return QByteArray(reinterpret_cast<const char *>(&e), sizeof e);
}

// One key as a keyboard reports it: scan code, key, report.
inline QByteArray key(unsigned code, int value, int ms = 0)
{
    return record(EV_MSC, MSC_SCAN, int(code), ms) + record(EV_KEY, code, value, ms) +
           record(EV_SYN, SYN_REPORT, 0, ms);
}

inline QByteArray tap(unsigned code, int ms = 0)
{
    return key(code, 1, ms) + key(code, 0, ms);
}

// A US layout by key code up to KEY_SLASH, plain and with Shift.
inline const QByteArrayView kPlain = "  1234567890-=  qwertyuiop  \r asdfghjkl;    zxcvbnm,./";
inline const QByteArrayView kShifted = "  !@#$%^&*()_+  QWERTYUIOP    ASDFGHJKL:    ZXCVBNM<>?";

// Types as a reader does, Shift held across shifted characters.
inline QByteArray type(QByteArrayView text)
{
    QByteArray out;
    bool shift = false;
    for (char c : text) {
        const bool up = !kPlain.contains(c);
        if (up != std::exchange(shift, up))
            out += key(KEY_LEFTSHIFT, up);
        out += tap(unsigned((up ? kShifted : kPlain).indexOf(c)));
    }
    return shift ? out + key(KEY_LEFTSHIFT, 0) : out;
}
