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

// Types as a reader set to the French (AZERTY) layout does: digits with
// Shift, A/Q and Z/W swapped, M right of L, ^ a dead key then Space.
inline QByteArray typeFrench(QByteArrayView text)
{
    struct Stroke {
        char c;
        unsigned code;
        bool shift;
    };
    static constexpr Stroke kMoved[] = {
        {'A', KEY_Q, true},          {'Q', KEY_A, true},         {'Z', KEY_W, true},
        {'W', KEY_Z, true},          {'M', KEY_SEMICOLON, true}, {'0', KEY_0, true},
        {'%', KEY_APOSTROPHE, true}, {'?', KEY_M, true},         {'/', KEY_DOT, true},
        {';', KEY_COMMA, false},     {'=', KEY_EQUAL, false},    {'\r', KEY_ENTER, false},
        {'^', KEY_LEFTBRACE, false}};
    QByteArray out;
    for (char c : text) {
        Stroke stroke{c, unsigned(kShifted.indexOf(c)), true};
        if (c >= '1' && c <= '9')
            stroke.code = KEY_1 + unsigned(c - '1');
        for (const Stroke &moved : kMoved)
            stroke = moved.c == c ? moved : stroke;
        out += stroke.shift ? key(KEY_LEFTSHIFT, 1) + tap(stroke.code) + key(KEY_LEFTSHIFT, 0)
                            : tap(stroke.code);
        if (c == '^')
            out += tap(KEY_SPACE);
    }
    return out;
}
