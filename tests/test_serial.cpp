// The serial subsystem over real pseudo-terminals: the serial control, the port names and the
// serial port manager with its lists and messages.

#include "serial/commsmodule.h"
#include "serial/portnamespace.h"
#include "serial/serialcontrol.h"
#include "tests/support/scriptedseam.h"
#include "tools/pty.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <numeric>
#include <vector>

#include <cstdarg>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kQuietMs = 100;  // several line watches; long enough for pty bytes to be seen
constexpr int kArrivalTimeoutMs = 10000;  // generous: a loaded machine may lag, a pass is quick
const QByteArray kIdentifyRequest = QByteArray::fromHex("FEFEEEEFE000000000FD");

const QByteArray kEveryByteValue = [] {
    QByteArray bytes(256, '\0');
    return std::iota(bytes.begin(), bytes.end(), char(0)), bytes;
}();

// Who holds a port besides the control under test: another control of this tool, Qt's serial
// port (its lock file), or a plain open locked with flock, as other programs hold devices.
// (Unplugged: the name still links to a device, which has gone.)
enum class Holder { None, ThisTool, OtherSerialPort, OtherDeviceLock, Unplugged };

// A control set up as at start-up, on the given port.
std::unique_ptr<SerialControl> makeControl(int portNumber)
{
    auto control = std::make_unique<SerialControl>();
    InitCommsControl(*control);
    control->setCommPort(portNumber);
    return control;
}

// Pseudo-terminals published in a fresh REPLIX_PORT_DIR, and whoever holds one of them.
struct PortBench {
    PortFolder folder;
    std::vector<std::unique_ptr<PseudoTerminal>> ptys;
    std::unique_ptr<SerialControl> holdingTool;
    QSerialPort otherPort;
    int lockFd = -1;

    PortBench() { folder.makeCurrent(); }
    ~PortBench() { ::close(lockFd); }
    PseudoTerminal &publishPty(int portNumber)
    {
        ptys.push_back(std::make_unique<PseudoTerminal>());
        folder.publish(portNumber, ptys.back()->slavePath());
        return *ptys.back();
    }
    bool hold(int portNumber, Holder how)
    {
        const QString device = resolvePortName(portNameOf(portNumber));
        otherPort.setPortName(device);
        holdingTool = makeControl(portNumber);
        switch (how) {
        case Holder::ThisTool: return !holdingTool->setPortOpen(true).failed();
        case Holder::OtherSerialPort: return otherPort.open(QIODevice::ReadWrite);
        case Holder::OtherDeviceLock:
            lockFd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY);
            return ::flock(lockFd, LOCK_EX | LOCK_NB) == 0;
        case Holder::Unplugged: return folder.publish(portNumber, QStringLiteral("/dev/ttyGone"));
        default: return true;
        }
    }
};

// Port 1 published as a pseudo-terminal, and a start-up control on it.
struct Port1 {
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    std::unique_ptr<SerialControl> control = makeControl(1);
    bool open() { return !control->setPortOpen(true).failed(); }
    termios device() const  // the pty's own settings, as the driver holds them
    {
        termios tio{};
        const int fd = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY);
        return ::tcgetattr(fd, &tio), ::close(fd), tio;
    }
};

// The modem lines DTR and RTS as the driver was last told them (-1: never told). A
// pseudo-terminal has none and refuses the requests, so while the stand-in is on this process
// answers them itself, as an adapter's driver would.
bool modemStandIn = false;
int modemLines = -1;
bool lowLatency = false;  // asked of the driver while the stand-in is on
// While set, the error counters and modem input lines the driver reports.
const LineStatus *driverStatus = nullptr;

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list rest;
    va_start(rest, request);
    void *argument = va_arg(rest, void *);
    va_end(rest);
    if (modemStandIn && (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET)) {
        const int bits = *static_cast<const int *>(argument) & (TIOCM_DTR | TIOCM_RTS);
        const int lines = std::max(modemLines, 0);
        modemLines = request == TIOCMSET   ? bits
                     : request == TIOCMBIS ? lines | bits
                                           : lines & ~bits;
        return 0;
    }
    if (modemStandIn && (request == TIOCGSERIAL || request == TIOCSSERIAL)) {
        auto *serial = static_cast<serial_struct *>(argument);
        request == TIOCGSERIAL ? void(*serial = serial_struct{})
                               : void(lowLatency = serial->flags & ASYNC_LOW_LATENCY);
        return 0;
    }
    if (driverStatus && request == TIOCGICOUNT && driverStatus->counters) {
        const LineStatus::Counters &c = *driverStatus->counters;
        auto *counts = static_cast<serial_icounter_struct *>(argument);
        *counts = serial_icounter_struct{};
        counts->brk = c.breaks, counts->frame = c.framing, counts->overrun = c.overrun;
        counts->buf_overrun = c.bufferOverflow, counts->parity = c.parity;
        return 0;
    }
    if (driverStatus && request == TIOCMGET && driverStatus->lines) {
        const LineStatus::Lines &l = *driverStatus->lines;
        *static_cast<int *>(argument) = (l.cts ? TIOCM_CTS : 0) | (l.dsr ? TIOCM_DSR : 0)
                                        | (l.cd ? TIOCM_CD : 0) | (l.ring ? TIOCM_RI : 0);
        return 0;
    }
    return int(::syscall(SYS_ioctl, fd, request, argument));
}

Q_DECLARE_METATYPE(Holder)

class SerialTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        qunsetenv("REPLIX_PORT_DIR");
        pinPortNames({});
    }

    void settingsAreCheckedAndARefusalKeepsTheOldOnes_data();
    void settingsAreCheckedAndARefusalKeepsTheOldOnes();
    void handshakingReachesTheDevice();
    void modemLinesReachTheDevice();
    void aControlThatGoesWhileOpenLetsItsDeviceGo();
    void repeatedChangesAreHarmlessAndBytesPassUntilTheCableIsPulled_data();
    void repeatedChangesAreHarmlessAndBytesPassUntilTheCableIsPulled();
    void eventsWaitForHoldsAndStopAtTheClose();
    void sendIsToldOnceTheLastByteHasGone();
    void eachCounterAndLineRaisesItsOwnEvent_data();
    void eachCounterAndLineRaisesItsOwnEvent();
    void aLockOnDescriptorZeroIsALock();
    void aKeptDeviceIsLetGoWhenTheNextOpenNamesAnother();
    void portListOffersOnlyFreePorts_data();
    void portListOffersOnlyFreePorts();
    void aPortFolderThatIsNotThereListsNoPortAtAll();
    void systemPortsAreNumberedInNameOrder();
    void portAndSpeedChangesAreCheckedAndReported_data();
    void portAndSpeedChangesAreCheckedAndReported();
};

// On an open pty, which has the last word: what it takes it runs at, and a refusal keeps the
// old settings. (A closed control's checks show in the table of port and speed changes.)
void SerialTest::settingsAreCheckedAndARefusalKeepsTheOldOnes_data()
{
    QTest::addColumn<QStringList>("settings");  // each tried in turn, with the same outcome
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("deviceSpeed");
    QTest::addColumn<bool>("twoStopBits");
    using namespace CommErrorNumber;

    QTest::newRow("2 stop bits, upper-case parity")
        << QStringList{"4800,N,8,2"} << 0 << int(B4800) << true;
    QTest::newRow("usual higher speed")
        << QStringList{"115200,n,8,1"} << 0 << int(B115200) << false;
    QTest::newRow("7 data bits: a pty has only 8")
        << QStringList{"4800,e,7,2"} << DeviceRefusedSettings << int(B9600) << false;
    QTest::newRow("not speed,parity,data,stop")
        << QStringList{"4800", "4800,n,8,1,1", "4800,x,8,1", "4800,n,9,1", "4800,n,8,3"}
        << BadSettings << int(B9600) << false;
}

void SerialTest::settingsAreCheckedAndARefusalKeepsTheOldOnes()
{
    QFETCH(QStringList, settings);
    QFETCH(int, error);
    Port1 port;
    QVERIFY(port.open());
    for (const QString &tried : settings) {
        const CommError result = port.control->setSettings(tried);
        QCOMPARE(result.number, error);
        QCOMPARE(port.control->Settings(), error == 0 ? tried : QStringLiteral("9600,n,8,1"));
    }
    const termios tio = port.device();
    QTEST(int(::cfgetospeed(&tio)), "deviceSpeed");
    QTEST(bool(tio.c_cflag & CSTOPB), "twoStopBits");
}

// The handshaking chosen is the device's, open or chosen before the open: none, XON/XOFF
// (software), RTS/CTS (hardware); 3 (both) is no choice Qt offers.
void SerialTest::handshakingReachesTheDevice()
{
    Port1 port;
    QVERIFY(!port.control->setHandshaking(2).failed());
    QVERIFY(port.open());
    QStringList seen;
    const auto flow = [&port] {
        const termios tio = port.device();
        return QStringLiteral("%1%2")
            .arg(tio.c_cflag & CRTSCTS ? "rts/cts" : "-")
            .arg(tio.c_iflag & IXON ? " xon/xoff" : "");
    };
    seen << flow();
    for (int mode : {1, 0, 3}) {
        const CommError result = port.control->setHandshaking(mode);
        seen << QString::number(result.number) + ' ' + flow();
    }
    QVERIFY(!port.control->setHandshaking(1).failed()
            && !port.control->setSettings("4800,n,8,1").failed());
    seen << flow();  // a speed change keeps it
    QCOMPARE(seen, QStringList({"rts/cts", "0 - xon/xoff", "0 -", "101 -",
                                "- xon/xoff"}));  // the numbers are stable: messages quote them
    QCOMPARE(port.control->Handshaking(), 1);
}

// DTR and RTS as the driver is told them (a cable may draw its power from them): set at the
// open as the control holds them, changed at once while open, RTS left to the driver under
// rts/cts handshaking.
void SerialTest::modemLinesReachTheDevice()
{
    modemStandIn = true;
    modemLines = -1;
    auto off = qScopeGuard([] { modemStandIn = false; });
    Port1 port;
    const auto told = [] {
        return modemLines < 0 ? QStringLiteral("none")
                              : QStringLiteral("%1 %2")
                                    .arg(modemLines & TIOCM_DTR ? "DTR" : "-")
                                    .arg(modemLines & TIOCM_RTS ? "RTS" : "-");
    };
    QStringList seen;
    QVERIFY(!port.control->setDTREnable(false).failed());
    seen << told();  // nothing is told a closed port
    QVERIFY(port.open());
    seen << told();
    QVERIFY(!port.control->setDTREnable(true).failed()
            && !port.control->setRTSEnable(false).failed());
    seen << told();
    QVERIFY(!port.control->setRTSEnable(true).failed());
    seen << told();
    QVERIFY(!port.control->setPortOpen(false).failed()
            && !port.control->setHandshaking(2).failed());
    modemLines = 0;
    QVERIFY(port.open());
    seen << told();
    QVERIFY(!port.control->setHandshaking(1).failed()
            && !port.control->setRTSEnable(true).failed());  // xon/xoff leaves RTS to us
    seen << told();
    QCOMPARE(seen, QStringList({"none", "- RTS", "DTR -", "DTR RTS", "DTR -", "DTR RTS"}));
    QVERIFY(lowLatency);  // a cable that holds bytes back would slow every record
}

// A window or a command that ends with its port open leaves the device free for the next.
void SerialTest::aControlThatGoesWhileOpenLetsItsDeviceGo()
{
    Port1 port;
    QVERIFY(port.open());
    QCOMPARE(SerialControl::probeDevice(port.pty.slavePath()).number, 108);  // in use
    port.control.reset();
    QCOMPARE(SerialControl::probeDevice(port.pty.slavePath()).number, 0);
}

// Started without standard input, the device's lock takes descriptor 0: a lock like any other.
void SerialTest::aLockOnDescriptorZeroIsALock()
{
    Port1 port;
    const int kept = ::dup(STDIN_FILENO);
    ::close(STDIN_FILENO);
    auto back = qScopeGuard([kept] { ::dup2(kept, STDIN_FILENO), ::close(kept); });
    QVERIFY(port.open());
    QCOMPARE(SerialControl::probeDevice(port.pty.slavePath()).number, 108);  // in use
    QVERIFY(!port.control->setPortOpen(false).failed());
    QCOMPARE(SerialControl::probeDevice(port.pty.slavePath()).number, 0);
}

// Also with the device kept open across a close (the receive fuzzer's way): closed is closed.
void SerialTest::repeatedChangesAreHarmlessAndBytesPassUntilTheCableIsPulled_data()
{
    QTest::addColumn<bool>("keepDevice");
    QTest::newRow("device closed by a close") << false;
    QTest::newRow("device kept open by a close") << true;
}

void SerialTest::repeatedChangesAreHarmlessAndBytesPassUntilTheCableIsPulled()
{
    QFETCH(bool, keepDevice);
    Port1 port;
    port.control->setKeepDeviceOpen(keepDevice);
    ScriptedSeam user;
    QVERIFY(ClosePort(*port.control) && OpenPort(*port.control) && ClosePort(*port.control));
    QCOMPARE(port.control->Output(kIdentifyRequest).number, 104);  // not open
    QCOMPARE(port.control->setCommPort(0).number, 102);            // no such port number
    QCOMPARE(SerialControl::probeDevice(port.pty.slavePath()).failed(), keepDevice);  // free?
    QVERIFY(port.pty.write("left from before the open"));
    QTest::qWait(kQuietMs);
    QVERIFY(ChangeBaudRate("4800", *port.control) && OpenPort(*port.control));
    const termios tio = port.device();
    QCOMPARE(::cfgetospeed(&tio), speed_t(B4800));  // a speed changed while closed is the open's
    // Seen once under load with -j2: say what the user was told when it fails.
    QVERIFY2(ClosePort(*port.control) && OpenPort(*port.control) && OpenPort(*port.control),
             qPrintable(user.messages().join(QStringLiteral(" | "))));
    QCOMPARE(port.control->setCommPort(2).number, 103);  // already open
    QCOMPARE(port.control->CommPort(), 1);
    QComboBox speeds;
    FillSpeedList(&speeds);
    QStringList listed;
    for (int i = 0; i < speeds.count(); ++i)
        listed << speeds.itemText(i);
    QCOMPARE(listed.join(' '), QStringLiteral("110 300 600 1200 2400 4800 9600 14400"));
    QCOMPARE(speeds.currentText(), QStringLiteral("9600"));
    for (int i = 0; i < speeds.count(); ++i)  // 14400 among them: no standard terminal speed
        QVERIFY2(ChangeBaudRate(speeds.itemText(i), *port.control), qPrintable(speeds.itemText(i)));
    QCOMPARE(user.messages(), QStringList{});
    QCOMPARE(port.control->devicePath(), QFileInfo(port.pty.slavePath()).canonicalFilePath());
    QList<int> codes;
    QByteArray received;
    connect(port.control.get(), &SerialControl::OnComm, this, [&] {
        codes << port.control->CommEvent();
        if (codes.last() == CommEventCode::Receive)
            received += port.control->Input();
    });

    QVERIFY(!port.control->Output(kIdentifyRequest).failed());
    QVERIFY(!port.control->Output(kEveryByteValue).failed());
    const QByteArray frames = kIdentifyRequest + kEveryByteValue;
    QByteArray atMaster;
    QTRY_VERIFY_WITH_TIMEOUT((atMaster += port.pty.read(0, 0)).size() >= frames.size(),
                             kArrivalTimeoutMs);
    QCOMPARE(atMaster.toHex(' '), frames.toHex(' '));
    QTRY_COMPARE_WITH_TIMEOUT(codes, QList<int>{CommEventCode::Send}, kArrivalTimeoutMs);

    // 00 and 1A among them, and what a terminal would act on (CR, LF, Ctrl+C, XON, XOFF).
    const QByteArray sent = kEveryByteValue + QByteArray::fromHex("001A00FD");
    QVERIFY(port.pty.write(sent));
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= sent.size(), kArrivalTimeoutMs);
    QCOMPARE(received.toHex(' '), sent.toHex(' '));
    QCOMPARE(codes.count(CommEventCode::Receive), codes.size() - 1);

    // A pulled cable: the port closes, and the loop does not spin on the dead device.
    codes.clear();
    port.pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!port.control->PortOpen(), kArrivalTimeoutMs);
    QCOMPARE(port.control->Output(kIdentifyRequest).number, CommErrorNumber::PortNotOpen);
    QTest::qWait(kQuietMs);
    QCOMPARE(codes, QList<int>{});
}

// A handler's modal box runs a nested loop, and a transfer holds events around its own work:
// either way events wait, then come from the event loop in order, the bytes in one event. Line
// and error events follow the driver's counters and lines (fed here; a pty has neither, and the
// other tests see no event from it), one for each change, an error before the bytes it came
// with. Nothing waiting at a close is delivered.
void SerialTest::eventsWaitForHoldsAndStopAtTheClose()
{
    using namespace CommEventCode;
    Port1 port;
    LineStatus driver{LineStatus::Counters{}, LineStatus::Lines{}};
    port.control->setLineStatusReader([&](int) { return driver; });
    QVERIFY(port.open());
    QList<int> codes;
    QByteArray received;
    int depth = 0, deepest = 0;
    connect(port.control.get(), &SerialControl::OnComm, this, [&] {
        deepest = std::max(deepest, ++depth);
        if ((codes << port.control->CommEvent()).last() == Receive)
            received += port.control->Input();
        if (codes.size() == 1) {  // as a message box would: events come in under its loop
            port.pty.write(QByteArray::fromHex("FEFE00"));
            QTest::qWait(kQuietMs);
            driver.counters->framing = 3;  // one event, however far a counter moved
            driver.lines->cts = true;
            port.pty.write(QByteArray::fromHex("1AEFFD"));
            QTest::qWait(kQuietMs);
        }
        --depth;
    });

    port.control->raiseCommEvent(Break);  // delivered at once
    {  // what came in meanwhile is queued now; a hold taken at once must still keep it back
        SerialControl::EventHold hold(*port.control);
        {
            SerialControl::EventHold inner(*port.control);
        }
        QTest::qWait(kQuietMs);
        QCOMPARE(codes, QList<int>{Break});
    }
    QCOMPARE(codes, QList<int>{Break});  // not from the release itself
    QTRY_COMPARE_WITH_TIMEOUT(codes, (QList<int>{Break, Framing, CtsChanged, Receive}),
                              kArrivalTimeoutMs);
    QCOMPARE(deepest, 1);
    QCOMPARE(received.toHex(' '), QByteArray("fe fe 00 1a ef fd"));
    driver.counters->parity = 1;
    QVERIFY(port.pty.write(QByteArray::fromHex("FD")));
    QTRY_COMPARE_WITH_TIMEOUT(codes.mid(4), (QList<int>{Parity, Receive}), kArrivalTimeoutMs);
    *driver.counters = {1, 3, 1, 1, 1};
    *driver.lines = {true, true, true, true};
    const QList<int> changes{Break, Overrun, ReceiveOverflow, DsrChanged, CdChanged, Ring};
    QTRY_COMPARE_WITH_TIMEOUT(codes.mid(6), changes, kArrivalTimeoutMs);
    {
        SerialControl::EventHold hold(*port.control);
        port.control->raiseCommEvent(TransmitFull);
    }
    QTRY_COMPARE_WITH_TIMEOUT(codes.mid(12), QList<int>{TransmitFull},
                              kArrivalTimeoutMs);  // no bytes with it
    {
        SerialControl::EventHold hold(*port.control);
        port.control->raiseCommEvent(TransmitFull);
        driver.lines->cts = false;
        QTest::qWait(kQuietMs);
        QVERIFY(!port.control->setPortOpen(false).failed());
    }
    QTest::qWait(kQuietMs);
    QCOMPARE(codes.size(), 13);
}

// A far end that reads slowly holds the bytes back: Send, the transmit buffer empty, is told
// once, when the driver has taken the last byte (all but what it holds itself has been read).
void SerialTest::sendIsToldOnceTheLastByteHasGone()
{
    Port1 port;
    QVERIFY(port.open());
    QByteArray sent(256 * 1024, 'x'), drained;
    QList<qsizetype> drainedAtSend;
    connect(port.control.get(), &SerialControl::OnComm, this, [&] {
        QCOMPARE(port.control->CommEvent(), int(CommEventCode::Send));
        drainedAtSend << drained.size();
    });
    QVERIFY(!port.control->Output(sent).failed());
    QTest::qWait(kQuietMs);
    QTRY_VERIFY_WITH_TIMEOUT((drained += port.pty.read(0, 0)).size() >= sent.size(),
                             kArrivalTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(drainedAtSend.size(), 1, kArrivalTimeoutMs);
    QVERIFY2(drainedAtSend[0] > sent.size() / 2, "Send told while the tool still held bytes");
    QCOMPARE(drained, sent);
    port.pty.closeMaster();  // a cable pulled after bytes had to wait is noticed all the same
    QTRY_VERIFY_WITH_TIMEOUT(!port.control->PortOpen(), kArrivalTimeoutMs);
}

// One counter or one input line moves at a time, on a driver with and without error counters
// (a USB cable may report its modem lines and keep no counters).
void SerialTest::eachCounterAndLineRaisesItsOwnEvent_data()
{
    QTest::addColumn<bool>("counters");
    QTest::addColumn<QString>("moves");
    QTest::addColumn<int>("event");
    QTest::addColumn<bool>("byDriver");  // read from the driver itself, not a reader given
    using namespace CommEventCode;
    const QList<std::pair<const char *, int>> lines{
        {"cts", CtsChanged}, {"dsr", DsrChanged}, {"cd", CdChanged}, {"ring", Ring}};
    for (const auto &[name, event] :
         QList<std::pair<const char *, int>>{{"breaks", Break},
                                             {"framing", Framing},
                                             {"overrun", Overrun},
                                             {"overflow", ReceiveOverflow},
                                             {"parity", Parity}})
        for (const bool byDriver : {false, true})
            QTest::addRow("%s%s", name, byDriver ? ", by the driver" : "")
                << true << name << event << byDriver;
    for (const auto &[name, event] : lines) {
        QTest::addRow("%s", name) << true << name << event << false;
        QTest::addRow("%s, no counters", name) << false << name << event << false;
        QTest::addRow("%s, by the driver", name) << true << name << event << true;
    }
}

void SerialTest::eachCounterAndLineRaisesItsOwnEvent()
{
    QFETCH(bool, counters);
    QFETCH(QString, moves);
    QFETCH(int, event);
    QFETCH(bool, byDriver);
    Port1 port;
    LineStatus driver{counters ? std::optional(LineStatus::Counters{}) : std::nullopt,
                      LineStatus::Lines{}};
    const auto off = qScopeGuard([] { driverStatus = nullptr; });
    if (byDriver)
        driverStatus = &driver;
    else
        port.control->setLineStatusReader([&](int) { return driver; });
    QVERIFY(port.open());
    QList<int> codes;
    connect(port.control.get(), &SerialControl::OnComm, this,
            [&] { codes << port.control->CommEvent(); });
    LineStatus::Counters spare;  // the rows without counters move only lines
    LineStatus::Counters &c = counters ? *driver.counters : spare;
    const QHash<QString, std::function<void()>> move{
        {"breaks", [&] { c.breaks = 2; }},           {"framing", [&] { c.framing = 2; }},
        {"overrun", [&] { c.overrun = 2; }},         {"overflow", [&] { c.bufferOverflow = 2; }},
        {"parity", [&] { c.parity = 2; }},           {"cts", [&] { driver.lines->cts = true; }},
        {"dsr", [&] { driver.lines->dsr = true; }},  {"cd", [&] { driver.lines->cd = true; }},
        {"ring", [&] { driver.lines->ring = true; }}};
    move[moves]();
    QTRY_COMPARE_WITH_TIMEOUT(codes, QList<int>{event}, kArrivalTimeoutMs);
    QTest::qWait(kQuietMs);
    QCOMPARE(codes, QList<int>{event});
}

// A control that keeps its device across a close still lets it go, and opens the other one,
// when the next open names another device.
void SerialTest::aKeptDeviceIsLetGoWhenTheNextOpenNamesAnother()
{
    PortBench bench;
    PseudoTerminal &first = bench.publishPty(1);
    PseudoTerminal &second = bench.publishPty(2);
    std::unique_ptr<SerialControl> control = makeControl(1);
    control->setKeepDeviceOpen(true);
    QVERIFY(!control->setPortOpen(true).failed() && !control->setPortOpen(false).failed());
    QVERIFY(SerialControl::probeDevice(first.slavePath()).failed());  // kept
    QVERIFY(!control->setCommPort(2).failed() && !control->setPortOpen(true).failed());
    QVERIFY(!SerialControl::probeDevice(first.slavePath()).failed());
    QVERIFY(!control->Output("to the second").failed());
    QByteArray atSecond;
    QTRY_VERIFY_WITH_TIMEOUT((atSecond += second.read(0, 0)).size() >= 13, kArrivalTimeoutMs);
    QCOMPARE(atSecond, QByteArray("to the second"));
}

// Each case also opens port 1 after the list is filled: a held port is refused with the reason.
void SerialTest::portListOffersOnlyFreePorts_data()
{
    QTest::addColumn<QList<int>>("ptyPorts");
    QTest::addColumn<Holder>("holder");  // of port 1
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("openMessage");

    const QList<int> ports{1, 3, 5};
    const QStringList threeFive{"3", "5"};
    const QString prefix = QStringLiteral("Unable to open port \r\n\r\n");
    const QString busy = prefix + " 108  Device or resource busy";
    const QString gone = prefix + " 107  No such file or directory";
    QTest::newRow("1 held by this tool") << ports << Holder::ThisTool << threeFive << busy;
    QTest::newRow("1 held by another program's serial port")
        << ports << Holder::OtherSerialPort << threeFive
        << prefix + " 108  Permission error while locking the device";
    QTest::newRow("1 held by a program that locks the device")
        << ports << Holder::OtherDeviceLock << threeFive << busy;
    QTest::newRow("1 unplugged") << ports << Holder::Unplugged << threeFive << gone;
    QTest::newRow("no port at all") << QList<int>{} << Holder::None << QStringList{} << gone;
    QTest::newRow("16 is listed, 17 never")
        << QList<int>{16, 17} << Holder::None << QStringList{"16"} << gone;
}

void SerialTest::aPortFolderThatIsNotThereListsNoPortAtAll()
{
    // Not the machine's own ports either (where it has any: /dev/ttyS0 and so on).
    qputenv("REPLIX_PORT_DIR", "/no/such/folder");
    ScriptedSeam user;
    QComboBox list;
    FillPortList(&list);
    QCOMPARE(list.count(), 0);
    QCOMPARE(user.messages(), QStringList{"Unable to find an unused serial port"});
}

void SerialTest::portListOffersOnlyFreePorts()
{
    QFETCH(QList<int>, ptyPorts);
    QFETCH(Holder, holder);
    QFETCH(QStringList, expected);
    QFETCH(QString, openMessage);
    PortBench bench;
    QMap<int, QString> devices;
    for (int n : ptyPorts)
        devices[n] = QFileInfo(bench.publishPty(n).slavePath()).canonicalFilePath();
    // Neither a character device that is no serial port, nor a plain file, is offered.
    bench.folder.publish(7, QStringLiteral("/dev/null"));
    bench.folder.publish(9, QStringLiteral("/etc/hostname"));
    QVERIFY(bench.hold(1, holder));
    ScriptedSeam user;
    QComboBox list;
    FillPortList(&list);

    QStringList items;
    for (int i = 0; i < list.count(); ++i) {
        items << list.itemText(i);
        QCOMPARE(list.itemData(i, Qt::ToolTipRole).toString(),
                 devices.value(list.itemText(i).toInt()));
    }
    QCOMPARE(items, expected);
    QCOMPARE(list.currentText(), expected.value(0));
    QCOMPARE(user.messages(), expected.isEmpty()
                                  ? QStringList{"Unable to find an unused serial port"}
                                  : QStringList{});
    user.clear();
    // A refused open keeps no descriptor, so its control's end closes none of the process's
    // own (standard input, opened here if the test was started without one).
    QVERIFY(::fcntl(STDIN_FILENO, F_GETFD) != -1 || ::open("/dev/null", O_RDONLY) == 0);
    auto control = makeControl(1);
    QVERIFY(!OpenPort(*control));
    QCOMPARE(user.messages(), QStringList{openMessage});
    QVERIFY(SerialControl::probeDevice(bench.folder.path() + "/COM1")
                .failed());  // a link is its device
    control.reset();
    QVERIFY(::fcntl(STDIN_FILENO, F_GETFD) != -1);

    // Every number now names another device (an adapter plugged in before them renumbers the
    // system's ports): a listed number still opens the device its tooltip named.
    for (int n : ptyPorts)
        bench.publishPty(n);
    for (int i = 0; i < list.count(); ++i) {
        auto chosen = makeControl(list.itemText(i).toInt());
        QVERIFY(OpenPort(*chosen));
        QCOMPARE(chosen->devicePath(), list.itemData(i, Qt::ToolTipRole).toString());
    }
}

void SerialTest::systemPortsAreNumberedInNameOrder()
{
    QCOMPARE(inPortOrder({"/dev/ttyUSB10", "/dev/ttyS10", "/dev/ttyUSB2", "/dev/ttyS2",
                          "/dev/ttyACM0", "/dev/ttyS02"}),
             QStringList({"/dev/ttyACM0", "/dev/ttyS02", "/dev/ttyS2", "/dev/ttyS10",
                          "/dev/ttyUSB2", "/dev/ttyUSB10"}));
}

// A port change (before: the port number) or a speed change (before: the settings of a closed
// control) with the text the user gave; message empty: the change is made.
void SerialTest::portAndSpeedChangesAreCheckedAndReported_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("message");  // null: the speed field's rewrite alone, no control

    const QString port = QStringLiteral("Unable to change to port COM%1:\r\n\r\n");
    const QString speed = QStringLiteral("Unable to change baud rate for port \r\n\r\n");
    const auto row = [](const char *name, const char *before, const char *text, const char *after,
                        const QString &message) {
        QTest::newRow(name) << QString(before) << QString(text) << QString(after) << message;
    };
    row("the current port, held by another", "5", "5", "5", "");
    row("a free port with spaces", "1", "  3 ", "3", "");
    row("an empty text", "1", "", "1", "");
    row("a plain file is no port", "1", " 7 ", "1", port.arg(7) + "Port does not exist");
    row("a held port", "1", "5", "1", port.arg(5) + "Port is in use");
    row("speed: other fields kept", "1200,e,7,2", "  300 ", "300,e,7,2", "");
    row("unsupported speed refused", "9600,e,7,2", "12345", "9600,e,7,2",
        speed + " 106  Unsupported speed 12345");
    row("no speed", "9600,e,7,2", "", "9600,e,7,2",
        speed + " 105  Invalid line settings \",e,7,2\"");
    row("no comma", "9600", "300", "300,9600", QString());
    row("only the first comma counts", "9600,,,", "600", "600,,,", QString());
}

void SerialTest::portAndSpeedChangesAreCheckedAndReported()
{
    QFETCH(QString, before);
    QFETCH(QString, text);
    QFETCH(QString, message);
    if (message.isNull()) {
        QTEST(replaceSpeedField(before, text), "after");
        return;
    }
    PortBench bench;
    for (int n : {1, 3, 5})
        bench.publishPty(n);
    QVERIFY(bench.folder.publish(7, QStringLiteral("/etc/hostname")));
    QVERIFY(bench.hold(5, Holder::OtherSerialPort));
    const bool speed = before.contains(u',');
    auto control = makeControl(speed ? 1 : before.toInt());
    QVERIFY(!speed || !control->setSettings(before).failed());
    ScriptedSeam user;

    QCOMPARE(speed ? ChangeBaudRate(text, *control) : ChangePort(text, *control),
             message.isEmpty());
    QTEST(speed ? control->Settings() : QString::number(control->CommPort()), "after");
    QCOMPARE(user.messages(), message.isEmpty() ? QStringList{} : QStringList{message});
}

QTEST_MAIN(SerialTest)
#include "test_serial.moc"
