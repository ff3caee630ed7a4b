// A read and a write at 38400 bit/s on the local pseudo-terminal, then through a remote cable
// (ser2net on 127.0.0.1, RFC 2217), straight and behind a proxy that holds every chunk for half
// a round trip in each direction. Each remote time is set against its floor: the local time plus
// one round trip for each frame the tool sends, since each waits for its echo (or the radio's
// answer) before the next goes. What is left above the floor is the remote cable's own cost.
// The floor takes the round trip the proxy really held (on a busy machine its timers fire a
// little late); the floor at the round trip asked for is shown beside it.
//
//   build/bench/bench_remote [image-bytes [round-trip-ms ...]]   (default 4096; 0 20 50)
//
// ser2net is taken from the build tree (scripts/setup.sh unpacks it there) or REPLIX_SER2NET.
// The goals: at 0 ms within 1.05 of the local time, and a write within 1.03 of its floor at
// every round trip. QT_QPA_PLATFORM=offscreen works.

#include "app/frmreadwrite.h"
#include "bench/timedtransfer.h"
#include "tests/support/scriptedseam.h"
#include "tools/virtualradio.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <array>
#include <atomic>
#include <cstdio>

namespace {

constexpr int kBitsPerSecond = 38400;
constexpr int kRecordSize = 32;
constexpr qint64 kGiveUpMs = qint64{10} * 60 * 1000;
constexpr int kRounds = 3;

// Listens on 127.0.0.1 and joins each connection to the target port; every chunk read on one
// side is written to the other half a round trip later. A hang-up on either side ends both. It
// runs in a thread of its own, as a network would, so its work takes no time from the tool's.
// On a busy machine its timers fire late: it tells the round trip it really held, on average.
class DelayProxy : public QThread {
public:
    DelayProxy(quint16 target, int roundTripMs) : m_target(target), m_delayMs(roundTripMs / 2)
    {
        start();
        m_ready.acquire();
    }
    ~DelayProxy() override
    {
        quit();
        wait();
    }
    quint16 port() const { return m_port; }
    void restart()
    {
        for (int up : {0, 1})
            m_heldNs[up] = m_chunks[up] = 0;
    }
    double heldRoundTripMs() const
    {
        double ms = 0;
        for (int up : {0, 1})
            ms += m_chunks[up] ? double(m_heldNs[up]) / 1e6 / double(m_chunks[up]) : 0;
        return ms;
    }

private:
    void run() override
    {
        m_clock.start();
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        m_port = server.serverPort();
        connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
            QTcpSocket *near = server.nextPendingConnection();
            auto *far = new QTcpSocket(near);
            near->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(far, &QTcpSocket::connected, far,
                    [far] { far->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
            far->connectToHost(QHostAddress::LocalHost, m_target);
            pipe(near, far, 1);
            pipe(far, near, 0);
        });
        m_ready.release();
        exec();
    }
    void pipe(QTcpSocket *from, QTcpSocket *to, int up)
    {
        connect(from, &QTcpSocket::readyRead, to, [this, from, to, up] {
            const QByteArray bytes = from->readAll();
            const qint64 read = m_clock.nsecsElapsed();
            QTimer::singleShot(m_delayMs, Qt::PreciseTimer, to, [this, to, bytes, read, up] {
                to->write(bytes);
                m_heldNs[up] += m_clock.nsecsElapsed() - read;
                ++m_chunks[up];
            });
        });
        connect(from, &QTcpSocket::disconnected, to, &QTcpSocket::abort);
    }

    quint16 m_target;
    int m_delayMs;
    quint16 m_port = 0;
    QSemaphore m_ready;
    QElapsedTimer m_clock;
    std::atomic<qint64> m_heldNs[2] = {0, 0}, m_chunks[2] = {0, 0};  // [from the tool]
};

struct Run {
    double seconds = 0;
    int framesFromTool = 0;
    double roundTripMs = 0;  // as the proxy held it
};

// Starts ser2net on a free port of 127.0.0.1 serving the device; 0 when it cannot.
quint16 serve(QProcess &server, const QString &program, const QString &device,
              const QTemporaryDir &dir)
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QFile config(dir.filePath(QStringLiteral("ser2net.yaml")));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("connection: &radio\n  accepter: "
                                "telnet(rfc2217),tcp(nodelay),127.0.0.1,%1\n"
                                "  options:\n    chardelay: false\n"
                                "  connector: serialdev(nouucplock),%2,9600n81,local\n")
                     .arg(port)
                     .arg(device)
                     .toUtf8());
    config.close();
    server.start(program, {QStringLiteral("-n"), QStringLiteral("-c"), config.fileName(),
                           QStringLiteral("-P"), dir.filePath(QStringLiteral("pid"))});
    if (!server.waitForStarted())
        return 0;
    QEventLoop settle;
    QTimer::singleShot(500, &settle, &QEventLoop::quit);
    settle.exec();
    return port;
}

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int imageBytes = argc > 1 ? QByteArray(argv[1]).toInt() : 4096;
    QList<int> roundTrips;  // ms
    for (int i = 2; i < argc; ++i)
        roundTrips << QByteArray(argv[i]).toInt();
    if (roundTrips.isEmpty())
        roundTrips = {0, 20, 50};
    const QString ser2net =
        qEnvironmentVariable("REPLIX_SER2NET", QCoreApplication::applicationDirPath()
                                                   + QStringLiteral("/../peers/usr/sbin/ser2net"));
    QTemporaryDir dir;
    PortFolder ports;
    ports.makeCurrent();
    ScriptedSeam user;
    const QString file = dir.filePath(QStringLiteral("bench.icf"));

    VirtualRadioOptions o;
    o.memory =
        RadioMemory::splitIntoRecords(RadioMemory::patternedImage(imageBytes), kRecordSize, 0);
    o.bitsPerSecond = kBitsPerSecond;

    // -1: the local pseudo-terminal; otherwise the round trip in ms in front of ser2net.
    const auto measure = [&](int roundTripMs, Run(&runs)[2]) {
        VirtualRadio radio(o);
        radio.publishAs(ports, 1);
        QProcess server;
        std::unique_ptr<DelayProxy> proxy;
        if (roundTripMs >= 0) {
            quint16 port = serve(server, ser2net, radio.devicePath(), dir);
            if (port == 0)
                return false;
            if (roundTripMs > 0) {
                proxy = std::make_unique<DelayProxy>(port, roundTripMs);
                port = proxy->port();
            }
            ports.unpublish(1);
            QFile entry(ports.path() + QStringLiteral("/COM1"));
            entry.open(QIODevice::WriteOnly);
            entry.write(QStringLiteral("rfc2217://127.0.0.1:%1\n").arg(port).toUtf8());
        }
        frmReadWrite w;
        w.Form_Load();
        w.cboSpeed->setCurrentText(QString::number(kBitsPerSecond));
        for (bool writing : {false, true}) {
            // A moment between the two, as between two clicks: the server has let the read's
            // connection go before the write's comes.
            QEventLoop pause;
            QTimer::singleShot(300, &pause, &QEventLoop::quit);
            pause.exec();
            radio.clearFramesFromTool();
            if (proxy)
                proxy->restart();
            writing ? user.answerOpen(file) : user.answerSave(file);
            runs[writing] = {timeTransfer(w, writing, kGiveUpMs).seconds,
                             int(radio.framesFromTool().size()),
                             proxy ? proxy->heldRoundTripMs() : 0.0};
        }
        server.kill();
        server.waitForFinished();
        return true;
    };

    // The machine's load comes and goes: each link is timed kRounds times, the rounds taking
    // the links in turn, and the quickest of each is kept.
    QList<int> links = {-1};
    links += roundTrips;
    QList<std::array<Run, 2>> best(links.size());
    for (int round = 0; round < kRounds; ++round) {
        for (qsizetype i = 0; i < links.size(); ++i) {
            Run runs[2];
            if (!measure(links[i], runs)) {
                std::printf("no ser2net at %s\n", qPrintable(ser2net));
                return 2;
            }
            for (int writing : {0, 1})
                if (round == 0 || runs[writing].seconds < best[i][writing].seconds)
                    best[i][writing] = runs[writing];
        }
    }

    std::printf("%d bit/s, image %d bytes in %d-byte records, quickest of %d\n", kBitsPerSecond,
                imageBytes, kRecordSize, kRounds);
    std::printf("link           round trip held   transfer   time     floor    ratio   "
                "(at the round trip asked: floor, ratio)\n");
    for (int writing : {0, 1})
        std::printf("local                            %-5s  %7.2f s\n", writing ? "write" : "read",
                    best[0][writing].seconds);
    for (qsizetype i = 1; i < links.size(); ++i) {
        for (int writing : {0, 1}) {
            const Run &run = best[i][writing];
            const double local = best[0][writing].seconds;
            const double floor = local + run.framesFromTool * run.roundTripMs / 1000.0;
            const double asked = local + run.framesFromTool * links[i] / 1000.0;
            std::printf("%-14s %9.2f ms      %-5s  %7.2f s %7.2f s  %.3f   (%7.2f s, %.3f)\n",
                        links[i] < 0 ? "local"
                                     : qPrintable(QStringLiteral("remote %1 ms").arg(links[i])),
                        run.roundTripMs, writing ? "write" : "read", run.seconds, floor,
                        run.seconds / floor, asked, run.seconds / asked);
        }
    }
    std::printf("messages: %s\n", qPrintable(user.messages().join(QStringLiteral(" | "))));
    return 0;
}
