// SPDX-License-Identifier: MIT
// The HID backend: descriptors and reports to swipes, and the service on an
// emulated hidraw node, found by udev, unplugged and plugged back in.
#include "testbed.h"

#include "../common/swipelog.h"
#include "backends/hid/hidreport.h"
#include "backends/hid/hidservice.h"
#include "reader/claimlock.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace hid;

namespace {

// The vendor layout as readers document it: 337 bytes, no report ID.
const QByteArray kVendor = QByteArray::fromHex("0600FF 0901 A101 1500 26FF00 7508 "
                                               " 0920 0921 0922 0928 0929 092A 0938 9507 8102 "
                                               "0930956E820201 0931956E820201 0932956E820201 C0");
// The standard page, report ID 1, lengths then 79/40/107 data bytes; a
// Push/Pop and a long item on the way must change nothing.
const QByteArray kStandard =
    QByteArray::fromHex("058E A4 0501 B4 FE02 00 AABB 0901A101 8501 7508 9501 0911 8102 "
                        "0912 8102 0913 8102 954F 0921 820201 9528 0922 820201 956B 0923 "
                        "820201 C0");
// A keyboard-type reader's hidraw node: key array plus a vendor feature report.
const QByteArray kKeyboard = QByteArray::fromHex("05010906A101 0507 1900 2965 7508 9506 8100 C0 "
                                                 "0600FF 0901 A101 0920 7508 9508 B102 C0");

const std::uint8_t *bytes(const QByteArray &data)
{
    return reinterpret_cast<const std::uint8_t *>(data.data());
}

// A vendor report: status, lengths, encode type, three tracks of field bytes.
QByteArray vendorReport(const QList<int> &status, const QStringList &tracks, int lengthOf2 = -1,
                        int field = 110)
{
    QByteArray r(7 + 3 * field, '\0');
    for (int t = 0; t < 3; ++t) {
        r[t] = char(status[t]);
        r[3 + t] = char(t == 1 && lengthOf2 >= 0 ? lengthOf2 : tracks[t].size());
        r.replace(7 + field * t, tracks[t].size(), tracks[t].toLatin1());
    }
    return r;
}

// A standard-page report with ID id, tracks 2 and 3.
QByteArray standardReport(char id, const QByteArray &track2, const QByteArray &track3 = {})
{
    QByteArray r(230, '\0');
    r[0] = id;
    r[2] = char(track2.size());
    r[3] = char(track3.size());
    return r.replace(83, track2.size(), track2).replace(123, track3.size(), track3);
}

const QString kTrack1 = "%B4111111111111111^CARD/TEST^2912101?";
const QString kTrack2 = ";4111111111111111=2912101?";

} // namespace

class TestHid : public QObject {
    Q_OBJECT
    QTemporaryDir m_root;

    std::unique_ptr<msr::MsrService> service(const QString &options, QString *error)
    {
        msr::DeviceEntry entry{"R", "hid", {}};
        for (const QString &option : options.split(' ', Qt::SkipEmptyParts))
            entry.options.insert(option.section('=', 0, 0), option.section('=', 1));
        return createHidService(entry, error);
    }

private slots:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", m_root.filePath("run").toLocal8Bit());
        // The reader at hidraw0, its keyboard interface at hidraw1; a serial port.
        QVERIFY(Testbed::load("hidreader.umockdev"));
        QVERIFY(Testbed::load("serial.umockdev"));
    }

    // The layout a descriptor gives is checked by what it reads from a report.
    void reports_data()
    {
        QTest::addColumn<QByteArray>("descriptor");
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<QString>("tracks"); // "": no swipe
        QTest::addColumn<QString>("fault");  // what stderr is told, or why there is no layout
        const auto row = [](const char *name, const QByteArray &descriptor,
                            const QByteArray &report, const QString &tracks, const char *fault) {
            QTest::addRow("%s", name) << descriptor << report << tracks << QString(fault);
        };
        const QString t1 = kTrack1.mid(1, kTrack1.size() - 2), t2 = kTrack2.mid(1, 24);
        row("normal", kVendor, vendorReport({0, 0, 0}, {kTrack1, kTrack2, ";0123?"}),
            t1 + ":0|" + t2 + ":0|0123:0", "");
        row("bit 0 set", kVendor, vendorReport({0, 3, 0}, {kTrack1, "", ""}), t1 + ":0|:205|:0",
            "");
        row("length over field", kVendor, vendorReport({0, 0, 0}, {kTrack1, kTrack2, ""}, 111),
            t1 + ":0|:205|:0", "track 2: length 111 larger than its field of 110 bytes");
        row("not a track character", kVendor, vendorReport({0, 0, 0}, {"%B41\x01?", kTrack2, ""}),
            ":205|" + t2 + ":0|:0", "track 1: byte 0x01");
        row("with report ID, LRC after the end sentinel", kStandard,
            standardReport(1, kTrack2.toLatin1() + "5", ";0123?"), ":0|" + t2 + ":0|0123:0", "");
        row("wrong report ID", kStandard, standardReport(2, kTrack2.toLatin1()), "",
            "report ID 2 carries no track data");
        row("descriptor cut off", kVendor.left(kVendor.size() - 3) + "\x95", {}, "",
            "item cut off");
        // Reports cut short before a field: never read past their end.
        row("length field cut off",
            QByteArray::fromHex("0600FF 0901 A101 7508 9508 0930 8102 9501 0928 8102 C0"),
            QByteArray("%A?").leftJustified(8, '\0'), ":205|:0|:0", "track 1: length cut off");
        row("status cut off", kVendor, QByteArray(2, '\0'), ":205|:205|:205",
            "track 3: status cut off");
        row("one-byte track past the end", kVendor, vendorReport({0, 0, 0}, {"%", "", ""}).left(7),
            ":205|:0|:0", "track 1: data cut off after 0 of 1 bytes");
        row("4096 fields, none a track", QByteArray::fromHex("0501 7501 960010 1900 2AFF0F 8102"),
            {}, "", "carry no track data");
    }
    void reports()
    {
        QFETCH(QByteArray, descriptor);
        QFETCH(QByteArray, report);
        QFETCH(QString, tracks);
        QFETCH(QString, fault);
        const Descriptor d = parseDescriptor(bytes(descriptor), std::size_t(descriptor.size()));
        QString faults = d.error;
        const auto layout = faults.isEmpty() ? findTrackLayout(d, &faults) : std::nullopt;
        const DecodedReport decoded =
            layout ? decodeReport(*layout, bytes(report), std::size_t(report.size()))
                   : DecodedReport{};
        faults += decoded.faults.join('|');
        QVERIFY2(faults.contains(fault) && faults.isEmpty() == fault.isEmpty(), qPrintable(faults));
        QCOMPARE(decoded.swipe ? describe(*decoded.swipe) : QString(), tracks);
    }

    // The last row claims, reads, loses the reader and finds it again.
    void openAndClaim_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<int>("result"); // of claim; -1: refused at Open
        QTest::addColumn<QString>("message");
        QTest::addRow("keyboard node") << "device=/dev/hidraw1" << -1
                                       << "/dev/hidraw1 is not a stripe reader: its input reports "
                                          "carry no track data (usage pages 0x0007)";
        QTest::addRow("both options")
            << "device=/dev/hidraw0 match=0801:0002" << -1 << "exactly one of device= and match=";
        QTest::addRow("bad ids") << "match=801:2" << -1 << "bad value '801:2' for match";
        QTest::addRow("relative path")
            << "device=hidraw0" << -1 << "device= needs an absolute path";
        QTest::addRow("missing") << "device=/dev/hidraw9" << 107 << "plugged in";
        QTest::addRow("not a hidraw node") << "device=/dev/ttyACM0" << 111 << "no hidraw node";
        QTest::addRow("ids of nothing") << "match=0801:0009" << 107 << "plugged in";
        QTest::addRow("claimed elsewhere") << "device=/dev/hidraw0" << 112 << "holds";
        QTest::addRow("by node, through the real open and read")
            << "device=/dev/hidraw0" << 0 << "/dev/hidraw0";
        QTest::addRow("ids pick the reader's node, and find it again")
            << "match=0801:0002" << 0 << "/dev/hidraw0";
    }
    void openAndClaim()
    {
        QFETCH(QString, options);
        QFETCH(int, result);
        QFETCH(QString, message);
        QString error;
        auto made = service(options, &error);
        QCOMPARE(!made, result == -1);
        QVERIFY2(made || error.contains(message), qPrintable(error));
        if (!made)
            return;
        auto *hid = static_cast<HidService *>(made.get());
        msr::ClaimLock other(msr::claimLockPath("R"));
        QVERIFY(result != opos::OPOS_E_TIMEOUT || other.acquire(0) == opos::OPOS_SUCCESS);
        if (result)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QRegularExpression::escape(message)));
        QCOMPARE(hid->claim(result == opos::OPOS_E_TIMEOUT ? 60 : 0), result);
        QVERIFY2((result ? hid->lastError() : hid->currentNode()).contains(message),
                 qPrintable(hid->lastError()));
        if (result)
            return;

        SwipeLog log;
        hid->setSwipeSink(&log);
        QSignalSpy back(hid, &HidService::replugged);
        QTest::failOnWarning(QRegularExpression(".")); // each message is expected below, once
        int reader = Testbed::devFd("/dev/hidraw0");
        const QByteArray report = vendorReport({0, 0, 0}, {"", kTrack2, ""});
        const QString track2 = ":0|" + kTrack2.mid(1, 24) + ":0|:0";
        QVERIFY(send(reader, report));
        QTRY_COMPARE(log.swipes, QStringList({"1 " + track2}));
        if (options.startsWith("device"))
            return;

        // Unplugged: the node's far end closes and udev forgets the device.
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression("the reader at /dev/hidraw0 went away .*still claimed"));
        const char *hidraw0 = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/"
                              "0003:0801:0002.0003/hidraw/hidraw0";
        ::close(reader);
        QTRY_VERIFY(!hid->isConnected());
        // Back at another node; reopened when udev announces it, not before.
        const QByteArray hidraw2 =
            Testbed::replug(hidraw0, "hidraw2", "hidraw2", "hidraw", "240:2");
        QVERIFY(!hidraw2.isEmpty());
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("the reader at /dev/hidraw2 is back"));
        Testbed::uevent(hidraw2.constData(), "add");
        QTRY_COMPARE(back.size(), 1);
        reader = Testbed::devFd("/dev/hidraw2");
        QVERIFY(send(reader, report));
        QTRY_COMPARE(log.swipes.mid(1), QStringList{"2 " + track2});

        // A full queue: the reports are read and kept, in order; past what can
        // be kept each one is an error, in its turn.
        log.room = 0;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("R: more than 256 swipes came"));
        // The node is a pty, a stream: one report read before the next is sent.
        QSignalSpy reads(hid->findChild<msr::DevicePump *>(), &msr::DevicePump::dataRead);
        for (int sent = 0; sent < msr::SwipeHold::kMaxHeld + 2; ++sent) {
            QVERIFY(send(reader, report));
            QTRY_COMPARE(reads.size(), sent + 1);
        }
        log.room = -1;
        hid->swipeFinished(2, true, {});
        QCOMPARE(log.swipes.size(), 2 + msr::SwipeHold::kMaxHeld + 2);
        QCOMPARE(log.swipes.mid(log.swipes.size() - 3),
                 QStringList({"258 " + track2, "259 :205|:205|:205", "260 :205|:205|:205"}));

        hid->release();
        QCOMPARE(hid->isConnected(), false);
    }
};

QTEST_GUILESS_MAIN(TestHid)
#include "tst_hid.moc"
