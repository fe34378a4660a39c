// SPDX-License-Identifier: MIT
#include "health/healthcheck.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace health {

namespace {

QString plural(int n, const QString &one, const QString &many)
{
    return QStringLiteral("%1 %2").arg(n).arg(n == 1 ? one : many);
}

// "3 parity errors, 1 empty read", for the parenthesis after a rate.
QString breakdown(const TrackFigures &f)
{
    QStringList parts;
    for (int k = 0; k < kKinds; ++k) {
        if (f.errors[k])
            parts << plural(f.errors[k], kindName(Kind(k)) + QStringLiteral(" error"),
                            kindName(Kind(k)) + QStringLiteral(" errors"));
    }
    if (f.missing)
        parts << plural(f.missing, QStringLiteral("empty read"), QStringLiteral("empty reads"));
    if (f.mismatches)
        parts << plural(f.mismatches, QStringLiteral("mismatch"), QStringLiteral("mismatches"));
    return parts.join(QStringLiteral(", "));
}

// What most likely wears a track down to this rate, and what to try, by the
// failure seen most often on it.
QString cause(const TrackFigures &f, const QString &stays)
{
    const auto worst = std::max_element(f.errors.begin(), f.errors.end());
    const QString track = QString::number(f.track);
    if (f.missing > *worst)
        return QStringLiteral("the reader sent nothing for track %1 in some swipes: the head may "
                              "not reach that track (misaligned or worn) or the card was swiped "
                              "crooked; swipe with the stripe flat against the head, clean the "
                              "head and check again; %2, replace the reader")
            .arg(track, stays);
    switch (Kind(worst - f.errors.begin())) {
    case Parity:
        return QStringLiteral("dirty or worn head on track %1; clean the head with a cleaning "
                              "card and check again; %2, replace the reader")
            .arg(track, stays);
    case Start:
    case End:
        return QStringLiteral("uneven swipes or a stripe worn at its ends; swipe at an even "
                              "speed in one movement and check again; %1, try a second test card, "
                              "then replace the reader")
            .arg(stays);
    case Lrc:
        return QStringLiteral("a bit lost or gained near the end of track %1: a worn stripe or "
                              "a noisy head; try a second test card; %2, replace the reader")
            .arg(track, stays);
    case Other:
        break;
    }
    return QStringLiteral("the reader marked track %1 unreadable or sent more than it holds: a "
                          "damaged stripe, or a reader set for another card format; try a "
                          "second test card and check the reader's settings; %2, replace the "
                          "reader")
        .arg(track, stays);
}

// Every track the card carries failed, and on its LRC: the reader and the
// device list disagree about the LRC, not a worn head. A text reader decodes
// the stripe itself, so a start sentinel error from one is framing too: an
// LRC taken for the next track's sentinel, or one sent and not expected.
std::optional<QString> lrcSetting(const Result &result, const Reader &reader)
{
    const bool text =
        reader.kind == QLatin1String("keyboard") || reader.kind == QLatin1String("serial");
    int lrcs = 0;
    QStringList counts;
    for (const TrackFigures &f : result.tracks) {
        if (!f.carried)
            continue;
        const int lrc = f.errors[Lrc];
        const int others = f.failed() - lrc - (text ? f.errors[Start] : 0) + f.missing;
        if (f.good >= result.needed || !f.failed() || (text ? others > 0 : lrc < others))
            return std::nullopt;
        lrcs += lrc;
        counts << QStringLiteral("track %1: %2").arg(f.track).arg(breakdown(f));
    }
    if (!lrcs)
        return std::nullopt;
    const QString head = QStringLiteral("every track failed (%1): the reader's LRC setting does "
                                        "not match")
                             .arg(counts.join(QStringLiteral("; ")));
    if (!text)
        return head + QStringLiteral(" (lrc=); check the reader's LRC setting, then check again "
                                     "with a second test card");
    const bool yes = reader.settings.value(QStringLiteral("lrc")) == QLatin1String("yes");
    return head +
           QStringLiteral(" (lrc=%1 in the device list); set lrc=%2 on the line for %3, or set "
                          "the reader to %4 an LRC after each track")
               .arg(yes ? QStringLiteral("yes") : QStringLiteral("no"),
                    yes ? QStringLiteral("no") : QStringLiteral("yes"), reader.name,
                    yes ? QStringLiteral("send") : QStringLiteral("stop sending"));
}

} // namespace

Kind kindOf(int code)
{
    switch (code) {
    case 201:
        return Start;
    case 202:
        return End;
    case 203:
        return Parity;
    case 204:
        return Lrc;
    default:
        return Other;
    }
}

QString kindKey(Kind kind)
{
    static const char *const keys[] = {"start", "end", "parity", "lrc", "other"};
    return QString::fromLatin1(keys[kind]);
}

QString kindName(Kind kind)
{
    static const char *const names[] = {"start sentinel", "end sentinel", "parity", "LRC", "other"};
    return QString::fromLatin1(names[kind]);
}

int TrackFigures::failed() const
{
    return std::accumulate(errors.begin(), errors.end(), 0);
}

Result evaluate(const Input &input, const Mask &mask)
{
    Result result;
    const qsizetype n = input.swipes.size();
    result.swipes = int(n);
    // A hair below the product, so 0.7 of 10 asks for 7, not 8.
    result.needed = n ? int(std::ceil(input.minRate * double(n) - 1e-9)) : 0;

    std::array<bool, 3> carried{};
    for (int t = 0; t < 3; ++t) {
        if (input.expected) {
            carried[t] = (*input.expected)[t] && !(*input.expected)[t]->isEmpty();
        } else {
            carried[t] = std::any_of(input.swipes.begin(), input.swipes.end(), [t](const Swipe &s) {
                return s[t].code != 0 || !s[t].text.isEmpty();
            });
        }
    }
    // What each track should read: the test card, else the first swipe in
    // which every track the card carries read.
    std::optional<std::array<QString, 3>> reference;
    if (input.expected) {
        reference.emplace();
        for (int t = 0; t < 3; ++t)
            (*reference)[t] = (*input.expected)[t].value_or(QString());
    } else if (std::find(carried.begin(), carried.end(), true) != carried.end()) {
        for (qsizetype i = 0; i < n && !reference; ++i) {
            const Swipe &s = input.swipes[i];
            bool full = true;
            for (int t = 0; t < 3; ++t)
                full = full && (!carried[t] || (s[t].code == 0 && !s[t].text.isEmpty()));
            if (full) {
                reference = std::array<QString, 3>{s[0].text, s[1].text, s[2].text};
                result.referenceSwipe = int(i) + 1;
            }
        }
    }

    for (int t = 0; t < 3; ++t) {
        TrackFigures &f = result.tracks[t];
        f.track = t + 1;
        f.carried = carried[t];
        for (const Swipe &s : input.swipes) {
            const TrackRead &read = s[t];
            if (read.code != 0)
                ++f.errors[kindOf(read.code)];
            else if (read.text.isEmpty() && carried[t])
                ++f.missing;
            else if (reference && read.text != (*reference)[t])
                ++f.mismatches;
            else
                ++f.good;
            if (!f.characters && read.code == 0)
                f.characters = int(read.text.size());
        }
        if (reference && carried[t])
            f.characters = int((*reference)[t].size());
        f.rate = n ? double(f.good) / double(n) : 0;
    }

    // The reasons, worst first: wrong data a till would take as good.
    const QString against =
        input.expected
            ? QStringLiteral("the test card")
            : QStringLiteral("the first full read (swipe %1)").arg(result.referenceSwipe);
    for (const TrackFigures &f : result.tracks) {
        if (f.carried && f.mismatches)
            result.reasons << QStringLiteral(
                                  "track %1 read differently from %2 in %3 of %4 swipes although "
                                  "it passed every check: the reader hands over wrong data that "
                                  "a till would take as good; replace the reader%5")
                                  .arg(f.track)
                                  .arg(against)
                                  .arg(f.mismatches)
                                  .arg(n)
                                  .arg(input.expected
                                           ? QStringLiteral(", unless --expect is not this card")
                                           : QStringLiteral("; if that first read was the wrong "
                                                            "one, check again with --expect"));
    }
    const QString stays = QStringLiteral("if it stays below %1 of %2").arg(result.needed).arg(n);
    const std::optional<QString> lrc = lrcSetting(result, input.reader);
    if (lrc)
        result.reasons << *lrc;
    for (const TrackFigures &f : result.tracks) {
        const QString track = QString::number(f.track);
        if (!f.carried) {
            if (f.failed())
                result.reasons << QStringLiteral("track %1 reported %2 though the card has "
                                                 "nothing on it: electrical noise on the head or "
                                                 "its cable; check the cable and its ground, and "
                                                 "keep the reader away from power supplies and "
                                                 "screens")
                                      .arg(track, breakdown(f));
            else if (f.mismatches)
                result.reasons << QStringLiteral("track %1 sent data in %2 of %3 swipes though "
                                                 "the test card has nothing on it: check that "
                                                 "--expect describes the card being swiped")
                                      .arg(track)
                                      .arg(f.mismatches)
                                      .arg(n);
            continue;
        }
        // Reads that pass every check but differ have their reason above.
        if (lrc || f.good >= result.needed || f.mismatches >= f.failed() + f.missing)
            continue;
        if (f.missing == n)
            result.reasons << QStringLiteral("track %1 never read in %2 swipes: the reader may be "
                                             "set not to send track %1, or the card has none")
                                  .arg(track)
                                  .arg(n);
        else if (f.failed() + f.missing)
            result.reasons << QStringLiteral("track %1 read %2 of %3 swipes (%4): %5")
                                  .arg(track)
                                  .arg(f.good)
                                  .arg(n)
                                  .arg(breakdown(f), cause(f, stays));
    }
    if (n && std::find(carried.begin(), carried.end(), true) == carried.end())
        result.reasons << QStringLiteral("no track held any data in %1 swipes: the card may be "
                                         "blank or swiped with the stripe away from the head, or "
                                         "the reader sends nothing; check the card and the "
                                         "reader's settings")
                              .arg(n);
    if (!n)
        result.reasons << QStringLiteral("no swipe was read");
    result.pass = result.reasons.isEmpty();

    if (input.expected)
        result.notes << QStringLiteral("every read is compared with the test card (--expect)");
    else if (reference)
        result.notes << QStringLiteral("every read is compared with swipe %1, the first in which "
                                       "every track read")
                            .arg(result.referenceSwipe);
    else if (n)
        result.notes << QStringLiteral("no swipe read every track, so no read could be compared "
                                       "with another");
    if (!input.stopped.isEmpty())
        result.notes << QStringLiteral("the check ended after %1 of %2 swipes (%3)")
                            .arg(n)
                            .arg(input.asked)
                            .arg(input.stopped);

    // The sample: the reference swipe, else the first that read anything.
    const auto sampled = [&](const Swipe &s) {
        QString line;
        static const char starts[] = {'%', ';', '+'};
        for (int t = 0; t < 3; ++t) {
            if (s[t].code == 0 && !s[t].text.isEmpty())
                line += QLatin1Char(starts[t]) + mask(t + 1, s[t].text) + QLatin1Char('?');
        }
        return line;
    };
    if (result.referenceSwipe)
        result.sample = sampled(input.swipes[result.referenceSwipe - 1]);
    for (qsizetype i = 0; i < n && result.sample.isEmpty(); ++i)
        result.sample = sampled(input.swipes[i]);
    return result;
}

} // namespace health
