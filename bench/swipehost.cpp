// SPDX-License-Identifier: MIT
// swipewatch's window and reader control as the program makes them, in a
// host that says what it saw. It prints "first-frame" once the window is first
// on screen (as the reference windows do), and on SIGTERM or SIGINT it closes
// the window as the program does and prints the InputCount and ErrorCount
// captions, the only place the window keeps its counts, with the round trip
// of every swipe in microseconds: from the socket read that brought the
// request in to the write of its answer, per connection.
//
// With --feed virtual|serial N it is also the reader's far end: a thread
// swipes one three-track card N times, after a few warm-up swipes, into the
// virtual reader's socket or into a pty the host opens and names as the
// serial reader MCRSTUBEX, and times each from the write of the swipe's last
// byte (the request's newline, the reader's final CR) to the entry of the
// window's DataEvent handler. It prints "fed" and the count of swipes when
// done, and the times (data_event_us) and the swipes whose track lengths came
// out wrong (feed_errors) on the closing line.
#include "app/application.h"
#include "app/frmmsr.h"
#include "app/runwindow.h"
#include "backends/backends.h"
#include "backends/virtual/swipeprotocol.h"
#include "bench/firstframe.h"
#include "codec/stripecodec.h"
#include "reader/dispatch.h"
#include "reader/msrcontrol.h"
#include "reporting/messageboxes.h"

#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <pty.h>
#include <semaphore>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The virtual reader reads its connections with recv() and answers with
// send(), both linked into this program from its static library, so the host
// wraps the two: a round trip runs from the recv() that brings a request in
// to the send() that starts its answer, per connection, on the thread the
// reader runs on.
std::thread::id g_readerThread;
std::map<int, std::chrono::steady_clock::time_point> g_requestIn;
std::vector<double> g_roundTrips;

template <typename Function> Function libc(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

QByteArray roundTrips()
{
    QByteArray text;
    for (double microseconds : g_roundTrips)
        text += QByteArray::number(microseconds, 'f', 1) + ',';
    text.chop(1);
    return text;
}

using Clock = std::chrono::steady_clock;

// One card, sent as each kind of reader sends it.
const std::array<std::string, 3> kTracks{"B4111111111111111^DOE/JOHN^2912101000000000000000",
                                         "4111111111111111=29121010000000000000",
                                         "011234567890123445=7247241000000000000303000000"};
constexpr int kWarmUp = 20;
constexpr auto kPatience = std::chrono::seconds(30);

// Swipes from a thread, as a reader would, and times each to the window's
// DataEvent handler.
class Feeder {
public:
    Feeder(bool serial, int swipes) : m_serial(serial), m_swipes(swipes)
    {
        if (serial) {
            char name[64] = {};
            if (::openpty(&m_fd, &m_slave, name, nullptr, nullptr) != 0)
                throw std::runtime_error("swipehost: openpty failed");
            ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(m_slave, F_SETFD, FD_CLOEXEC); // held, so the port never hangs up
            QFile list(m_dir.filePath(QStringLiteral("devices.conf")));
            if (!list.open(QIODevice::WriteOnly) ||
                list.write(QByteArray("MCRSTUBEX = serial device=") + name + '\n') <= 0)
                throw std::runtime_error("swipehost: cannot write the device list");
            qputenv("SWIPEWATCH_DEVICES", QFile::encodeName(list.fileName()));
            m_bytes = QByteArray::fromStdString("%" + kTracks[0] + "?;" + kTracks[1] + "?+" +
                                                kTracks[2] + "?\r");
        } else {
            msr::protocol::SwipeRequest request;
            for (int t = 0; t < 3; ++t)
                request.tracks[t] = stripe::encodeTrack(t + 1, kTracks[t]).bits;
            m_bytes = msr::protocol::formatRequest(request);
        }
        m_status = 0;
        for (int t = 0; t < 3; ++t)
            m_status |= qint32(kTracks[t].size()) << (8 * t);
    }
    ~Feeder()
    {
        finish();
        for (int fd : {m_fd, m_slave})
            if (fd >= 0)
                ::close(fd);
    }

    // The window has enabled data events: the reader takes swipes.
    void ready()
    {
        if (!std::exchange(m_started, true))
            m_thread = std::thread([this] { run(); });
    }
    // Stops the thread, if still feeding, before its figures are read.
    void finish()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    void delivered(qint32 status)
    {
        m_deliveredAt = Clock::now();
        m_wrong += status != m_status;
        m_delivery.release();
    }

    QByteArray fields() const // after finish()
    {
        QByteArray text =
            " feed_errors=" + QByteArray::number(m_wrong + m_lost) + " data_event_us=";
        for (double microseconds : m_times)
            text += QByteArray::number(microseconds, 'f', 1) + ',';
        text.chop(1);
        return text;
    }

private:
    bool awaitDelivery()
    {
        const Clock::time_point deadline = Clock::now() + kPatience;
        while (!m_stop && Clock::now() < deadline)
            if (m_delivery.try_acquire_for(std::chrono::milliseconds(50)))
                return true;
        return false;
    }
    bool send(const char *data, std::size_t size)
    {
        return ::write(m_fd, data, size) == ssize_t(size);
    }
    bool connectToReader()
    {
        sockaddr_un address{AF_UNIX, {}};
        const QByteArray path =
            qgetenv("XDG_RUNTIME_DIR") + "/swipewatch-" + swipewatch::frmMSR::kDeviceName + ".sock";
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    // The virtual reader answers every request with one line.
    bool readAnswer()
    {
        for (char c = 0; c != '\n';)
            if (::read(m_fd, &c, 1) != 1)
                return false;
        return true;
    }
    void run()
    {
        using namespace std::chrono_literals;
        const std::size_t last = std::size_t(m_bytes.size()) - 1;
        bool ok = m_serial || connectToReader();
        for (int i = 0; ok && !m_stop && i < kWarmUp + m_swipes; ++i) {
            // The reader has taken the rest by the time the last byte comes.
            ok = send(m_bytes.constData(), last);
            std::this_thread::sleep_for(2ms);
            const Clock::time_point sent = Clock::now();
            ok = ok && send(m_bytes.constData() + last, 1) && awaitDelivery();
            if (ok && i >= kWarmUp)
                m_times.push_back(
                    std::chrono::duration<double, std::micro>(m_deliveredAt.load() - sent).count());
            ok = ok && (m_serial || readAnswer());
            std::this_thread::sleep_for(10ms); // the window repaints, as between real swipes
        }
        m_lost = ok ? 0 : 1;
        if (ok)
            std::printf("fed %d\n", kWarmUp + m_swipes);
        else
            std::fputs("feed failed\n", stdout);
        std::fflush(stdout);
    }

    bool m_serial;
    int m_swipes;
    QTemporaryDir m_dir;
    int m_fd = -1, m_slave = -1;
    QByteArray m_bytes;
    qint32 m_status;
    bool m_started = false;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::binary_semaphore m_delivery{0};
    std::atomic<Clock::time_point> m_deliveredAt;
    std::atomic<int> m_wrong{0};
    int m_lost = 0;
    std::vector<double> m_times;
};

// The control, with the window's events passing through on their way in.
class StampingReader : public msr::DispatchInterface, private msr::EventSink {
public:
    explicit StampingReader(Feeder &feeder) : m_control(msr::standardRegistry()), m_feeder(feeder)
    {
    }
    QVariant invoke(int dispId, msr::InvokeKind kind, const QVariantList &args) override
    {
        QVariant result = m_control.invoke(dispId, kind, args);
        if (dispId == msr::dispid::DataEventEnabled && kind == msr::InvokeKind::PropertyPut &&
            args.value(0).toInt() != 0)
            m_feeder.ready();
        return result;
    }
    void advise(msr::EventSink *sink) override
    {
        m_sink = sink;
        m_control.advise(sink ? this : nullptr);
    }

private:
    void invokeEvent(int eventId, QVariantList &args) override
    {
        if (eventId == msr::eventid::DataEvent)
            m_feeder.delivered(args.value(0).toInt());
        m_sink->invokeEvent(eventId, args);
    }

    msr::MsrControl m_control;
    Feeder &m_feeder;
    msr::EventSink *m_sink = nullptr;
};

} // namespace

extern "C" ssize_t recv(int fd, void *buffer, size_t size, int flags)
{
    static const auto real = libc<ssize_t (*)(int, void *, size_t, int)>("recv");
    const ssize_t n = real(fd, buffer, size, flags);
    if (n > 0 && std::this_thread::get_id() == g_readerThread &&
        QByteArrayView(static_cast<const char *>(buffer), n).contains("\"swipe\""))
        g_requestIn.try_emplace(fd, std::chrono::steady_clock::now());
    return n;
}

extern "C" ssize_t send(int fd, const void *buffer, size_t size, int flags)
{
    static const auto real = libc<ssize_t (*)(int, const void *, size_t, int)>("send");
    if (std::this_thread::get_id() == g_readerThread &&
        QByteArrayView(static_cast<const char *>(buffer), qsizetype(size))
            .startsWith("{\"result\"")) {
        const auto in = g_requestIn.find(fd);
        if (in != g_requestIn.end()) {
            g_roundTrips.push_back(std::chrono::duration<double, std::micro>(
                                       std::chrono::steady_clock::now() - in->second)
                                       .count());
            g_requestIn.erase(in);
        }
    }
    return real(fd, buffer, size, flags);
}

int main(int argc, char *argv[])
{
    g_readerThread = std::this_thread::get_id();
    reporting::ModalMessageBoxes boxes;
    swipewatch::Application app(argc, argv, boxes);
    // As main does, so the host starts what the program starts.
    QCoreApplication::setApplicationName(QStringLiteral("swipewatch"));
    swipewatch::setUpApplication();
    const bench::FirstFrameMarker marker;

    const QStringList args = app.arguments();
    const qsizetype feedAt = args.indexOf(QStringLiteral("--feed"));
    std::unique_ptr<Feeder> feeder;
    swipewatch::ReaderFactory makeReader;
    if (feedAt > 0 && feedAt + 2 < args.size()) {
        feeder = std::make_unique<Feeder>(args[feedAt + 1] == u"serial", args[feedAt + 2].toInt());
        makeReader = [&feeder] { return std::make_unique<StampingReader>(*feeder); };
    }
    return swipewatch::runWindow(
        app, boxes,
        [&feeder](const swipewatch::frmMSR &window) {
            QByteArray fed;
            if (feeder) {
                feeder->finish();
                fed = feeder->fields();
            }
            // One line, read by bench/run.py.
            std::printf("lbCount=%s lbErrorCount=%s roundtrip_us=%s%s\n",
                        qPrintable(window.lbCount()->Caption()),
                        qPrintable(window.lbErrorCount()->Caption()), roundTrips().constData(),
                        fed.constData());
            std::fflush(stdout);
        },
        makeReader);
}
