// SPDX-License-Identifier: MIT
#include "backends/keyboard/keylayout.h"

#include "reader/deviceoptions.h"

#include <QRegularExpression>

#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>

namespace msr {

namespace {

// The locale whose compose table the user types with, as libxkbcommon asks.
const char *composeLocale()
{
    for (const char *name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return "C";
}

} // namespace

std::shared_ptr<const KeyLayout> KeyLayout::compile(const QString &layout, const QString &variant,
                                                    QString *fault)
{
    const auto fail = [&](const QString &why) {
        *fault = why;
        return nullptr;
    };
    // One plain name each: a comma would ask for several layouts, a slash for
    // a file outside the layout folders.
    static const QRegularExpression kName(QStringLiteral("^[A-Za-z0-9_-]+$"));
    const QString asked = variant.isEmpty() ? layout : layout + '(' + variant + ')';
    if (!kName.match(layout).hasMatch() || (!variant.isEmpty() && !kName.match(variant).hasMatch()))
        return fail(QStringLiteral("no keyboard layout %1: layout= and variant= take one XKB "
                                   "name each, such as us, fr or de")
                        .arg(quoted(asked)));
    // The environment's XKB_DEFAULT_* must not stand in for what the list says.
    xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!context)
        return fail(QStringLiteral("libxkbcommon could not start"));
    xkb_context_set_log_level(context, XKB_LOG_LEVEL_CRITICAL); // the fault is said below, once
    const QByteArray layoutName = layout.toLatin1(), variantName = variant.toLatin1();
    const xkb_rule_names names{"evdev", "pc105", layoutName.constData(), variantName.constData(),
                               ""};
    std::shared_ptr<KeyLayout> out(new KeyLayout);
    out->m_layout = layout;
    out->m_variant = variant;
    out->m_keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    // Some libxkbcommon versions fall back to a default for an unknown name:
    // a keymap without exactly one named layout is not the one asked for.
    if (!out->m_keymap || xkb_keymap_num_layouts(out->m_keymap) != 1 ||
        !xkb_keymap_layout_get_name(out->m_keymap, 0)) {
        xkb_context_unref(context);
        return fail(QStringLiteral("no keyboard layout %1 in the XKB data (/usr/share/X11/xkb)")
                        .arg(quoted(asked)));
    }
    out->m_compose =
        xkb_compose_table_new_from_locale(context, composeLocale(), XKB_COMPOSE_COMPILE_NO_FLAGS);
    if (!out->m_compose)
        out->m_compose =
            xkb_compose_table_new_from_locale(context, "C", XKB_COMPOSE_COMPILE_NO_FLAGS);
    xkb_context_unref(context); // the keymap and table hold their own reference
    return out;
}

KeyLayout::~KeyLayout()
{
    xkb_compose_table_unref(m_compose);
    xkb_keymap_unref(m_keymap);
}

bool KeyLayout::isAlt(unsigned evdevCode) const
{
    const xkb_keysym_t *syms = nullptr;
    const int n = xkb_keymap_key_get_syms_by_level(m_keymap, evdevCode + 8, 0, 0, &syms);
    for (int i = 0; i < n; ++i) {
        if (syms[i] == XKB_KEY_Alt_L || syms[i] == XKB_KEY_Alt_R || syms[i] == XKB_KEY_Meta_L ||
            syms[i] == XKB_KEY_Meta_R)
            return true;
    }
    return false;
}

} // namespace msr
