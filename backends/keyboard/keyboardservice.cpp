// SPDX-License-Identifier: MIT
#include "backends/keyboard/keyboardservice.h"

#include "reader/opos.h"

#include <QTimer>

#include <linux/input.h>

namespace msr {

std::optional<KeyboardSettings> keyboardSettings(const DeviceEntry &entry, QString *error)
{
    QString fault = checkOptionKeys(entry, {"device", "gap", "lrc"}, {"device"});
    KeyboardSettings settings;
    if (fault.isEmpty() &&
        readTextReaderOptions(entry, "/dev/input/by-id/usb-...-event-kbd", &settings, &fault))
        return settings;
    if (error)
        *error = fault;
    return std::nullopt;
}

KeyboardService::KeyboardService(const QString &name, KeyboardSettings settings,
                                 DeviceOpener opener, std::unique_ptr<DeviceOps> ops,
                                 QObject *parent)
    : MsrService(parent), m_settings(std::move(settings)),
      m_ops(ops ? std::move(ops) : evdevDeviceOps()),
      m_pump(new DevicePump(name, m_settings.device, std::move(opener), this)),
      m_gap(new QTimer(this)), m_swipes(m_settings.text)
{
    m_pump->setReadSize(64 * int(sizeof(input_event)));
    m_pump->setPrepare([this](int fd, const QString &, QString *) { return m_ops->grab(fd); });
    m_pump->setAccessHint([](const QString &path) { return groupAccessHint(path, "input"); });
    m_pump->setUnprepare([this](int fd) { m_ops->ungrab(fd); });
    connect(m_pump, &DevicePump::dataRead, this, &KeyboardService::take);
    connect(m_pump, &DevicePump::wentAway, this, &KeyboardService::readerGone);
    connect(m_pump, &DevicePump::cameBack, this, [this] { m_keys.reset(); });
    m_gap->setSingleShot(true);
    m_gap->setInterval(m_settings.gapMs);
    connect(m_gap, &QTimer::timeout, this, [this] { report(m_swipes.flush()); });
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
    m_swipes.clear();
    return m_pump->open(timeout);
}

void KeyboardService::release()
{
    m_pump->close();
    m_gap->stop();
    m_swipes.clear();
    m_keys.reset();
}

void KeyboardService::take(const QByteArray &bytes)
{
    for (const KeyText &piece : m_keys.feed(bytes)) {
        report(m_swipes.feed(piece.text));
        if (piece.lost)
            m_swipes.markDamaged();
    }
    if (m_swipes.pending())
        m_gap->start(); // from the last key
    else
        m_gap->stop();
}

void KeyboardService::readerGone()
{
    m_keys.reset();
    m_gap->stop();
    if (m_swipes.pending())
        m_swipes.markDamaged();
    report(m_swipes.flush());
}

void KeyboardService::report(const QList<TextSwipe> &swipes)
{
    for (const TextSwipe &swipe : swipes)
        reportSwipe(m_nextSwipe++, swipe.read);
}

std::unique_ptr<MsrService> createKeyboardService(const DeviceEntry &entry, QString *error)
{
    const std::optional<KeyboardSettings> settings = keyboardSettings(entry, error);
    if (!settings)
        return nullptr;
    return std::make_unique<KeyboardService>(entry.name, *settings);
}

} // namespace msr
