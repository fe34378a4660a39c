// SPDX-License-Identifier: MIT
// The key events of a keyboard-type reader, read from its evdev node, as the
// characters it typed: struct input_event records (sizeof(input_event), 24
// bytes on amd64) in, text out. Pure: the service feeds it what it read.
//
// Keys map through a US layout, as readers type: Shift (left or right) held
// across keys, letters always upper case, both Enter keys give CR, and Alt
// with keypad digits gives the character of that code. A press types; a
// release or an autorepeat types nothing. EV_MSC and other events are ignored.
// A SYN_DROPPED means the kernel lost events: it is passed on as a lost mark,
// and the events up to the next SYN_REPORT are skipped.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace msr {

struct KeyText {
    QByteArray text;
    bool lost = false; // events were lost after text
};

class KeyDecoder {
public:
    // Whole records from the bytes; part of a record waits for the rest.
    QList<KeyText> feed(QByteArrayView bytes);
    // Forgets a part record and the keys held (a new fd).
    void reset() { *this = KeyDecoder(); }

private:
    void event(unsigned type, unsigned code, int value, QList<KeyText> &out);

    QByteArray m_partial;
    bool m_leftShift = false, m_rightShift = false;
    bool m_alt = false;
    int m_altCode = -1; // keypad digits typed while Alt is held
    bool m_skipping = false;
};

} // namespace msr
