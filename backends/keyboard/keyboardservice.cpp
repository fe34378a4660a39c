// SPDX-License-Identifier: MIT
#include "backends/keyboard/keyboardservice.h"

#include "reader/opos.h"

#include <cstring>
#include <linux/input.h>

namespace msr {

std::optional<KeyboardSettings> keyboardSettings(const DeviceEntry &entry, QString *error)
{
    QString fault =
        checkOptionKeys(entry, {"device", "gap", "lrc", "grab", "layout", "variant"}, {"device"});
    KeyboardSettings settings;
    if (fault.isEmpty() &&
        readTextReaderOptions(entry, "/dev/input/by-id/usb-...-event-kbd", &settings, &fault)) {
        const std::optional<bool> grab = boolOption(entry, "grab", true, &fault);
        if (grab)
            settings.layout = KeyLayout::compile(
                entry.options.value(QStringLiteral("layout"), QStringLiteral("us")),
                entry.options.value(QStringLiteral("variant")), &fault);
        if (grab && settings.layout) {
            settings.grab = *grab;
            return settings;
        }
    }
    if (error)
        *error = fault;
    return std::nullopt;
}

KeyboardService::KeyboardService(const QString &name, KeyboardSettings settings, QObject *parent)
    : MsrService(parent), m_settings(std::move(settings)), m_ops(evdevDeviceOps()),
      m_pump(new DevicePump(name, m_settings.device, QStringLiteral("input"), {}, this)),
      m_text(
          name, m_settings, [this](const SwipeRead &swipe) { m_hold.offer(swipe); }, this),
      m_hold(
          name, [this](quint64 id, const SwipeRead &swipe) { return reportSwipe(id, swipe); },
          [this](bool holding) {
              m_text.setHeld(holding);
              m_pump->setPaused(holding);
          },
          this),
      m_keys(m_settings.layout, m_settings.gapMs)
{
    m_pump->setReadSize(64 * int(sizeof(input_event)));
    m_pump->setPrepare([this](int fd, const QString &, QString *) {
        return m_settings.grab ? m_ops->grab(fd) : 0;
    });
    m_pump->setAccessHint([](const QString &path) { return groupAccessHint(path, "input"); });
    m_pump->setUnprepare([this](int fd) {
        if (m_settings.grab)
            m_ops->ungrab(fd);
    });
    connect(m_pump, &DevicePump::dataRead, this, &KeyboardService::take);
    connect(m_pump, &DevicePump::wentAway, this, &KeyboardService::readerGone);
    connect(m_pump, &DevicePump::cameBack, this, [this] {
        m_keys.reset();
        tapRead({RawRead::Type::Back, 0, {}, {}, -1, {}});
    });
}

KeyboardService::~KeyboardService()
{
    release();
}

std::int32_t KeyboardService::claim(std::int32_t timeout)
{
    if (m_pump->isOpen())
        return opos::OPOS_SUCCESS;
    m_keys.reset();
    m_text.clear();
    return m_pump->open(timeout);
}

void KeyboardService::release()
{
    m_pump->close();
    m_hold.clear(QString::fromLatin1(reason::kReleased));
    m_text.clear();
    m_keys.reset();
}

void KeyboardService::swipeFinished(quint64, bool delivered, const QString &reason)
{
    m_hold.finished(delivered, reason);
}

void KeyboardService::take(const QByteArray &bytes)
{
    typeKeys(m_keys, m_text, bytes, [&](const QByteArray &typed, int presses) {
        tapRead({RawRead::Type::Read, 0, bytes, typed, presses, {}});
    });
}

void KeyboardService::readerGone()
{
    tapRead({RawRead::Type::Gone, 0, {}, {}, -1, {}});
    m_keys.reset();
    m_text.readerGone();
}

void typeKeys(KeyDecoder &keys, TextFeed &text, QByteArrayView records,
              const std::function<void(const QByteArray &typed, int presses)> &tap)
{
    const QList<KeyText> pieces = keys.feed(records);
    QByteArray typed;
    for (const KeyText &piece : pieces)
        typed += piece.text;
    tap(typed, keyPresses(records));
    for (const KeyText &piece : pieces) {
        text.feed(piece.text);
        if (piece.lost)
            text.markDamaged();
    }
}

int keyPresses(QByteArrayView records)
{
    int presses = 0;
    for (qsizetype at = 0; at + qsizetype(sizeof(input_event)) <= records.size();
         at += sizeof(input_event)) {
        input_event ev{};
        std::memcpy(&ev, records.data() + at, sizeof ev);
        presses += ev.type == EV_KEY && ev.value == 1;
    }
    return presses;
}

RawSource KeyboardService::rawSource() const
{
    RawSource source = textRawSource("keyboard", m_settings);
    source.settings << std::pair(QStringLiteral("layout"), m_settings.layout->layout());
    if (!m_settings.layout->variant().isEmpty())
        source.settings << std::pair(QStringLiteral("variant"), m_settings.layout->variant());
    return source;
}

std::unique_ptr<MsrService> createKeyboardService(const DeviceEntry &entry, QString *error)
{
    const std::optional<KeyboardSettings> settings = keyboardSettings(entry, error);
    if (!settings)
        return nullptr;
    return std::make_unique<KeyboardService>(entry.name, *settings);
}

} // namespace msr
