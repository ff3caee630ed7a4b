// Remote cables on 127.0.0.1: the tool against ser2net and sredird serving the virtual radio's
// pseudo-terminal, against a scripted server, and against servers that refuse or stay silent.
// The servers are started and stopped here; without their programs the tests skip.

#include "app/frmreadwrite.h"
#include "serial/commsmodule.h"
#include "serial/portnamespace.h"
#include "serial/serialcontrol.h"
#include "serial/telnetcodec.h"
#include "tests/support/transferfixture.h"

#include <QComboBox>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString kPeers = QStringLiteral(REPLIX_PEERS_DIR "/usr/sbin/");
constexpr int kServerStartMs = 10000;

int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// True once something listens on 127.0.0.1:port (read from the kernel, so no connection
// disturbs the server).
bool listening(int port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    const QByteArray wanted =
        QStringLiteral("0100007F:%1").arg(port, 4, 16, QLatin1Char('0')).toUpper().toLatin1();
    return table.open(QIODevice::ReadOnly)
           && table.readAll().contains(wanted + " 00000000:0000 0A");
}

termios lineOf(const QString &device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0)
        t = termios{};
    ::close(fd);
    return t;
}

speed_t speedOf(const QString &device)
{
    termios t = lineOf(device);
    return ::cfgetospeed(&t);
}

// A server that speaks just enough of the com port option: agrees to it (with a few bytes of
// the device's from before the open), answers every setting with its own value (or, with
// OtherSpeed, the speed with another), then sends what the test gives it. Silent says nothing;
// HangsUp closes the connection. The open's settings (up to the purge) get the first mode,
// later ones the second. It keeps what it heard.
struct ScriptedServer {
    enum Mode { Silent, Answers, OtherSpeed, HangsUp };
    QTcpServer server;
    QTcpSocket *peer = nullptr;
    Mode mode, later;
    QByteArray heard;
    int port() const { return server.serverPort(); }
    explicit ScriptedServer(Mode how, Mode afterOpen = Answers) : mode(how), later(afterOpen)
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            peer = server.nextPendingConnection();
            QObject::connect(peer, &QTcpSocket::readyRead, [this] { answer(peer->readAll()); });
        });
    }
    void answer(const QByteArray &bytes)
    {
        heard += bytes;
        if (mode != Silent && bytes.contains(QByteArray::fromHex("FFFB2C")))
            peer->write("stale" + QByteArray::fromHex("FFFD2C"));
        // Each command (1 to 4, 12) back with code + 100 and the same value.
        for (qsizetype at = bytes.indexOf("\xff\xfa\x2c"); at >= 0;
             at = bytes.indexOf("\xff\xfa\x2c", at + 1)) {
            const qsizetype end = bytes.indexOf("\xff\xf0", at);
            QByteArray reply = bytes.mid(at, end + 2 - at);
            const quint8 code = quint8(reply.at(3));
            if (mode == HangsUp) {
                peer->close();
                return;
            }
            if (mode != Silent && ((code >= 1 && code <= 4) || code == 12)) {
                reply[3] = char(code + 100);
                if (code == 1 && mode == OtherSpeed)
                    reply[7] = char(reply.at(7) ^ 1);  // 9600 is 00 00 25 80
                peer->write(reply);
            }
            if (code == 12)
                mode = later;
        }
    }
};

// A listener whose one place in the queue is taken: a connection to it is never answered (the
// system drops its SYNs), as behind a firewall that swallows them.
struct FullListener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    QTcpSocket filler;
    FullListener()
    {
        sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof at;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&at), size) == 0 && ::listen(fd, 0) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size) == 0)
            port = ntohs(at.sin_port);
        filler.connectToHost(QHostAddress::LocalHost, quint16(port));
        filler.waitForConnected(2000);
    }
    ~FullListener() { ::close(fd); }
};

// Lets the event loops run again after a QCoreApplication::exit, as in a new run of the program.
void restartEventLoops()
{
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCoreApplication::exec();
}

}  // namespace

class RemoteCableTest : public TransferFixture {
    Q_OBJECT
    std::unique_ptr<QProcess> m_server;
    int m_port = 0;

    // Serves the radio's pty on 127.0.0.1 with the named peer; false (and a skip) without it.
    bool serve(const QString &peer)
    {
        m_port = freePort();
        m_server = std::make_unique<QProcess>();
        m_server->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QString device = m_radio->devicePath();
        if (peer == QLatin1String("ser2net")) {
            const QString config = path(QStringLiteral("ser2net.yaml"));
            writeFile(config,
                      QStringLiteral("connection: &radio\n"
                                     "  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,%1\n"
                                     "  options:\n    chardelay: false\n"
                                     "  connector: serialdev(nouucplock),%2,9600n81,local\n")
                          .arg(m_port)
                          .arg(device)
                          .toUtf8());
            m_server->start(kPeers + peer, {"-n", "-c", config, "-P", path("ser2net.pid")});
        } else if (peer == QLatin1String("socat")) {  // a bare stream: tcp://; a child
            // lingering after its connection would read the next one's echo: -t
            m_server->start(
                QStringLiteral("socat"),
                {QStringLiteral("-t0.01"),
                 QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(m_port),
                 QStringLiteral("FILE:%1,raw,echo=0").arg(device)});
        } else {
            m_server->start(
                QStringLiteral("socat"),
                {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(m_port),
                 QStringLiteral("EXEC:%1 0 %2 %3").arg(kPeers + peer, device, path("LCK..radio"))});
        }
        if (!m_server->waitForStarted())
            return false;
        QDeadlineTimer deadline(kServerStartMs);
        while (!listening(m_port) && !deadline.hasExpired())
            QTest::qWait(20);
        return listening(m_port);
    }
    QString url(const QString &scheme = QStringLiteral("rfc2217")) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(m_port);
    }
    // Port 1 of the port folder becomes a plain file naming the address; a conversation
    // stands ready for it.
    void publishRemote(const QString &address)
    {
        m_ports->unpublish(1);
        QVERIFY(writeFile(m_ports->path() + "/COM1", address.toUtf8() + "\n"));
        QCOMPARE(resolvePortName(portNameOf(1)), address);
        m_rig = std::make_unique<Rig>(*m_user);
    }
    // Port n of the port folder names the address; a start-up control is set to it.
    bool controlOn(SerialControl &control, int n, const QString &address)
    {
        InitCommsControl(control);
        return writeFile(m_ports->path() + QStringLiteral("/COM%1").arg(n), address.toUtf8())
               && !control.setCommPort(n).failed();
    }

private slots:
    void init() { setUpFixture(); }
    void cleanup()
    {
        if (m_server) {
            m_server->kill();
            m_server->waitForFinished();
        }
        m_server.reset();
        tearDownFixture();
    }

    void readAndWriteAreByteExact_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::newRow("ser2net") << "ser2net";
        QTest::newRow("sredird behind socat") << "sredird";
        QTest::newRow("socat, tcp://") << "socat";
    }
    void readAndWriteAreByteExact()
    {
        QFETCH(QString, peer);
        if ((peer != QLatin1String("socat") && !QFileInfo(kPeers + peer).isExecutable())
            || QStandardPaths::findExecutable("socat").isEmpty())
            QSKIP("ser2net, sredird or socat missing: scripts/setup.sh fetches them");
        VirtualRadioOptions o = radioWith(40);
        o.modelCode = QByteArray("\xFF\x17\xFF\xFF", 4);
        o.comment = QByteArray("VR\xFF\xFF-5A17 V\xFF 1.0", 16);
        o.memory[3].bytes.fill('\xFF');
        m_radio = std::make_unique<VirtualRadio>(o);
        QVERIFY(serve(peer));
        publishRemote(url(peer == QLatin1String("socat") ? "tcp" : "rfc2217"));

        transfer(false, path("read.icf"));
        QVERIFY2(m_user->messages().isEmpty(), qPrintable(m_user->messages().join(" | ")));
        QCOMPARE(fileBytes(path("read.icf")), icfOf(o));
        transfer(true, path("read.icf"));
        QCOMPARE(m_user->messages(), QStringList{"Successful Write"});
        QCOMPARE(m_radio->writtenIcf(), icfOf(o));
        if (peer != QLatin1String("ser2net"))
            return;
        // The command line takes the address as its port.
        QProcess cli;  // the radio answers from this process: the loop must turn meanwhile
        QSignalSpy finished(&cli, &QProcess::finished);
        cli.start(QCoreApplication::applicationDirPath() + "/../cli/replix-cli",
                  {"verify", "--quiet", "--port", url(), path("read.icf")});
        QVERIFY(finished.wait(kTransferLimitMs));
        QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError() + cli.readAllStandardOutput());
    }

    void theSpeedReachesTheFarLine()
    {
        if (!QFileInfo(kPeers + "ser2net").isExecutable())
            QSKIP("ser2net missing: scripts/setup.sh fetches it");
        m_radio = std::make_unique<VirtualRadio>(radioWith(1));
        QVERIFY(serve("ser2net"));
        QVERIFY(writeFile(m_ports->path() + "/COM2", url().toUtf8()));
        SerialControl control;
        InitCommsControl(control);
        QVERIFY(!control.setCommPort(2).failed());
        QVERIFY(!control.setSettings("38400,n,8,1").failed());
        const CommError opened = control.setPortOpen(true);
        QVERIFY2(!opened.failed(), qPrintable(opened.description));
        QCOMPARE(speedOf(m_radio->devicePath()), speed_t(B38400));
        QVERIFY(!control.setSettings("4800,n,8,1").failed());
        QCOMPARE(speedOf(m_radio->devicePath()), speed_t(B4800));
        QCOMPARE(control.devicePath(), url());
        // So do the stop bits (a pseudo-terminal keeps no parity and always 8 data bits).
        QVERIFY(!control.setSettings(QStringLiteral("4800,n,8,2")).failed());
        QVERIFY(lineOf(m_radio->devicePath()).c_cflag & CSTOPB);
    }

    void aServerGoingAwayIsAPulledCable_data()
    {
        QTest::addColumn<bool>("writing");
        QTest::addColumn<QString>("message");
        QTest::newRow("mid-read") << false << "No response from radio.";
        QTest::newRow("mid-write") << true << "Unable to locate interface cable.";
    }
    void aServerGoingAwayIsAPulledCable()
    {
        QFETCH(bool, writing);
        QFETCH(QString, message);
        if (!QFileInfo(kPeers + "ser2net").isExecutable())
            QSKIP("ser2net missing: scripts/setup.sh fetches it");
        VirtualRadioOptions o = radioWith(200);
        o.bitsPerSecond = 9600;
        const QByteArray before = icfOf(radioWith(3));
        QVERIFY(writeFile(path("image.icf"), writing ? icfOf(o) : before));
        m_radio = std::make_unique<VirtualRadio>(o);
        QVERIFY(serve("ser2net"));
        publishRemote(url());
        int records = 0;  // the server dies with the fifth record on the line, either way
        const auto count = [&] {
            if (++records == 5)
                m_server->kill();
        };
        QObject::connect(m_radio.get(), &VirtualRadio::recordSent, count);
        QObject::connect(m_radio.get(), &VirtualRadio::frameFromTool, [&](const QByteArray &frame) {
            if (quint8(frame.at(4)) == 0xE4)
                count();
        });
        transfer(writing, path("image.icf"));
        QCOMPARE(m_user->messages(), QStringList{message});
        QVERIFY2(m_rig->log.contains("Connection closed"), qPrintable(m_rig->log));
        QVERIFY(!m_portOpenAtMessage);
        QCOMPARE(fileBytes(path("image.icf")), writing ? icfOf(o) : before);
        QCOMPARE(m_radio->readsFinished() + m_radio->writesFinished(), 0);
    }

    void unreachableAndSilentServersFailTheOpen_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("error");  // after "HOST:PORT: "
        QTest::newRow("refused") << "none"
                                 << " 112  %1: Connection refused";
        QTest::newRow("accepts and never negotiates")
            << "silent"
            << " 113  %1: the server did not answer the line settings";
        QTest::newRow("no port in the address")
            << "bad"
            << " 115  rfc2217://127.0.0.1: not an address of the form "
               "rfc2217://HOST:PORT or tcp://HOST:PORT";
        QTest::newRow("runs the line at another speed") << "other speed"
                                                        << " 114  %1: the server refused the speed";
        QTest::newRow("the program ends meanwhile") << "quit"
                                                    << " 117  %1: the program is ending";
        QTest::newRow("IPv6, refused") << "[::1]"
                                       << " 112  %1: Connection refused";
        QTest::newRow("never answers the connection") << "full"
                                                      << " 112  %1: Connection timed out";
    }
    void unreachableAndSilentServersFailTheOpen()
    {
        QFETCH(QString, server);
        QFETCH(QString, error);
        const bool silent = server == QLatin1String("silent") || server == QLatin1String("quit");
        ScriptedServer scripted(silent ? ScriptedServer::Silent : ScriptedServer::OtherSpeed);
        FullListener full;
        const int port = silent || server == QLatin1String("other speed")
                             ? scripted.port()
                             : (server == QLatin1String("full") ? full.port : freePort());
        const QString address =
            QStringLiteral("%1:%2").arg(server.startsWith('[') ? server : "127.0.0.1").arg(port);
        SerialControl control;
        QVERIFY(controlOn(control, 3,
                          server == QLatin1String("bad") ? QString("rfc2217://127.0.0.1")
                                                         : "rfc2217://" + address));
        const auto again = qScopeGuard(restartEventLoops);
        if (server == QLatin1String("quit"))
            QTimer::singleShot(300, qApp, [] { QCoreApplication::exit(); });
        QTimer::singleShot(10000, &control, [] { QCoreApplication::exit(); });  // a hung open
        QVERIFY(!OpenPort(control));
        QCOMPARE(m_user->messages(),
                 QStringList{"Unable to open port \r\n\r\n" + error.replace("%1", address)});
        QVERIFY(!control.PortOpen());
    }

    // However a speed change on an open line ends, the caller gets its answer: a refused
    // speed keeps the line and its settings; a server that goes silent or hangs up, the port
    // closed meanwhile or the program ending leave the port closed.
    void aSpeedChangeAlwaysReturns_data()
    {
        QTest::addColumn<int>("later");
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<QString>("error");  // after "HOST:PORT: "
        QTest::newRow("refused") << int(ScriptedServer::OtherSpeed) << ""
                                 << " 114  %1: the server refused the speed";
        QTest::newRow("silent") << int(ScriptedServer::Silent) << ""
                                << " 113  %1: the server did not answer the line settings";
        QTest::newRow("hangs up") << int(ScriptedServer::HangsUp) << ""
                                  << " 116  %1: The remote host closed the connection";
        QTest::newRow("port closed") << int(ScriptedServer::Silent) << "close"
                                     << " 117  %1: the port was closed meanwhile";
        QTest::newRow("program ends") << int(ScriptedServer::Silent) << "quit"
                                      << " 117  %1: the program is ending";
    }
    void aSpeedChangeAlwaysReturns()
    {
        QFETCH(int, later);
        QFETCH(QString, meanwhile);
        QFETCH(QString, error);
        ScriptedServer server(ScriptedServer::Answers, ScriptedServer::Mode(later));
        const QString address = QStringLiteral("127.0.0.1:%1").arg(server.port());
        SerialControl control;
        QVERIFY(controlOn(control, 4, "rfc2217://" + address));
        QVERIFY(OpenPort(control));
        QTimer::singleShot(300, &control, [&] {
            if (meanwhile == QLatin1String("close"))
                ClosePort(control);
            else if (meanwhile == QLatin1String("quit"))
                QCoreApplication::exit();
        });
        const auto again = qScopeGuard(restartEventLoops);
        QVERIFY(!ChangeBaudRate("4800", control));
        QCOMPARE(m_user->messages(),
                 QStringList{"Unable to change baud rate for port \r\n\r\n" + error.arg(address)});
        QCOMPARE(control.PortOpen(), later == ScriptedServer::OtherSpeed);
        QCOMPARE(control.Settings(), QStringLiteral("9600,n,8,1"));
    }

    // What the server reports of the line becomes the events a local cable raises; its
    // confirmation of the line-state mask, in the form of a report, raises none.
    // What a Telnet server's stream holds, item by item, however the network cuts it: data
    // with its doubled 0xFF made single, commands, negotiations, subnegotiations (an overlong
    // one dropped whole, one ended by another command), and a lone IAC kept until its command.
    void theTelnetStreamSplitsIntoItsItems()
    {
        using namespace Telnet;
        const char I = char(kIAC);
        const QByteArray overlong = QByteArray(150, 'x') + I + I + QByteArray(150, 'y');
        const QByteArray stream = QByteArray("ab") + I + I + "c" + I + char(241) + I + char(kWill)
                                  + char(kComPort) + I + char(kSB) + char(kComPort) + "\x01" + I + I
                                  + "\x02" + I + char(kSE) + I + char(kSB) + char(kComPort)
                                  + overlong + I + char(kSE) + "d" + I + char(kSB) + char(kComPort)
                                  + "\x05" + I + char(kWont) + "\x01" + "e" + I;
        const auto items = [](TelnetDecoder &decoder, QStringList &seen) {
            static const char *kinds[] = {"data", "cmd", "neg", "sub"};
            while (const std::optional<TelnetItem> item = decoder.next()) {
                const QString kind = kinds[int(item->kind)];
                const QString bytes = QString::fromLatin1(item->bytes.toHex(' ').toUpper());
                if (kind == "data" && !seen.isEmpty() && seen.last().startsWith("data"))
                    seen.last() += ' ' + bytes;  // a run cut by the network is one run
                else
                    seen << (kind == "data"  ? "data " + bytes
                             : kind == "cmd" ? QString("cmd %1").arg(item->verb, 0, 16)
                             : kind == "neg"
                                 ? QString("neg %1 %2").arg(item->verb, 0, 16).arg(item->option)
                                 : QString("sub %1 %2").arg(item->option).arg(bytes));
            }
        };
        const QStringList expected{"data 61 62 FF 63", "cmd f1",    "neg fb 44", "sub 44 01 FF 02",
                                   "data 64",          "sub 44 05", "neg fc 1",  "data 65"};
        TelnetDecoder whole, byByte;
        QStringList fromWhole, fromBytes;
        whole.append(stream);
        items(whole, fromWhole);
        for (const char c : stream) {
            byByte.append(QByteArray(1, c));
            items(byByte, fromBytes);
        }
        QCOMPARE(fromWhole, expected);
        QCOMPARE(fromBytes, expected);
        whole.append(QByteArray(1, char(241)));  // the lone IAC's command arrives
        items(whole, fromWhole);
        QCOMPARE(fromWhole.last(), QStringLiteral("cmd f1"));
        // The way out: every 0xFF of data and of a subnegotiation's payload doubled.
        QCOMPARE(telnetData(QByteArray("a") + I + "b"), QByteArray("a") + I + I + "b");
        QCOMPARE(telnetSubnegotiation(kComPort, QByteArray(1, I)),
                 QByteArray() + I + char(kSB) + char(kComPort) + I + I + I + char(kSE));
    }

    // The frame goes to the server as RFC 2217 words it, at the open and at every change:
    // data size, parity (1 none, 2 odd, 3 even, 4 mark, 5 space), stop size (1 one, 2 two,
    // 3 one and a half).
    void theFrameGoesOutAsRfc2217WordsIt()
    {
        ScriptedServer server(ScriptedServer::Answers);
        SerialControl control;
        QVERIFY(controlOn(control, 2, QStringLiteral("rfc2217://127.0.0.1:%1\n").arg(server.port()))
                && !control.setSettings("9600,o,7,2").failed());
        const auto said = [&server](int size, int parity, int stop) {
            const auto command = [](int code, int value) {
                return QByteArray::fromHex("FFFA2C") + char(code) + char(value)
                       + QByteArray::fromHex("FFF0");
            };
            return server.heard.contains(command(2, size) + command(3, parity) + command(4, stop));
        };
        // The modem lines and the flow control too, by SET-CONTROL: DTR on 8, off 9; RTS on 11,
        // off 12; no flow control 1, XON/XOFF 2, RTS/CTS 3 (which leaves RTS to the flow).
        const QByteArray head = QByteArray::fromHex("FFFA2C05");
        const auto controlled = [&server, &head](int count) {
            QList<int> values;
            QTest::qWaitFor([&] { return server.heard.count(head) >= count; }, 5000);
            for (qsizetype at = server.heard.indexOf(head); at >= 0;
                 at = server.heard.indexOf(head, at + 1))
                values << quint8(server.heard.at(at + 4));
            server.heard.clear();
            return values;
        };
        const CommError opened = control.setPortOpen(true);
        QVERIFY2(!opened.failed(), qPrintable(opened.description));
        QVERIFY(said(7, 2, 2));
        QCOMPARE(controlled(3), (QList<int>{1, 8, 11}));
        for (const auto &[settings, size, parity, stop] : {std::tuple{"9600,e,8,1", 8, 3, 1},
                                                           {"9600,m,7,1.5", 7, 4, 3},
                                                           {"9600,s,8,1", 8, 5, 1},
                                                           {"9600,n,8,1", 8, 1, 1}}) {
            server.heard.clear();
            QVERIFY(!control.setSettings(settings).failed());
            QVERIFY2(said(size, parity, stop), settings);
        }
        QVERIFY(!control.setSettings("115200,n,8,1").failed());  // the speed, 4 bytes big-endian
        QVERIFY(server.heard.contains(QByteArray::fromHex("FFFA2C010001C200FFF0")));
        QVERIFY(!control.setDTREnable(false).failed() && !control.setRTSEnable(false).failed());
        QCOMPARE(controlled(4), (QList<int>{9, 11, 9, 12}));
        QVERIFY(!control.setHandshaking(2).failed() && !control.setDTREnable(true).failed());
        QCOMPARE(controlled(2), (QList<int>{3, 8}));
    }

    // Each option is offered once; the tool agrees only to BINARY and the com port option, and
    // answers a server's change of mind, but a repeated DO COM-PORT on an open line sets nothing
    // again (a purge then would throw away what the radio sent).
    void theToolAgreesOnceAndOnlyToWhatItWants()
    {
        ScriptedServer server(ScriptedServer::Answers);
        SerialControl control;
        QVERIFY(controlOn(control, 4, QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port())));
        QVERIFY(!control.setPortOpen(true).failed());
        QCOMPARE(server.heard.count(QByteArray::fromHex("FFFB2C")), 1);
        server.heard.clear();
        // DONT BINARY, DO BINARY, DO COM-PORT, DO ECHO, then data
        server.peer->write(QByteArray::fromHex("FFFE00FFFD00FFFD2CFFFD0178"));
        QByteArray got;
        QTRY_COMPARE(got += control.Input(), QByteArray("x"));
        QCOMPARE(server.heard.toHex(' '), QByteArray("ff fc 00 ff fb 00 ff fc 01"));
        // A bare stream carries no Telnet word at all: its lines and flow are the far end's.
        ScriptedServer bare(ScriptedServer::Silent);
        SerialControl plain;
        QVERIFY(controlOn(plain, 5, QStringLiteral("tcp://127.0.0.1:%1").arg(bare.port())));
        QVERIFY(!plain.setPortOpen(true).failed() && !plain.setDTREnable(false).failed()
                && !plain.setHandshaking(2).failed() && !plain.Output("x").failed());
        QTRY_COMPARE(bare.heard, QByteArray("x"));
    }

    void lineAndModemReportsBecomeLineEvents()
    {
        ScriptedServer server(ScriptedServer::Answers);
        SerialControl control;
        QVERIFY(controlOn(control, 4, QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port())));
        QList<int> events;
        QObject::connect(&control, &SerialControl::OnComm, [&] { events << control.CommEvent(); });
        QVERIFY(!control.setPortOpen(true).failed());
        // mask echo; break + overrun, ended by WILL ECHO instead of SE; parity; framing; the
        // mask's own answer; all four (the mask's value, echoed before); CTS and DSR deltas;
        // CD rises, RI ends; CTS falls with no delta bit
        server.peer->write(QByteArray::fromHex("FFFA2C6A1EFFF0"
                                               "FFFA2C6A12FFFB01"
                                               "FFFA2C6A04FFF0"
                                               "FFFA2C6A08FFF0"
                                               "FFFA2C6E1EFFF0"
                                               "FFFA2C6A1EFFF0"
                                               "FFFA2C6B33FFF0"
                                               "FFFA2C6BBCFFF0"
                                               "FFFA2C6BA0FFF0"));
        QTRY_COMPARE(events.size(), 13);
        using namespace CommEventCode;
        QCOMPARE(events, (QList<int>{Break, Overrun, Parity, Framing, Break, Framing, Overrun,
                                     Parity, CtsChanged, DsrChanged, CdChanged, Ring, CtsChanged}));
        QTRY_VERIFY(server.heard.endsWith(QByteArray::fromHex("FFFE01")));  // DONT ECHO
        server.peer->write(
            QByteArray::fromHex("FFFF41"));  // data: FF 41; the stale bytes went with the open
        QTRY_COMPARE(events.size(), 14);
        control.setInputLen(1);  // a byte at a time
        const QByteArray first = control.Input();
        QCOMPARE(first + control.Input(), QByteArray("\xFF\x41"));
    }
};

QTEST_MAIN(RemoteCableTest)
#include "test_remotecable.moc"
