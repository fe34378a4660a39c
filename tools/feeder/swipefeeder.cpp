// SPDX-License-Identifier: MIT
#include "tools/feeder/swipefeeder.h"

#include "reader/runtimepaths.h"
#include "tools/feeder/cardoptions.h"

#include <swipewatch/version.h>

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace feeder {

using msr::protocol::Answer;
using msr::protocol::Result;

namespace {

QString describeTrack(const msr::protocol::TrackResult &track)
{
    QString text;
    switch (track.error) {
    case 0:
        text = track.length == 0   ? QStringLiteral("empty")
               : track.length == 1 ? QStringLiteral("1 character")
                                   : QStringLiteral("%1 characters").arg(track.length);
        break;
    case stripe::StartSentinelError:
        text = QStringLiteral("start sentinel error (201)");
        break;
    case stripe::EndSentinelError:
        text = QStringLiteral("end sentinel error (202)");
        break;
    case stripe::ParityError:
        text = QStringLiteral("parity error (203)");
        break;
    case stripe::LrcError:
        text = QStringLiteral("LRC error (204)");
        break;
    default:
        text = QStringLiteral("read error (%1)").arg(track.error);
    }
    if (track.reversed)
        text += QStringLiteral(", read backwards");
    return text;
}

} // namespace

SwipeFeeder::SwipeFeeder(QString deviceName, QString socketPath, QObject *parent)
    : QObject(parent), m_device(std::move(deviceName)), m_path(std::move(socketPath))
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(10000);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        const double seconds = m_timer.interval() / 1000.0;
        finish(Outcome::Failed, QStringLiteral("the window on %1 did not answer within %2 %3")
                                    .arg(m_device)
                                    .arg(seconds)
                                    .arg(seconds == 1 ? "second" : "seconds"));
    });
    connect(&m_socket, &QLocalSocket::connected, this, [this] {
        sendMore();
        finishIfDone();
    });
    connect(&m_socket, &QLocalSocket::readyRead, this, &SwipeFeeder::readAnswers);
    connect(&m_socket, &QLocalSocket::errorOccurred, this, &SwipeFeeder::socketError);
    connect(&m_socket, &QLocalSocket::disconnected, this, [this] {
        readAnswers();
        // A reader that refuses a line and hangs up (released, line too long)
        // has said why.
        if (m_refused)
            finishAnswered();
        finish(Outcome::Failed,
               QStringLiteral("the reader on %1 hung up before answering").arg(m_device));
    });
}

void SwipeFeeder::start(int count)
{
    m_each = count;
    QMetaObject::invokeMethod(
        this,
        [this] {
            updateTimer();
            m_socket.connectToServer(m_path);
        },
        Qt::QueuedConnection);
}

void SwipeFeeder::add(const msr::protocol::SwipeRequest &request)
{
    m_wait = request.wait;
    m_lines.push_back(msr::protocol::formatRequest(request));
    m_count += m_each;
    if (m_socket.state() == QLocalSocket::ConnectedState)
        sendMore();
}

void SwipeFeeder::endInput()
{
    m_inputEnded = true;
    QMetaObject::invokeMethod(this, &SwipeFeeder::finishIfDone, Qt::QueuedConnection);
}

void SwipeFeeder::feed(const std::vector<msr::protocol::SwipeRequest> &requests, int count)
{
    start(count);
    for (const msr::protocol::SwipeRequest &request : requests)
        add(request);
    endInput();
}

void SwipeFeeder::sendMore()
{
    // Waiting swipes go one at a time; others as a burst, faster than a
    // window takes them, so a burst can overflow the reader's queue.
    const int inFlight = m_wait ? 1 : kMaxInFlight;
    while (!m_finished && m_sent < m_count && m_sent - m_answered < inFlight) {
        m_socket.write(m_lines[std::size_t(m_sent / m_each)]);
        ++m_sent;
    }
    updateTimer();
}

void SwipeFeeder::updateTimer()
{
    // The clock is the reader's: it runs while connecting and while a swipe
    // is unanswered, so a stopped window cannot hold us, but not while a
    // slow producer or a typist has yet to hand over the next card.
    const bool idle =
        m_socket.state() == QLocalSocket::ConnectedState && !m_inputEnded && m_answered >= m_count;
    if (m_finished || idle)
        m_timer.stop();
    else if (!m_timer.isActive())
        m_timer.start();
}

void SwipeFeeder::finishIfDone()
{
    if (m_inputEnded && m_answered >= m_count && m_socket.state() == QLocalSocket::ConnectedState)
        finishAnswered();
}

void SwipeFeeder::readAnswers()
{
    while (!m_finished && m_socket.canReadLine()) {
        QByteArray line = m_socket.readLine();
        line.chop(1);
        QString why;
        const std::optional<Answer> answer = msr::protocol::parseAnswer(line, &why);
        if (!answer) {
            finish(Outcome::Failed,
                   QStringLiteral("the reader on %1 answered in a way msrswipe does not "
                                  "understand: %2")
                       .arg(m_device, why));
            return;
        }
        if (msr::protocol::refusesConnection(*answer)) {
            finish(Outcome::NoReader, QStringLiteral("the reader on %1 refused the connection: %2")
                                          .arg(m_device, answer->reason));
            return;
        }
        ++m_answered;
        emit answered(m_answered, *answer);
        if (answer->result == Result::Refused && m_refused++ == 0) {
            m_firstRefused = m_answered;
            m_firstReason = answer->reason;
        }
        if (m_inputEnded && m_answered >= m_count) {
            finishAnswered();
            return;
        }
        sendMore();
    }
    if (!m_finished && m_socket.bytesAvailable() > msr::protocol::kMaxLineBytes)
        finish(Outcome::Failed,
               QStringLiteral("the reader on %1 sent an answer too long to be one").arg(m_device));
}

void SwipeFeeder::socketError(QLocalSocket::LocalSocketError error)
{
    switch (error) {
    case QLocalSocket::ServerNotFoundError:
    case QLocalSocket::ConnectionRefusedError:
        // No socket file, or one left behind with nobody listening.
        finish(
            Outcome::NoReader,
            QStringLiteral("no reader is listening on %1: start swipewatch first").arg(m_device));
        break;
    case QLocalSocket::PeerClosedError:
        break; // disconnected() follows, after the last answers are read
    default:
        finish(Outcome::NoReader, QStringLiteral("cannot reach the reader on %1: %2")
                                      .arg(m_device, m_socket.errorString()));
    }
}

void SwipeFeeder::finishAnswered()
{
    if (m_refused == 0)
        finish(Outcome::Done, {});
    else if (m_count == 1)
        finish(
            Outcome::Refused,
            QStringLiteral("the reader on %1 refused the swipe: %2").arg(m_device, m_firstReason));
    else if (m_refused == 1)
        finish(Outcome::Refused, QStringLiteral("the reader on %1 refused swipe %2 of %3: %4")
                                     .arg(m_device)
                                     .arg(m_firstRefused)
                                     .arg(m_count)
                                     .arg(m_firstReason));
    else
        finish(Outcome::Refused,
               QStringLiteral("the reader on %1 refused %2 of %3 swipes, the first (swipe %4) "
                              "with: %5")
                   .arg(m_device)
                   .arg(m_refused)
                   .arg(m_count)
                   .arg(m_firstRefused)
                   .arg(m_firstReason));
}

void SwipeFeeder::finish(Outcome outcome, const QString &message)
{
    if (m_finished)
        return;
    m_finished = true;
    m_timer.stop();
    m_socket.disconnectFromServer();
    emit finished(outcome, message);
}

int exitCode(SwipeFeeder::Outcome outcome)
{
    switch (outcome) {
    case SwipeFeeder::Outcome::Done:
        return ExitOk;
    case SwipeFeeder::Outcome::Refused:
        return ExitRefused;
    case SwipeFeeder::Outcome::NoReader:
    case SwipeFeeder::Outcome::Failed:
        break;
    }
    return ExitNoReader;
}

QString describeAnswer(const Answer &answer, int swipe, int count)
{
    QString line = count == 1 ? QStringLiteral("swipe")
                              : QStringLiteral("swipe %1 of %2").arg(swipe).arg(count);
    switch (answer.result) {
    case Result::Accepted:
        line += QStringLiteral(" accepted");
        break;
    case Result::Delivered:
        line += QStringLiteral(" delivered");
        break;
    case Result::Refused:
        line += QStringLiteral(" refused (%1)").arg(msr::printable(answer.reason));
        break;
    }
    if (!answer.id)
        return line;
    line += QStringLiteral(" as #%1:").arg(*answer.id);
    for (int t = 0; t < 3; ++t)
        line += QStringLiteral("%1 track %2: %3")
                    .arg(t ? QStringLiteral(";") : QString())
                    .arg(t + 1)
                    .arg(describeTrack(answer.tracks[std::size_t(t)]));
    return line;
}

namespace {

// What --damage-rate gave one swipe, e.g. "track 2 parity"; empty for none.
QString describeDamage(const std::array<stripe::Damage, 3> &damage)
{
    QStringList tracks;
    for (int t = 0; t < 3; ++t) {
        if (damage[std::size_t(t)] != stripe::Damage::None)
            tracks << QStringLiteral("track %1 %2")
                          .arg(t + 1)
                          .arg(QString::fromStdString(
                              std::string(stripe::damageName(damage[std::size_t(t)]))));
    }
    return tracks.join(QStringLiteral(", "));
}

using Draws = std::vector<std::array<stripe::Damage, 3>>;

// The swipes of one card: one request, or with --damage-rate one per swipe,
// each with the damage drawn for it (draws are taken in order, by swipe).
QString buildSwipes(const Options &options, const Card &card, const Draws &draws,
                    std::size_t *nextDraw, std::vector<msr::protocol::SwipeRequest> *requests)
{
    if (draws.empty()) {
        BuiltSwipe built = buildSwipe(card);
        if (!built.ok())
            return built.error;
        requests->push_back({std::move(built.tracks), options.wait});
        return {};
    }
    // Every track a rate may damage is tried first: a card that cannot
    // take it fails now, not on the swipe that happens to draw it.
    Card all = card;
    for (const DamageRate &rate : options.damageRates)
        all.damage[std::size_t(rate.track)] = rate.damage;
    if (BuiltSwipe built = buildSwipe(all); !built.ok())
        return built.error;
    for (int r = 0; r < options.repeat; ++r) {
        Card swiped = card;
        for (std::size_t t = 0; t < 3; ++t) {
            if (const stripe::Damage d = draws[*nextDraw][t]; d != stripe::Damage::None)
                swiped.damage[t] = d;
        }
        BuiltSwipe built = buildSwipe(swiped);
        if (!built.ok())
            return built.error;
        requests->push_back({std::move(built.tracks), options.wait});
        ++*nextDraw;
    }
    return {};
}

// The cards of --file, read from a descriptor as they come: every complete
// line is parsed and built once it is read, so from a pipe or a terminal a
// card is swiped as its line arrives.
class CardSource {
public:
    CardSource(const Options &options, QString name, int fd, const Draws &draws)
        : m_options(options), m_name(std::move(name)), m_fd(fd), m_draws(draws)
    {
        struct stat st {};
        m_batch = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    }
    enum class State { More, End, Failed };
    // A regular file, read whole before the first swipe: a bad line in it
    // sends nothing, however it reaches msrswipe.
    bool batch() const { return m_batch; }

    // Reads as long as the descriptor has bytes ready, without waiting.
    State drain()
    {
        pollfd ready{m_fd, POLLIN, 0};
        while (m_state == State::More && ::poll(&ready, 1, 0) > 0)
            readOnce();
        return m_state;
    }
    int fd() const { return m_fd; }
    // One read, for when the event loop says there is something.
    State readOnce()
    {
        char piece[65536];
        const qsizetype room = std::min<qsizetype>(sizeof piece, kMaxFileBytes + 1 - m_read);
        ssize_t n;
        do
            n = ::read(m_fd, piece, std::size_t(room));
        while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN)
            fail(QStringLiteral("cannot read %1: %2").arg(m_name, qt_error_string(errno)));
        else if (n > 0 && (m_read += n) > kMaxFileBytes)
            fail(QStringLiteral("%1 is longer than %2 MiB: split the batch")
                     .arg(m_name)
                     .arg(kMaxFileBytes >> 20));
        else if (n > 0)
            take(QByteArrayView(piece, n), false);
        else if (n == 0)
            take({}, true);
        return m_state;
    }

    // The swipes built since the last call, with the file line of each.
    std::vector<msr::protocol::SwipeRequest> requests;
    std::vector<int> lines;
    QString problem;

private:
    void fail(const QString &why)
    {
        problem = why;
        m_state = State::Failed;
    }

    void take(QByteArrayView bytes, bool end)
    {
        m_pending += bytes;
        // A line at a time, so the cards before a bad line are kept.
        qsizetype start = 0;
        for (qsizetype eol; m_state == State::More && (eol = m_pending.indexOf('\n', start)) >= 0;
             start = eol + 1)
            takeLine(QByteArrayView(m_pending).sliced(start, eol - start));
        if (end && m_state == State::More) {
            takeLine(QByteArrayView(m_pending).sliced(start));
            if (m_state == State::More && m_cards == 0)
                fail(QStringLiteral("%1 has no cards in it").arg(m_name));
            else if (m_state == State::More)
                m_state = State::End;
        }
        m_pending.remove(0, start);
    }

    void takeLine(QByteArrayView text)
    {
        const ReaderText parsed = parseReaderText(text, m_nextLine++);
        if (!parsed.error.isEmpty())
            return fail(QStringLiteral("%1, line %2: %3")
                            .arg(m_name)
                            .arg(parsed.errorLine)
                            .arg(parsed.error));
        if (parsed.cards.empty())
            return; // blank, or a comment
        if (++m_cards > kMaxSwipes / m_options.repeat)
            return fail(QStringLiteral("%1 cards swiped %2 times each is more than %3 swipes")
                            .arg(m_cards)
                            .arg(m_options.repeat)
                            .arg(kMaxSwipes));
        Card card = m_options.card;
        card.text = parsed.cards.front().tracks;
        if (const QString error = buildSwipes(m_options, card, m_draws, &m_nextDraw, &requests);
            !error.isEmpty())
            return fail(QStringLiteral("%1, line %2: %3")
                            .arg(m_name)
                            .arg(parsed.cards.front().line)
                            .arg(msr::printable(error)));
        lines.push_back(parsed.cards.front().line);
    }

    const Options &m_options;
    const QString m_name;
    const int m_fd;
    const Draws &m_draws;
    std::size_t m_nextDraw = 0;
    bool m_batch = false;
    State m_state = State::More;
    QByteArray m_pending; // the start of a line yet to end
    qsizetype m_read = 0;
    int m_nextLine = 1;
    int m_cards = 0;
};

} // namespace

int runMsrSwipe(const QStringList &arguments, int input, QTextStream &out, QTextStream &err)
{
    const ParsedOptions parsed = parseArguments(arguments);
    if (!parsed.options) {
        err << "msrswipe: " << msr::printable(parsed.error) << "\nTry 'msrswipe --help'.\n";
        return ExitBadInput;
    }
    const Options &options = *parsed.options;
    if (options.help) {
        out << helpText();
        return ExitOk;
    }
    if (options.version) {
        out << "msrswipe " SWIPEWATCH_VERSION_STRING "\n";
        return ExitOk;
    }
    const bool fromFile = !options.file.isEmpty();
    std::vector<msr::protocol::SwipeRequest> requests;
    QFile file(options.file);
    std::optional<CardSource> cards;
    Draws draws;
    std::size_t firstDraw = 0;
    const quint64 seed = options.seed.value_or(QRandomGenerator::system()->generate64());
    if (!options.damageRates.empty())
        draws = drawDamage(options.damageRates, seed, kMaxSwipes);
    if (!fromFile) {
        if (const QString error = buildSwipes(options, options.card, draws, &firstDraw, &requests);
            !error.isEmpty()) {
            err << "msrswipe: " << error << '\n';
            return ExitBadInput;
        }
    } else if (options.file == QLatin1String("-")) {
        cards.emplace(options, QStringLiteral("standard input"), input, draws);
    } else {
        const QString name = msr::printable(options.file);
        // A folder opens on Linux and only fails to read: say what it is.
        if (QFileInfo(options.file).isDir()) {
            err << "msrswipe: " << name << " is a folder, not a file of cards\n";
            return ExitBadInput;
        }
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            err << "msrswipe: cannot read " << name << ": " << file.errorString() << '\n';
            return ExitBadInput;
        }
        cards.emplace(options, name, file.handle(), draws);
    }
    // A regular file is always ready to read: drained here, all of it.
    if (cards && cards->batch() && cards->drain() == CardSource::State::Failed) {
        err << "msrswipe: " << cards->problem << '\n';
        return ExitBadInput;
    }
    QString error;
    const QString path =
        msr::runtimeDirectory(&error).isEmpty() ? QString() : msr::swipeSocketPath(options.device);
    if (error.isEmpty())
        error = msr::socketPathProblem(path);
    if (!error.isEmpty()) {
        err << "msrswipe: " << msr::printable(error) << '\n';
        return ExitNoReader;
    }

    SwipeFeeder feeder(options.device, path);
    feeder.setTimeout(options.timeoutMs);
    QEventLoop loop;
    int status = ExitNoReader;
    bool badInput = false;
    std::vector<int> lines; // the file line of each card sent
    // The swipes the reader took, and their damage by track and kind.
    int taken = 0, damaged = 0;
    QMap<QString, int> read;
    QObject::connect(&feeder, &SwipeFeeder::answered, &loop, [&](int swipe, const Answer &answer) {
        // A refusal before the reader read anything is said once, on err;
        // from a file, the line it refused is worth a line of its own.
        if (answer.result == Result::Refused && !answer.id && !fromFile)
            return;
        const int card = (swipe - 1) / options.repeat;
        const QString text =
            describeAnswer(answer, (swipe - 1) % options.repeat + 1, options.repeat);
        if (fromFile)
            out << "line " << lines[std::size_t(card)] << ": ";
        out << text;
        if (!draws.empty()) {
            const QString damage = describeDamage(draws[std::size_t(swipe - 1)]);
            out << "; sent " << (damage.isEmpty() ? QStringLiteral("undamaged") : damage);
            if (answer.result != Result::Refused) {
                ++taken;
                damaged += !damage.isEmpty();
                for (const QString &track : damage.split(QStringLiteral(", "), Qt::SkipEmptyParts))
                    ++read[track];
            }
        }
        out << Qt::endl;
        // Answers nobody can read (a closed pipe, a full disk): swiping on
        // would only lose more; main says why.
        if (out.status() != QTextStream::Ok) {
            status = ExitOk;
            loop.quit();
        }
    });
    QObject::connect(&feeder, &SwipeFeeder::finished, &loop,
                     [&](SwipeFeeder::Outcome outcome, const QString &message) {
                         if (taken) {
                             // What the reader took, by damage: the figures a check on
                             // the other end should arrive at.
                             QStringList counts;
                             for (auto it = read.cbegin(); it != read.cend(); ++it)
                                 counts << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
                             out << "seed " << seed << ": " << damaged << " of the " << taken
                                 << " swipes the reader took were damaged";
                             if (!counts.isEmpty())
                                 out << " (" << counts.join(QStringLiteral(", ")) << ')';
                             out << Qt::endl;
                         }
                         if (!message.isEmpty())
                             err << "msrswipe: " << msr::printable(message) << Qt::endl;
                         status = badInput ? ExitBadInput : exitCode(outcome);
                         loop.quit();
                     });
    // With --damage-rate every swipe is a request of its own.
    feeder.start(draws.empty() ? options.repeat : 1);
    std::optional<QSocketNotifier> more;
    // Hands the cards read so far to the feeder; at the end of the input, or
    // at a bad line, the feeder finishes what it has.
    const auto handOver = [&](CardSource::State state) {
        for (const msr::protocol::SwipeRequest &request : cards->requests)
            feeder.add(request);
        lines.insert(lines.end(), cards->lines.begin(), cards->lines.end());
        cards->requests.clear();
        cards->lines.clear();
        if (state == CardSource::State::More)
            return;
        if (more)
            more->setEnabled(false);
        if (state == CardSource::State::Failed) {
            err << "msrswipe: " << cards->problem << Qt::endl;
            badInput = true;
            status = ExitBadInput;
            if (lines.empty()) // nothing to wait for, nor a reader to ask
                return loop.quit();
        }
        feeder.endInput();
    };
    if (!cards) {
        for (const msr::protocol::SwipeRequest &request : requests)
            feeder.add(request);
        feeder.endInput();
    } else if (const CardSource::State state = cards->drain(); state != CardSource::State::More) {
        handOver(state);
    } else {
        handOver(state);
        more.emplace(cards->fd(), QSocketNotifier::Read);
        QObject::connect(&*more, &QSocketNotifier::activated, &loop,
                         [&] { handOver(cards->readOnce()); });
    }
    if (!badInput || !lines.empty())
        loop.exec();
    return status;
}

} // namespace feeder
