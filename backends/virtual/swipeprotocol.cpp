// SPDX-License-Identifier: MIT
#include "backends/virtual/swipeprotocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

namespace msr::protocol {

namespace {

constexpr std::array<const char *, 3> kTrackKeys = {"track1", "track2", "track3"};

QString malformed(const QString &what)
{
    return QStringLiteral("malformed request: ") + what;
}

// Names from the request are echoed in a refusal: printable ASCII only and
// short, so a hostile key cannot make the answer long or unreadable.
QString echo(const QString &text)
{
    constexpr qsizetype kMaxEcho = 32;
    QString out;
    for (QChar c : text.left(kMaxEcho))
        out += (c.unicode() >= 0x20 && c.unicode() < 0x7f) ? c : QLatin1Char('?');
    if (text.size() > kMaxEcho)
        out += QStringLiteral("...");
    return out;
}

QString quoted(const QString &key)
{
    return QLatin1Char('"') + echo(key) + QLatin1Char('"');
}

// Error text for one track's value, empty when the bits are good.
QString parseBits(const QString &key, const QJsonValue &value, TrackBits &bits)
{
    if (!value.isString())
        return malformed(quoted(key) + QStringLiteral(" must be a string of 0 and 1"));
    const QString text = value.toString();
    if (std::size_t(text.size()) > kMaxTrackBits)
        return malformed(QStringLiteral("%1 has %2 bits, more than %3")
                             .arg(quoted(key))
                             .arg(text.size())
                             .arg(kMaxTrackBits));
    bits.reserve(std::size_t(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != QLatin1Char('0') && c != QLatin1Char('1'))
            return malformed(QStringLiteral("%1 has %2 at bit %3; bits are 0 or 1")
                                 .arg(quoted(key), quoted(QString(c)))
                                 .arg(i));
        bits.push_back(c == QLatin1Char('1') ? 1 : 0);
    }
    return {};
}

QByteArray jsonString(const QString &text)
{
    QByteArray out = "\"";
    for (char c : text.toUtf8()) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
                out += QByteArray("\\u00") + QByteArray::number(c, 16).rightJustified(2, '0');
            else
                out += c;
        }
    }
    return out + '"';
}

const char *resultName(Result result)
{
    switch (result) {
    case Result::Accepted:
        return "accepted";
    case Result::Delivered:
        return "delivered";
    case Result::Refused:
        break;
    }
    return "refused";
}

} // namespace

ParsedRequest parseRequest(QByteArrayView line)
{
    ParsedRequest out;
    if (line.size() > kMaxLineBytes) {
        out.error = QString::fromLatin1(kLineTooLong);
        return out;
    }
    if (line.trimmed().isEmpty()) {
        out.error = malformed(QStringLiteral("empty line"));
        return out;
    }
    QJsonParseError jsonError;
    const QJsonDocument doc = QJsonDocument::fromJson(line.toByteArray(), &jsonError);
    if (jsonError.error != QJsonParseError::NoError) {
        out.error = malformed(QStringLiteral("not JSON (%1 at byte %2)")
                                  .arg(jsonError.errorString())
                                  .arg(jsonError.offset));
        return out;
    }
    if (!doc.isObject()) {
        out.error = malformed(QStringLiteral("not a JSON object"));
        return out;
    }
    const QJsonObject object = doc.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() != QLatin1String("swipe") && it.key() != QLatin1String("wait")) {
            out.error = malformed(QStringLiteral("unknown key ") + quoted(it.key()));
            return out;
        }
    }

    SwipeRequest request;
    const QJsonValue wait = object.value(QLatin1String("wait"));
    if (!wait.isUndefined() && !wait.isBool()) {
        out.error = malformed(QStringLiteral("\"wait\" must be true or false"));
        return out;
    }
    request.wait = wait.toBool(false);

    const QJsonValue swipe = object.value(QLatin1String("swipe"));
    if (swipe.isUndefined()) {
        out.error = malformed(QStringLiteral("\"swipe\" is missing"));
        return out;
    }
    if (!swipe.isObject()) {
        out.error = malformed(QStringLiteral("\"swipe\" must be an object"));
        return out;
    }
    const QJsonObject tracks = swipe.toObject();
    for (auto it = tracks.begin(); it != tracks.end(); ++it) {
        const auto key = std::find(kTrackKeys.begin(), kTrackKeys.end(), it.key());
        if (key == kTrackKeys.end()) {
            out.error = malformed(QStringLiteral("unknown track ") + quoted(it.key()) +
                                  QStringLiteral(" in \"swipe\""));
            return out;
        }
        const QString error =
            parseBits(it.key(), it.value(), request.tracks[key - kTrackKeys.begin()]);
        if (!error.isEmpty()) {
            out.error = error;
            return out;
        }
    }
    out.request = std::move(request);
    return out;
}

QByteArray formatRequest(const SwipeRequest &request)
{
    QByteArray out = "{\"swipe\":{";
    bool first = true;
    for (std::size_t t = 0; t < 3; ++t) {
        if (request.tracks[t].empty())
            continue;
        if (!first)
            out += ',';
        first = false;
        out += '"';
        out += kTrackKeys[t];
        out += "\":\"";
        for (std::uint8_t bit : request.tracks[t])
            out += bit ? '1' : '0';
        out += '"';
    }
    out += '}';
    if (request.wait)
        out += ",\"wait\":true";
    return out + "}\n";
}

Answer refusal(const QString &reason)
{
    Answer answer;
    answer.result = Result::Refused;
    answer.reason = reason;
    return answer;
}

QByteArray formatAnswer(const Answer &answer)
{
    QByteArray out = QByteArray("{\"result\":\"") + resultName(answer.result) + '"';
    if (answer.result == Result::Refused)
        out += ",\"reason\":" + jsonString(answer.reason);
    if (answer.id) {
        out += ",\"id\":" + QByteArray::number(*answer.id) + ",\"tracks\":{";
        for (std::size_t t = 0; t < 3; ++t) {
            const TrackResult &track = answer.tracks[t];
            out += QByteArray(t ? "," : "") + '"' + kTrackKeys[t] +
                   "\":{\"error\":" + QByteArray::number(track.error) +
                   ",\"length\":" + QByteArray::number(track.length);
            if (track.reversed)
                out += ",\"reversed\":true";
            out += '}';
        }
        out += '}';
    }
    return out + "}\n";
}

std::optional<Answer> parseAnswer(QByteArrayView line, QString *error)
{
    auto fail = [error](const QString &why) -> std::optional<Answer> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    QJsonParseError jsonError;
    const QJsonDocument doc = QJsonDocument::fromJson(line.toByteArray(), &jsonError);
    if (jsonError.error != QJsonParseError::NoError || !doc.isObject())
        return fail(QStringLiteral("the answer is not a JSON object"));
    const QJsonObject object = doc.object();

    Answer answer;
    const QString result = object.value(QLatin1String("result")).toString();
    if (result == QLatin1String("accepted"))
        answer.result = Result::Accepted;
    else if (result == QLatin1String("delivered"))
        answer.result = Result::Delivered;
    else if (result == QLatin1String("refused"))
        answer.result = Result::Refused;
    else
        return fail(QStringLiteral("the answer has no known \"result\""));
    answer.reason = object.value(QLatin1String("reason")).toString();

    const QJsonValue id = object.value(QLatin1String("id"));
    if (id.isUndefined()) {
        if (answer.result != Result::Refused)
            return fail(QStringLiteral("the answer has no swipe \"id\""));
        return answer;
    }
    if (!id.isDouble() || id.toInteger(-1) < 0)
        return fail(QStringLiteral("the answer's \"id\" is not a swipe number"));
    answer.id = quint64(id.toInteger());
    const QJsonObject tracks = object.value(QLatin1String("tracks")).toObject();
    for (std::size_t t = 0; t < 3; ++t) {
        const QJsonObject track = tracks.value(QLatin1String(kTrackKeys[t])).toObject();
        if (!track.value(QLatin1String("error")).isDouble() ||
            !track.value(QLatin1String("length")).isDouble())
            return fail(QStringLiteral("the answer does not say what %1 read").arg(kTrackKeys[t]));
        answer.tracks[t].error = track.value(QLatin1String("error")).toInt();
        answer.tracks[t].length = track.value(QLatin1String("length")).toInt();
        answer.tracks[t].reversed = track.value(QLatin1String("reversed")).toBool();
    }
    return answer;
}

bool refusesConnection(const Answer &answer)
{
    return answer.result == Result::Refused && !answer.id &&
           (answer.reason == QLatin1String(kTooManyConnections) ||
            answer.reason == QLatin1String(kOtherUser));
}

} // namespace msr::protocol
