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
#include <QTextStream>

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
    connect(&m_socket, &QLocalSocket::connected, this, &SwipeFeeder::sendMore);
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

void SwipeFeeder::feed(const std::vector<msr::protocol::SwipeRequest> &requests, int count)
{
    m_lines.clear();
    for (const msr::protocol::SwipeRequest &request : requests)
        m_lines.push_back(msr::protocol::formatRequest(request));
    m_wait = !requests.empty() && requests.front().wait;
    m_each = count;
    m_count = int(requests.size()) * count;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_timer.start(); // the whole exchange, so a stopped window cannot hold us
            m_socket.connectToServer(m_path);
        },
        Qt::QueuedConnection);
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
        if (m_answered >= m_count) {
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

// The bytes of --file, at most kMaxFileBytes of them; the problem otherwise,
// naming the file as source.
QString readFile(const QString &name, const QString &source, QIODevice &in, QByteArray *bytes)
{
    QFile file(name);
    QIODevice *device = &in;
    if (name != QLatin1String("-")) {
        // A folder opens on Linux and only fails to read: say what it is.
        if (QFileInfo(name).isDir())
            return QStringLiteral("%1 is a folder, not a file of cards").arg(source);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read %1: %2").arg(source, file.errorString());
        device = &file;
    } else if (!in.isOpen()) {
        return QStringLiteral("cannot read standard input: it is closed");
    }
    // Piecewise: a pipe hands over what it has, and /dev/zero never ends.
    while (bytes->size() <= kMaxFileBytes) {
        const QByteArray piece = device->read(kMaxFileBytes + 1 - bytes->size());
        if (piece.isEmpty())
            break;
        *bytes += piece;
    }
    if (bytes->size() > kMaxFileBytes)
        return QStringLiteral("%1 is longer than %2 MiB: split the batch")
            .arg(source)
            .arg(kMaxFileBytes >> 20);
    if (device == &file && file.error() != QFileDevice::NoError)
        return QStringLiteral("cannot read %1: %2").arg(source, file.errorString());
    return {};
}

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

// The requests to send, with the file line of each card (0 without --file).
// With --damage-rate, one request per swipe, each with the damage drawn for it.
QString buildRequests(const Options &options, QIODevice &in,
                      std::vector<msr::protocol::SwipeRequest> *requests, std::vector<int> *lines,
                      const std::vector<std::array<stripe::Damage, 3>> &draws)
{
    std::vector<ReaderLine> cards{ReaderLine{0, options.card.text}};
    const QString source = options.file == QLatin1String("-") ? QStringLiteral("standard input")
                                                              : msr::printable(options.file);
    if (!options.file.isEmpty()) {
        QByteArray bytes;
        if (QString problem = readFile(options.file, source, in, &bytes); !problem.isEmpty())
            return problem;
        ReaderText text = parseReaderText(bytes);
        if (!text.error.isEmpty())
            return QStringLiteral("%1, line %2: %3")
                .arg(source)
                .arg(text.errorLine)
                .arg(text.error);
        if (text.cards.empty())
            return QStringLiteral("%1 has no cards in it").arg(source);
        if (text.cards.size() > std::size_t(kMaxSwipes / options.repeat))
            return QStringLiteral("%1 cards swiped %2 times each is more than %3 swipes")
                .arg(text.cards.size())
                .arg(options.repeat)
                .arg(kMaxSwipes);
        cards = std::move(text.cards);
    }
    for (const ReaderLine &line : cards) {
        Card card = options.card;
        if (line.line > 0)
            card.text = line.tracks;
        const auto refuse = [&](const QString &error) {
            return line.line > 0 ? QStringLiteral("%1, line %2: %3")
                                       .arg(source)
                                       .arg(line.line)
                                       .arg(msr::printable(error))
                                 : error;
        };
        lines->push_back(line.line);
        // Every track a rate may damage is tried first: a card that cannot
        // take it fails now, not on the swipe that happens to draw it.
        Card all = card;
        for (const DamageRate &rate : options.damageRates)
            all.damage[std::size_t(rate.track)] = rate.damage;
        BuiltSwipe built = buildSwipe(all);
        if (!built.ok())
            return refuse(built.error);
        for (int r = 0; r < (draws.empty() ? 1 : options.repeat); ++r) {
            Card swiped = card;
            if (!draws.empty()) {
                for (std::size_t t = 0; t < 3; ++t) {
                    if (const stripe::Damage d = draws[requests->size()][t];
                        d != stripe::Damage::None)
                        swiped.damage[t] = d;
                }
            }
            built = buildSwipe(swiped);
            if (!built.ok())
                return refuse(built.error);
            requests->push_back({std::move(built.tracks), options.wait});
        }
    }
    return {};
}

} // namespace

int runMsrSwipe(const QStringList &arguments, QIODevice &in, QTextStream &out, QTextStream &err)
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
    // Every card is built before the first is sent: a bad line sends nothing.
    std::vector<msr::protocol::SwipeRequest> requests;
    std::vector<int> lines;
    std::vector<std::array<stripe::Damage, 3>> draws;
    const quint64 seed = options.seed.value_or(QRandomGenerator::system()->generate64());
    if (!options.damageRates.empty())
        draws = drawDamage(options.damageRates, seed, kMaxSwipes);
    if (QString problem = buildRequests(options, in, &requests, &lines, draws);
        !problem.isEmpty()) {
        err << "msrswipe: " << problem << '\n';
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
    const bool fromFile = !options.file.isEmpty();
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
                         status = exitCode(outcome);
                         loop.quit();
                     });
    feeder.feed(requests, draws.empty() ? options.repeat : 1);
    loop.exec();
    return status;
}

} // namespace feeder
