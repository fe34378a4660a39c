// SPDX-License-Identifier: MIT
#include "backends/keyboard/keydecoder.h"

#include <linux/input.h>
#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>

#include <cstring>
#include <utility>

namespace msr {

namespace {

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

// A character as the reader's text: Latin-1, letters upper case.
QByteArray latin1(const char *utf8)
{
    QByteArray out;
    for (const QChar c : QString::fromUtf8(utf8)) {
        const ushort u = c.unicode();
        out += u > 0xff ? '\x1a' : u >= 'a' && u <= 'z' ? char(u - 'a' + 'A') : char(u);
    }
    return out;
}

} // namespace

KeyDecoder::KeyDecoder(std::shared_ptr<const KeyLayout> layout, int gapMs)
    : m_layout(std::move(layout)), m_gapUs(qint64(gapMs) * 1000)
{
    dropModifiers();
}

KeyDecoder::~KeyDecoder()
{
    xkb_compose_state_unref(m_compose);
    xkb_state_unref(m_state);
}

void KeyDecoder::reset()
{
    m_partial.clear();
    m_lastKeyUs = -1;
    m_skipping = false;
    dropModifiers();
}

QByteArray KeyDecoder::typed(unsigned code)
{
    const xkb_keycode_t key = code + 8;
    if (m_compose) {
        const xkb_keysym_t sym = xkb_state_key_get_one_sym(m_state, key);
        if (xkb_compose_state_feed(m_compose, sym) == XKB_COMPOSE_FEED_ACCEPTED) {
            switch (xkb_compose_state_get_status(m_compose)) {
            case XKB_COMPOSE_COMPOSING:
                return {};
            case XKB_COMPOSE_COMPOSED: {
                char utf8[64];
                xkb_compose_state_get_utf8(m_compose, utf8, sizeof utf8);
                xkb_compose_state_reset(m_compose);
                return latin1(utf8);
            }
            case XKB_COMPOSE_CANCELLED:
                // As a desktop does: the key that matched no sequence types nothing.
                xkb_compose_state_reset(m_compose);
                return {};
            case XKB_COMPOSE_NOTHING:
                break;
            }
        }
    }
    char utf8[64];
    xkb_state_key_get_utf8(m_state, key, utf8, sizeof utf8);
    return latin1(utf8);
}

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
    xkb_state_unref(m_state);
    xkb_keymap *keymap = m_layout->keymap();
    m_state = xkb_state_new(keymap);
    // Readers type digits on the keypad: Num Lock is on.
    const xkb_mod_index_t num = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_NUM);
    if (num != XKB_MOD_INVALID)
        xkb_state_update_mask(m_state, 0, 0, xkb_mod_mask_t(1) << num, 0, 0, 0);
    xkb_compose_state_unref(m_compose);
    m_compose = m_layout->compose()
                    ? xkb_compose_state_new(m_layout->compose(), XKB_COMPOSE_STATE_NO_FLAGS)
                    : nullptr;
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
    if (code == KEY_LEFTSHIFT || code == KEY_RIGHTSHIFT) {
        if (down && (m_leftShift || m_rightShift) && m_shiftedText) {
            lose(out);
            const bool alt = m_alt, ate = m_altAte;
            const int altCode = m_altCode;
            dropModifiers(); // the Shift keys, and what the layout holds with them
            m_alt = alt, m_altAte = ate, m_altCode = altCode;
        }
        if (down)
            m_shiftedText = false;
        (code == KEY_LEFTSHIFT ? m_leftShift : m_rightShift) = down;
    } else if (m_layout->isAlt(code)) {
        if (m_alt && m_altCode >= 0)
            out.last().text += char(m_altCode & 0xff);
        m_alt = down;
        m_altCode = -1;
        m_altAte = false;
        return; // Alt codes are this decoder's: the layout never sees Alt
    }
    // Shift, AltGr, Caps Lock and the rest as the layout defines them.
    const auto update = [&] {
        xkb_state_update_key(m_state, code + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    };
    if (!down || code == KEY_LEFTSHIFT || code == KEY_RIGHTSHIFT) {
        update();
        return;
    }
    const bool enter = code == KEY_ENTER || code == KEY_KPENTER;
    if (m_alt && !enter) {
        if (const int digit = keypadDigit(code); digit >= 0)
            m_altCode = (m_altCode < 0 ? 0 : m_altCode % 1000) * 10 + digit;
        else if (!std::exchange(m_altAte, true))
            lose(out);
        update();
        return;
    }
    if (enter) {
        out.last().text += '\r';
        dropModifiers();
        return;
    }
    const QByteArray text = typed(code);
    update();
    out.last().text += text;
    m_shiftedText = m_shiftedText || (!text.isEmpty() && (m_leftShift || m_rightShift));
}

} // namespace msr
