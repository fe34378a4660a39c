// SPDX-License-Identifier: MIT
#include "backends/keyboard/keydecoder.h"

#include <linux/input.h>

#include <cstring>
#include <utility>

namespace msr {

namespace {

// Runs of consecutive key codes on a US keyboard: unshifted, shifted.
struct Row {
    unsigned first;
    const char *plain;
    const char *shifted;
};
constexpr Row kRows[] = {
    {KEY_1, "1234567890-=", "!@#$%^&*()_+"},     {KEY_Q, "QWERTYUIOP[]", "QWERTYUIOP{}"},
    {KEY_A, "ASDFGHJKL;'`", "ASDFGHJKL:\"~"},    {KEY_BACKSLASH, "\\ZXCVBNM,./", "|ZXCVBNM<>?"},
    {KEY_KP7, "789-456+1230.", "789-456+1230."},
};

char typed(unsigned code, bool shift)
{
    for (const Row &row : kRows) {
        const std::size_t length = std::strlen(row.plain);
        if (code >= row.first && code < row.first + length)
            return (shift ? row.shifted : row.plain)[code - row.first];
    }
    switch (code) {
    case KEY_SPACE:
        return ' ';
    case KEY_TAB:
        return '\t';
    case KEY_ENTER:
    case KEY_KPENTER:
        return '\r';
    case KEY_ESC:
        return '\x1b';
    case KEY_KPASTERISK:
        return '*';
    case KEY_KPSLASH:
        return '/';
    default:
        return 0; // modifiers and keys a reader does not type
    }
}

int keypadDigit(unsigned code)
{
    static constexpr unsigned kDigits[] = {KEY_KP0, KEY_KP1, KEY_KP2, KEY_KP3, KEY_KP4,
                                           KEY_KP5, KEY_KP6, KEY_KP7, KEY_KP8, KEY_KP9};
    for (int d = 0; d < 10; ++d) {
        if (code == kDigits[d])
            return d;
    }
    return -1;
}

// Events were lost after the text so far.
void lose(QList<KeyText> &out)
{
    out.last().lost = true;
    out.append(KeyText{});
}

} // namespace

QList<KeyText> KeyDecoder::feed(QByteArrayView bytes)
{
    QList<KeyText> out{KeyText{}};
    m_partial += bytes;
    qsizetype at = 0;
    for (; m_partial.size() - at >= qsizetype(sizeof(input_event)); at += sizeof(input_event)) {
        input_event ev{};
        std::memcpy(&ev, m_partial.constData() + at, sizeof ev);
        const qint64 us = qint64(ev.input_event_sec) * 1000000 + ev.input_event_usec;
        event(ev.type, ev.code, ev.value, us, out);
    }
    m_partial.remove(0, at);
    if (out.last().text.isEmpty() && !out.last().lost)
        out.removeLast();
    return out;
}

void KeyDecoder::dropModifiers()
{
    m_leftShift = m_rightShift = m_shiftedText = false;
    m_alt = m_altAte = false;
    m_altCode = -1;
}

void KeyDecoder::event(unsigned type, unsigned code, int value, qint64 timeUs, QList<KeyText> &out)
{
    if (type == EV_SYN) {
        if (code == SYN_DROPPED) {
            lose(out);
            // What was held is unknown now; a reader holds nothing between characters.
            dropModifiers();
            m_skipping = true;
        } else if (code == SYN_REPORT) {
            m_skipping = false;
        }
        return;
    }
    if (type != EV_KEY || m_skipping)
        return;
    // A clock set back counts as a gap too.
    if (m_lastKeyUs >= 0 && (timeUs - m_lastKeyUs > m_gapUs || timeUs < m_lastKeyUs))
        dropModifiers();
    m_lastKeyUs = timeUs;
    if (value == 2)
        return;
    const bool down = value != 0;
    switch (code) {
    case KEY_LEFTSHIFT:
    case KEY_RIGHTSHIFT:
        if (down && (m_leftShift || m_rightShift) && m_shiftedText) {
            lose(out);
            m_leftShift = m_rightShift = false;
        }
        if (down)
            m_shiftedText = false;
        (code == KEY_LEFTSHIFT ? m_leftShift : m_rightShift) = down;
        return;
    case KEY_LEFTALT:
    case KEY_RIGHTALT:
        if (m_alt && m_altCode >= 0)
            out.last().text += char(m_altCode & 0xff);
        m_alt = down;
        m_altCode = -1;
        m_altAte = false;
        return;
    default:
        break;
    }
    if (!down)
        return;
    const bool enter = code == KEY_ENTER || code == KEY_KPENTER;
    if (m_alt && !enter) {
        if (const int digit = keypadDigit(code); digit >= 0)
            m_altCode = (m_altCode < 0 ? 0 : m_altCode % 1000) * 10 + digit;
        else if (!std::exchange(m_altAte, true))
            lose(out);
        return;
    }
    const bool shift = m_leftShift || m_rightShift;
    if (const char c = typed(code, shift)) {
        out.last().text += c;
        m_shiftedText = m_shiftedText || shift;
    }
    if (enter)
        dropModifiers();
}

} // namespace msr
