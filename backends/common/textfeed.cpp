// SPDX-License-Identifier: MIT
#include "backends/common/textfeed.h"

#include "reader/runtimepaths.h"

#include <QTimer>

#include <utility>

namespace msr {

TextFeed::TextFeed(const QString &name, const TextReaderSettings &settings, Deliver deliverTo,
                   QObject *owner)
    : m_name(name), m_deliver(std::move(deliverTo)), m_gap(owner ? new QTimer(owner) : nullptr),
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
    deliver(m_swipes.flush(true));
}

void TextFeed::clear(bool expectSignOn)
{
    if (m_gap)
        m_gap->stop();
    m_swipes.clear();
    if (expectSignOn)
        m_swipes.expectSignOn();
    else
        m_saidNoLrc = false; // a claim begins or ends
}

void TextFeed::setHeld(bool held)
{
    m_held = held;
    restartGap();
}

void TextFeed::deliver(const QList<TextSwipe> &swipes)
{
    for (const TextSwipe &swipe : swipes) {
        if (swipe.ignored)
            sayOnStderr(QStringLiteral("%1: ignored %2 byte%3 %4")
                            .arg(m_name)
                            .arg(swipe.ignored)
                            .arg(swipe.ignored == 1 ? "" : "s",
                                 swipe.card ? "of noise outside the tracks of a swipe"
                                            : "of noise: no track, so no swipe"));
        if (swipe.lrcMissing && !std::exchange(m_saidNoLrc, true))
            sayOnStderr(m_name +
                        QStringLiteral(": a track came without the LRC character that lrc=yes in "
                                       "the device list expects; the reader may not send one (if "
                                       "so, set lrc=no)"));
        if (swipe.card)
            m_deliver(swipe.read);
    }
}

void TextFeed::restartGap()
{
    if (!m_gap)
        return;
    if (m_swipes.pending() && !m_held)
        m_gap->start();
    else
        m_gap->stop();
}

} // namespace msr
