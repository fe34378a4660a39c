// SPDX-License-Identifier: MIT
#include "backends/common/textfeed.h"

#include <QTimer>

namespace msr {

TextFeed::TextFeed(const TextReaderSettings &settings, Deliver deliverTo, QObject *owner)
    : m_deliver(std::move(deliverTo)), m_gap(owner ? new QTimer(owner) : nullptr),
      m_swipes(settings.text)
{
    if (!m_gap)
        return;
    m_gap->setSingleShot(true);
    m_gap->setInterval(settings.gapMs);
    QObject::connect(m_gap, &QTimer::timeout, owner, [this] { gapPassed(); });
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
    if (m_gap)
        m_gap->stop();
    if (m_swipes.pending())
        m_swipes.markDamaged();
    deliver(m_swipes.flush());
}

void TextFeed::clear(bool expectSignOn)
{
    if (m_gap)
        m_gap->stop();
    m_swipes.clear();
    if (expectSignOn)
        m_swipes.expectSignOn();
}

void TextFeed::deliver(const QList<TextSwipe> &swipes)
{
    for (const TextSwipe &swipe : swipes)
        m_deliver(m_nextSwipe++, swipe.read);
}

void TextFeed::restartGap()
{
    if (!m_gap)
        return;
    if (m_swipes.pending())
        m_gap->start();
    else
        m_gap->stop();
}

} // namespace msr
