// SPDX-License-Identifier: MIT
// A keyboard layout compiled by libxkbcommon, shared by the decoders that
// use it: the keymap (rules "evdev", one layout and its variant) and the
// compose table of the user's locale, for the layout's dead keys.
#pragma once

#include <QString>

#include <memory>

struct xkb_keymap;
struct xkb_compose_table;

namespace msr {

class KeyLayout {
public:
    // nullptr with *fault naming the layout when libxkbcommon has no such
    // layout or variant. Names are XKB names: "us", "fr", "de" with "nodeadkeys".
    static std::shared_ptr<const KeyLayout> compile(const QString &layout, const QString &variant,
                                                    QString *fault);
    ~KeyLayout();
    KeyLayout(const KeyLayout &) = delete;
    KeyLayout &operator=(const KeyLayout &) = delete;

    const QString &layout() const { return m_layout; }
    const QString &variant() const { return m_variant; }
    xkb_keymap *keymap() const { return m_keymap; }
    xkb_compose_table *compose() const { return m_compose; } // nullptr: no table for the locale
    // The key is an Alt key in this layout (not AltGr): it starts an Alt code.
    bool isAlt(unsigned evdevCode) const;

private:
    KeyLayout() = default;
    QString m_layout, m_variant;
    xkb_keymap *m_keymap = nullptr;
    xkb_compose_table *m_compose = nullptr;
};

} // namespace msr
