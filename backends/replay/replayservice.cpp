// SPDX-License-Identifier: MIT
#include "backends/replay/replayservice.h"

#include "backends/hid/hidreport.h"
#include "backends/hid/hidservice.h"
#include "backends/keyboard/keyboardservice.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QDir>
#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace msr::replay {

namespace {

// While the control takes no swipe: how often to offer it again.
constexpr int kRetryMs = 20;
// Between the end and the top again, so a recording of instants cannot spin.
constexpr int kLoopPauseMs = 100;

TextReaderSettings textSettings(const Header &header)
{
    TextReaderSettings settings;
    settings.device = header.device;
    settings.gapMs = header.gapMs;
    settings.text.lrc = header.lrc;
    return settings;
}

std::optional<hid::TrackLayout> layoutOf(const QByteArray &descriptor, QString *why)
{
    const hid::Descriptor d =
        hid::parseDescriptor(reinterpret_cast<const std::uint8_t *>(descriptor.constData()),
                             std::size_t(descriptor.size()));
    if (!d.error.isEmpty()) {
        *why = d.error;
        return std::nullopt;
    }
    return hid::findTrackLayout(d, why);
}

std::optional<QByteArray> readRecording(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    const auto fail = [&](const QString &why) {
        *error = QStringLiteral("cannot read the recording %1: %2").arg(path, why);
        if (fd >= 0)
            ::close(fd);
        return std::nullopt;
    };
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    // A FIFO or a device could block Open for good, or never end.
    if (!S_ISREG(st.st_mode))
        return fail(QStringLiteral("not a regular file"));
    if (st.st_size > kMaxRecordingBytes)
        return fail(QStringLiteral("larger than %1 MiB").arg(kMaxRecordingBytes >> 20));
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return fail(file.errorString());
    // Read no more than the limit, should the file grow meanwhile.
    return file.read(kMaxRecordingBytes + 1);
}

} // namespace

ReplayService::ReplayService(QString name, Recording recording,
                             std::shared_ptr<const KeyLayout> keys, double speed, bool loop,
                             QObject *parent)
    : MsrService(parent), m_name(std::move(name)), m_recording(std::move(recording)),
      m_speed(speed), m_loop(loop), m_step(new QTimer(this)), m_retry(new QTimer(this)),
      m_text(
          m_name, textSettings(m_recording.header),
          [this](const SwipeRead &swipe) { offer(m_nextSwipe++, swipe); }, nullptr),
      m_keys(std::move(keys), m_recording.header.gapMs)
{
    m_step->setSingleShot(true);
    m_step->setTimerType(Qt::PreciseTimer);
    connect(m_step, &QTimer::timeout, this, &ReplayService::advance);
    m_retry->setSingleShot(true);
    m_retry->setInterval(kRetryMs);
    connect(m_retry, &QTimer::timeout, this, &ReplayService::resume);
}

ReplayService::~ReplayService()
{
    release();
}

std::int32_t ReplayService::claim(std::int32_t)
{
    if (m_claimed)
        return opos::OPOS_SUCCESS;
    m_claimed = true;
    m_inFlight.reset();
    restart();
    return opos::OPOS_SUCCESS;
}

void ReplayService::release()
{
    m_claimed = m_running = false;
    m_step->stop();
    m_retry->stop();
    m_held.clear();
    m_inFlight.reset();
}

void ReplayService::swipeFinished(quint64 id, bool, const QString &)
{
    if (m_inFlight != id)
        return;
    m_inFlight.reset();
    if (!m_held.empty())
        m_retry->start(0); // not from inside the control's delivery
}

RawSource ReplayService::rawSource() const
{
    const Header &h = m_recording.header;
    if (h.kind == u"hid")
        return hid::hidRawSource(h.device, m_descriptor, m_layout);
    RawSource source = textRawSource(h.kind == u"serial" ? "serial" : "keyboard", textSettings(h));
    if (!h.baud.isEmpty())
        source.settings << std::pair(QStringLiteral("baud"), h.baud);
    if (!h.format.isEmpty())
        source.settings << std::pair(QStringLiteral("format"), h.format);
    if (h.kind == u"keyboard") {
        source.settings << std::pair(QStringLiteral("layout"), h.layout);
        if (!h.variant.isEmpty())
            source.settings << std::pair(QStringLiteral("variant"), h.variant);
    }
    return source;
}

// From the top, the decoders as the reader's service has them just after it
// opened the reader.
void ReplayService::restart(int pauseMs)
{
    m_held.clear();
    m_keys.reset();
    m_text.clear(m_recording.header.kind == u"serial"); // a port may first send a sign-on line
    m_descriptor = m_recording.header.descriptor;
    if (m_recording.header.kind == u"hid") {
        QString why;
        m_layout = layoutOf(m_descriptor, &why).value_or(hid::TrackLayout{}); // checked at Open
    }
    m_next = 0;
    m_at = 0;
    m_base = -qint64(pauseMs * 1000 * m_speed); // the time line reaches 0 after the pause
    m_gapDue.reset();
    m_running = true;
    m_clock.start();
    m_step->start(pauseMs);
}

qint64 ReplayService::recordedNow() const
{
    return m_base + qint64(double(m_clock.nsecsElapsed()) / 1000.0 * m_speed);
}

void ReplayService::advance()
{
    while (m_claimed && m_running) {
        if (!m_held.empty()) {
            // Paused at the swipe the control has not taken; resume() goes on from here.
            m_running = false;
            return;
        }
        const bool more = m_next < m_recording.steps.size();
        if (!more && !m_gapDue) {
            if (!m_loop || m_recording.steps.isEmpty()) {
                m_running = false;
                return;
            }
            restart(kLoopPauseMs);
            return;
        }
        const qint64 stepAt = more ? m_recording.steps[m_next].atUs : 0;
        const bool gapFirst = m_gapDue && (!more || *m_gapDue <= stepAt);
        const qint64 due = gapFirst ? *m_gapDue : stepAt;
        const qint64 now = recordedNow();
        if (due > now) {
            const double wallUs = double(due - now) / m_speed;
            m_step->start(int(std::min(std::ceil(wallUs / 1000.0), 1e9)));
            return;
        }
        m_at = due;
        if (gapFirst) {
            m_gapDue.reset();
            m_text.gapPassed();
            continue;
        }
        play(m_recording.steps[m_next++]);
    }
}

void ReplayService::play(const Step &step)
{
    const QString &kind = m_recording.header.kind;
    if (kind == u"hid" && step.descriptor) {
        QString why;
        m_descriptor = step.bytes;
        m_layout = layoutOf(m_descriptor, &why).value_or(hid::TrackLayout{});
        return;
    }
    RawRead raw{step.type, 0, step.bytes, {}, -1, {}};
    if (kind == u"hid") {
        tapRead(raw);
        if (step.type != RawRead::Type::Read)
            return;
        const hid::DecodedReport decoded =
            hid::decodeReport(m_layout, reinterpret_cast<const std::uint8_t *>(step.bytes.data()),
                              std::size_t(step.bytes.size()));
        for (const QString &fault : decoded.faults)
            sayOnStderr(QStringLiteral("%1: bad report from the reader: %2").arg(m_name, fault));
        if (decoded.swipe)
            offer(m_nextSwipe++, *decoded.swipe);
        return;
    }
    // The text readers, as their services do it.
    switch (step.type) {
    case RawRead::Type::Gone:
        tapRead(raw);
        m_keys.reset();
        m_text.readerGone();
        break;
    case RawRead::Type::Back:
        tapRead(raw);
        m_keys.reset();
        if (kind == u"serial")
            m_text.clear(true);
        break;
    case RawRead::Type::Read:
        if (kind == u"serial") {
            raw.text = step.bytes;
            tapRead(raw);
            m_text.feed(step.bytes);
            break;
        }
        typeKeys(m_keys, m_text, step.bytes, [&](const QByteArray &typed, int presses) {
            raw.text = typed;
            raw.keys = presses;
            tapRead(raw);
        });
        break;
    }
    if (m_text.pending())
        m_gapDue = m_at + qint64(m_recording.header.gapMs) * 1000;
    else
        m_gapDue.reset();
}

void ReplayService::offer(quint64 id, const SwipeRead &swipe)
{
    m_held.emplace_back(id, swipe);
    sendHeld();
}

bool ReplayService::sendHeld()
{
    if (m_held.empty())
        return true;
    if (m_inFlight)
        return false; // swipeFinished() sends it
    if (!reportSwipe(m_held.front().first, m_held.front().second).accepted) {
        m_retry->start();
        return false;
    }
    m_inFlight = m_held.front().first;
    m_held.pop_front();
    return m_held.empty();
}

void ReplayService::resume()
{
    if (!m_claimed || !sendHeld() || m_running)
        return;
    // Go on from the held swipe's place on the time line, keeping the pauses after it.
    const bool ended = m_next >= m_recording.steps.size() && !m_gapDue && !m_loop;
    m_running = !ended;
    m_base = m_at;
    m_clock.start();
    if (m_running)
        m_step->start(0);
}

std::unique_ptr<MsrService> createReplayService(const DeviceEntry &entry, QString *error)
{
    const auto fail = [error](const QString &fault) {
        if (error)
            *error = fault;
        return std::unique_ptr<MsrService>();
    };
    QString fault = checkOptionKeys(entry, {"file", "speed", "loop"}, {"file"});
    if (!fault.isEmpty())
        return fail(fault);
    const QString path = entry.options.value(QStringLiteral("file"));
    if (!QDir::isAbsolutePath(path))
        return fail(QStringLiteral("file= needs an absolute path, found '%1'").arg(path));
    const QString speedText = entry.options.value(QStringLiteral("speed"), QStringLiteral("1"));
    bool ok = false;
    const double speed = speedText.toDouble(&ok);
    if (!ok || !(speed >= 0.01 && speed <= 1000))
        return fail(QStringLiteral("bad value '%1' for speed: expected a number from 0.01 to "
                                   "1000, how many times faster than recorded")
                        .arg(speedText));
    const std::optional<bool> loop = boolOption(entry, "loop", false, &fault);
    if (!loop)
        return fail(fault);

    const std::optional<QByteArray> text = readRecording(path, &fault);
    if (!text)
        return fail(fault);
    Parsed parsed = parseRecording(*text);
    const auto at = [&](int line, const QString &what) {
        return fail(QStringLiteral("%1:%2: %3").arg(path).arg(line).arg(what));
    };
    if (!parsed.recording)
        return at(parsed.line, parsed.error);
    Recording &rec = *parsed.recording;
    if (rec.header.kind == u"hid") {
        QString why;
        if (!layoutOf(rec.header.descriptor, &why))
            return at(rec.header.descriptorLine,
                      QStringLiteral("not a stripe reader's descriptor: ") + why);
        for (const Step &step : std::as_const(rec.steps)) {
            if (step.descriptor && !layoutOf(step.bytes, &why))
                return at(step.line, QStringLiteral("not a stripe reader's descriptor: ") + why);
        }
    }
    // Keys through the layout the reader was set to, as when it was recorded;
    // other kinds keep the default, unused.
    const bool keyboard = rec.header.kind == u"keyboard";
    std::shared_ptr<const KeyLayout> keys =
        KeyLayout::compile(keyboard ? rec.header.layout : QStringLiteral("us"),
                           keyboard ? rec.header.variant : QString(), &fault);
    if (!keys)
        return at(rec.header.layoutLine, fault);
    return std::make_unique<ReplayService>(entry.name, std::move(rec), std::move(keys), speed,
                                           *loop);
}

} // namespace msr::replay
