// SPDX-License-Identifier: MIT
#include "backends/common/textfeed.h"

#include <QTimer>

namespace msr {

TextFeed::TextFeed(const TextReaderSettings &settings, Deliver deliverTo, QObject *owner)
    : m_deliver(std::move(deliverTo)), m_gap(new QTimer(owner)), m_swipes(settings.text)
{
    m_gap->setSingleShot(true);
    m_gap->setInterval(settings.gapMs);
    QObject::connect(m_gap, &QTimer::timeout, owner, [this] { deliver(m_swipes.flush()); });
}

void TextFeed::feed(QByteArrayView bytes)
{
    deliver(m_swipes.feed(bytes));
    restartGap();
}

void TextFeed::markDamaged()
{
    m_swipes.markDamaged();
    restartGap();
}

void TextFeed::readerGone()
{
    m_gap->stop();
    if (m_swipes.pending())
        m_swipes.markDamaged();
    deliver(m_swipes.flush());
}

void TextFeed::clear(bool expectSignOn)
{
    m_gap->stop();
    m_swipes.clear();
    if (expectSignOn)
        m_swipes.expectSignOn();
}

void TextFeed::setHeld(bool held)
{
    m_held = held;
    restartGap();
}

void TextFeed::deliver(const QList<TextSwipe> &swipes)
{
    for (const TextSwipe &swipe : swipes)
        m_deliver(swipe.read);
}

void TextFeed::restartGap()
{
    if (m_swipes.pending() && !m_held)
        m_gap->start();
    else
        m_gap->stop();
}

} // namespace msr
