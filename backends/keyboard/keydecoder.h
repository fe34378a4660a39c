// SPDX-License-Identifier: MIT
// The key events of a keyboard-type reader, read from its evdev node, as the
// characters it typed: struct input_event records (sizeof(input_event), 24
// bytes on amd64) in, text out. Pure: the service feeds it what it read.
//
// Keys map through the reader's keyboard layout (backends/keyboard/keylayout.h)
// as libxkbcommon defines it: Shift (left or right) held across keys, AltGr,
// Caps Lock, and dead keys composed with the next key (dead circumflex and
// Space give ^). Letters are always upper case, as readers type them; the
// keypad types digits; both Enter keys give CR; a character past Latin-1
// gives SUB (0x1A). An Alt key (not AltGr) with keypad digits gives the
// character of that code. A press types; a release or an autorepeat types
// nothing. EV_MSC and other events are ignored.
// A SYN_DROPPED means the kernel lost events: it is passed on as a lost mark,
// and the events up to the next SYN_REPORT are skipped.
//
// A reader holds no modifier across swipes, so a lost key release spoils at
// most the swipe it happened in: Shift, Alt and a pending Alt code are
// dropped at every Enter and when a key event comes more than the idle gap
// after the one before (by the events' time stamps, so a gap is seen even
// when Alt has eaten every key). A lost mark is passed on when Alt eats a key
// that is no keypad digit (a reader types nothing else under Alt), and when
// a Shift goes down while a Shift is held and has shifted text since it went
// down (a release was lost, and that text may be wrong). Alt going down
// while held with a code pending types the code, as its lost release would.
// Dropping the modifiers starts the layout's state afresh (Num Lock on), a
// dead key pending included.
#pragma once

#include "backends/keyboard/keylayout.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <memory>

struct xkb_state;
struct xkb_compose_state;

namespace msr {

struct KeyText {
    QByteArray text;
    bool lost = false; // events were lost after text
};

class KeyDecoder {
public:
    explicit KeyDecoder(std::shared_ptr<const KeyLayout> layout, int gapMs = 150);
    ~KeyDecoder();
    KeyDecoder(const KeyDecoder &) = delete;
    KeyDecoder &operator=(const KeyDecoder &) = delete;

    // Whole records from the bytes; part of a record waits for the rest.
    QList<KeyText> feed(QByteArrayView bytes);
    // Forgets a part record and the keys held (a new fd).
    void reset();

private:
    void event(unsigned type, unsigned code, int value, qint64 timeUs, QList<KeyText> &out);
    void dropModifiers();
    QByteArray typed(unsigned code);

    std::shared_ptr<const KeyLayout> m_layout;
    xkb_state *m_state = nullptr;
    xkb_compose_state *m_compose = nullptr;
    qint64 m_gapUs;
    QByteArray m_partial;
    bool m_leftShift = false, m_rightShift = false;
    bool m_shiftedText = false; // text typed under Shift since a Shift went down
    bool m_alt = false;
    int m_altCode = -1;      // keypad digits typed while Alt is held
    bool m_altAte = false;   // Alt has eaten a key, and said so
    qint64 m_lastKeyUs = -1; // time stamp of the last key event
    bool m_skipping = false;
};

} // namespace msr
