// SPDX-License-Identifier: MIT
// The time from a reader's return to its service reading it again, over
// ROUNDS unplug-and-replug rounds of a reader's device node, as milliseconds
// on one JSON line. Under umockdev-wrapper the reader is the test bed's
// keyboard-type reader (tests/testbed/keyboard.umockdev), unplugged and
// plugged in again with uevents, so the pump hears udev announce it: the time
// runs from the "add" uevent. With "poll", run where no udev runs, it is a
// pty reached through a link, moved to a new pty each round at a random
// instant of the poll's period, as a person replugs, and the pump's fallback
// poll finds it: the time runs from the link's making.
//
// Usage: umockdev-wrapper replugbench udev ROUNDS | replugbench poll ROUNDS
#include "backends/common/devicepump.h"

#include "testbed.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace {

// Runs events until done() or 10 s; false on the timeout.
bool await(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

struct Reader {
    // Plugs the unplugged reader in again; returns the far end of the new node
    // and starts *back at the instant it is back.
    std::function<int(int round, QElapsedTimer *back)> plug;
    QString path;
    QString subsystem;
    int fd = -1;
};

Reader emulated()
{
    const QString byId = QStringLiteral("/dev/input/by-id/usb-Test_Reader-event-kbd");
    if (!Testbed::load("keyboard.umockdev") || !Testbed::link(byId, "../event9"))
        qFatal("replugbench: cannot load the test bed from %s", TESTBED_DIR);
    Reader reader;
    reader.path = byId;
    reader.subsystem = QStringLiteral("input");
    reader.fd = Testbed::devFd("/dev/input/event9");
    reader.plug = [=](int round, QElapsedTimer *back) {
        const QByteArray old = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/"
                               "0003:0801:0001.0002/input/input9/event" +
                               QByteArray::number(round + 9);
        const QByteArray node = "event" + QByteArray::number(round + 10);
        const QByteArray added = Testbed::replug(old, node, "input/" + node, "input",
                                                 "13:" + QByteArray::number(64 + round + 10));
        if (added.isEmpty() || !Testbed::link(byId, "../" + node))
            qFatal("replugbench: cannot add %s", node.constData());
        const int next = Testbed::devFd(("/dev/input/" + node).constData());
        back->start();
        Testbed::uevent(added.constData(), "add");
        return next;
    };
    return reader;
}

Reader polled(const QString &folder)
{
    Reader reader;
    reader.path = folder + QStringLiteral("/reader");
    reader.subsystem = QStringLiteral("tty");
    const auto plug = [path = reader.path] {
        int far = -1, near = -1;
        char name[128];
        if (::openpty(&far, &near, name, nullptr, nullptr) != 0)
            qFatal("replugbench: no pty");
        ::close(near);
        QFile::remove(path);
        QFile::link(QString::fromLocal8Bit(name), path);
        return far;
    };
    reader.fd = plug();
    reader.plug = [=](int, QElapsedTimer *back) {
        back->start();
        return plug();
    };
    return reader;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool udev = argc > 1 && qstrcmp(argv[1], "udev") == 0;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
    QTemporaryDir folder;
    Reader reader = udev ? emulated() : polled(folder.path());

    msr::DevicePump pump(QStringLiteral("BENCH"), reader.path, reader.subsystem);
    int gone = 0, back = 0;
    QObject::connect(&pump, &msr::DevicePump::wentAway, [&] { ++gone; });
    QObject::connect(&pump, &msr::DevicePump::cameBack, [&] { ++back; });
    if (pump.open(0) != 0)
        qFatal("replugbench: cannot open %s: %s", qPrintable(reader.path),
               qPrintable(pump.lastError()));
    QList<double> ms;
    int fd = reader.fd;
    for (int round = 0; round < rounds; ++round) {
        // Unplugged: a node whose far end is gone reads end of file.
        ::close(fd);
        if (!await([&] { return gone > round; }))
            qFatal("replugbench: round %d: the reader did not go away", round + 1);
        if (!udev) {
            QElapsedTimer wait;
            wait.start();
            const qint64 phase = QRandomGenerator::global()->bounded(msr::kFallbackPollMs);
            await([&] { return wait.elapsed() >= phase; });
        }
        QElapsedTimer since;
        fd = reader.plug(round, &since);
        if (!await([&] { return back > round; }))
            qFatal("replugbench: round %d: the reader was not read again", round + 1);
        ms << since.nsecsElapsed() / 1e6;
    }
    pump.close();
    std::printf("{\"mode\": \"%s\", \"ms\": [", udev ? "udev" : "poll");
    for (int i = 0; i < ms.size(); ++i)
        std::printf("%s%.3f", i ? ", " : "", ms[i]);
    std::printf("]}\n");
    return 0;
}
