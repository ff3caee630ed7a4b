// The serial subsystem over real pseudo-terminals: the serial control, the port names and the
// serial port manager with its lists and messages.

#include "serial/commsmodule.h"
#include "serial/portnamespace.h"
#include "serial/serialcontrol.h"
#include "tests/support/scriptedseam.h"
#include "tools/pty.h"

#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto kQuiet = 100ms;          // long enough for bytes on a pty to have been seen
constexpr int kArrivalTimeoutMs = 2000;

const QByteArray kIdentifyRequest = QByteArray::fromHex("FEFEEEEFE000000000FD");

QByteArray everyByteValue()
{
    QByteArray bytes;
    for (int value = 0; value < 256; ++value)
        bytes.append(char(value));
    return bytes;
}

void runNestedLoop(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// Who holds a port besides the control under test.
enum class Holder { None, ThisTool, OtherSerialPort, OtherDeviceLock };

// Another program holding a device: a child process that opens it with Qt's serial port, or
// opens it plainly and locks it, and keeps it until this object goes.
class HolderProcess {
public:
    HolderProcess(const QString &devicePath, Holder how)
    {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(m_stop) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(m_stop[1]);
            char held = 0;
            QSerialPort port;
            int fd = -1;
            if (how == Holder::OtherSerialPort) {
                port.setPortName(devicePath);
                held = port.open(QIODevice::ReadWrite) ? 1 : 0;
            } else {
                fd = ::open(QFile::encodeName(devicePath).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
                held = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? 1 : 0;
            }
            (void)!::write(ready[1], &held, 1);
            char c;
            (void)!::read(m_stop[0], &c, 1);  // returns when the parent closes its end
            port.close();
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(m_stop[0]);
        char held = 0;
        m_held = ::read(ready[0], &held, 1) == 1 && held == 1;
        ::close(ready[0]);
    }
    ~HolderProcess()
    {
        if (m_pid > 0) {
            ::close(m_stop[1]);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool held() const { return m_held; }

private:
    pid_t m_pid = -1;
    int m_stop[2] = {-1, -1};
    bool m_held = false;
};

// Ports published in a fresh REPLIX_PORT_DIR, each a pseudo-terminal.
struct PortBench {
    PortFolder folder;
    std::vector<std::unique_ptr<PseudoTerminal>> ptys;

    PortBench() { folder.makeCurrent(); }
    PseudoTerminal &publishPty(int portNumber)
    {
        ptys.push_back(std::make_unique<PseudoTerminal>());
        folder.publish(portNumber, ptys.back()->slavePath());
        return *ptys.back();
    }
};

// A control set up as at start-up, on the given port.
std::unique_ptr<SerialControl> makeControl(int portNumber)
{
    auto control = std::make_unique<SerialControl>();
    InitCommsControl(*control);
    control->setCommPort(portNumber);
    return control;
}

} // namespace

Q_DECLARE_METATYPE(Holder)

class SerialTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    // The serial control
    void settingsAreCheckedAndARefusalKeepsTheOldOnes_data();
    void settingsAreCheckedAndARefusalKeepsTheOldOnes();
    void settingsReachTheOpenDevice_data();
    void settingsReachTheOpenDevice();
    void portNumberChangesAreRefusedWhileOpenOrOutOfRange_data();
    void portNumberChangesAreRefusedWhileOpenOrOutOfRange();
    void outputArrivesByteExactAndInOrder();
    void outputIsRefusedWhileClosed();
    void outputRaisesASendEventOnceTheBufferDrains();
    void everyReceivedByteComesOutOfInputInOrder();
    void heldEventsWaitOutANestedLoopAndArriveInOneEvent();
    void handlerInAModalLoopIsNotEnteredAgain();
    void raisedEventsWaitForTheHoldAndKeepTheirOrder();
    void pulledCableClosesThePort();

    // Port names
    void portNamesResolveThroughThePortFolder_data();
    void portNamesResolveThroughThePortFolder();

    // The serial port manager
    void portListOffersOnlyFreePorts_data();
    void portListOffersOnlyFreePorts();
    void changePortChecksAndReports_data();
    void changePortChecksAndReports();
    void speedFieldIsTheOnlyOneRewritten_data();
    void speedFieldIsTheOnlyOneRewritten();
    void changeBaudRateReportsARefusedSpeed_data();
    void changeBaudRateReportsARefusedSpeed();
    void speedListHoldsTheEightSpeedsAndEachIsAccepted();
    void openAndCloseAreHarmlessWhenRepeated();
    void openFailureQuotesTheReason_data();
    void openFailureQuotesTheReason();
    void permissionFailureQuotesTheSystemReason();
    void aLinkToAHeldDeviceIsNotFree();
    void startUpSetupAppliesTheFixedValues();
};

void SerialTest::init() { qunsetenv("REPLIX_PORT_DIR"); }

void SerialTest::settingsAreCheckedAndARefusalKeepsTheOldOnes_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("error");

    QTest::newRow("the start-up settings") << "9600,n,8,1" << 0;
    QTest::newRow("lowest speed of the list") << "110,n,8,1" << 0;
    QTest::newRow("highest speed of the list, upper-case parity") << "14400,N,8,1" << 0;
    QTest::newRow("usual higher speed, even parity, 2 stop bits") << "115200,e,7,2" << 0;
    QTest::newRow("230400, odd parity, 1.5 stop bits") << "230400,o,5,1.5" << 0;
    QTest::newRow("mark and space parity") << "19200,m,8,1" << 0;
    QTest::newRow("speed no device has") << "12345,n,8,1" << CommErrorNumber::UnsupportedSpeed;
    QTest::newRow("zero speed") << "0,n,8,1" << CommErrorNumber::UnsupportedSpeed;
    QTest::newRow("speed alone") << "9600" << CommErrorNumber::BadSettings;
    QTest::newRow("two fields") << "300,9600" << CommErrorNumber::BadSettings;
    QTest::newRow("five fields") << "9600,n,8,1,1" << CommErrorNumber::BadSettings;
    QTest::newRow("empty") << "" << CommErrorNumber::BadSettings;
    QTest::newRow("speed not a number") << "fast,n,8,1" << CommErrorNumber::BadSettings;
    QTest::newRow("negative speed") << "-9600,n,8,1" << CommErrorNumber::BadSettings;
    QTest::newRow("unknown parity letter") << "9600,x,8,1" << CommErrorNumber::BadSettings;
    QTest::newRow("nine data bits") << "9600,n,9,1" << CommErrorNumber::BadSettings;
    QTest::newRow("three stop bits") << "9600,n,8,3" << CommErrorNumber::BadSettings;
}

void SerialTest::settingsAreCheckedAndARefusalKeepsTheOldOnes()
{
    QFETCH(QString, settings);
    QFETCH(int, error);
    const QString before = QStringLiteral("4800,n,8,1");
    SerialControl control;
    QVERIFY(!control.setSettings(before).failed());

    const CommError result = control.setSettings(settings);
    QCOMPARE(result.number, error);
    QCOMPARE(control.Settings(), error == 0 ? settings : before);
    if (error != 0)
        QVERIFY(!result.description.isEmpty());
}

void SerialTest::settingsReachTheOpenDevice_data()
{
    // A pseudo-terminal always has 8 data bits and no parity; speed and stop bits it keeps.
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("twoStopBits");

    QTest::newRow("1200 8N1") << "1200,n,8,1" << 0 << int(B1200) << false;
    QTest::newRow("4800 8N2") << "4800,n,8,2" << 0 << int(B4800) << true;
    QTest::newRow("115200 8N1") << "115200,n,8,1" << 0 << int(B115200) << false;
    QTest::newRow("7 data bits refused by the device")
        << "4800,e,7,2" << CommErrorNumber::DeviceRefusedSettings << int(B9600) << false;
    QTest::newRow("speed no device has") << "12345,n,8,2" << CommErrorNumber::UnsupportedSpeed
                                         << int(B9600) << false;
}

void SerialTest::settingsReachTheOpenDevice()
{
    QFETCH(QString, settings);
    QFETCH(int, error);
    QFETCH(int, speed);
    QFETCH(bool, twoStopBits);
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    auto control = makeControl(1);
    QVERIFY(!control->setPortOpen(true).failed());

    QCOMPARE(control->setSettings(settings).number, error);
    QCOMPARE(control->Settings(), error == 0 ? settings : QStringLiteral("9600,n,8,1"));

    const int fd = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios tio{};
    QCOMPARE(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    QCOMPARE(int(::cfgetospeed(&tio)), speed);
    QCOMPARE(bool(tio.c_cflag & CSTOPB), twoStopBits);
    QVERIFY(control->PortOpen());
}

void SerialTest::portNumberChangesAreRefusedWhileOpenOrOutOfRange_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("error");

    QTest::newRow("closed, another port") << false << 2 << 0;
    QTest::newRow("closed, highest 16-bit number") << false << 32767 << 0;
    QTest::newRow("closed, zero") << false << 0 << CommErrorNumber::InvalidPortNumber;
    QTest::newRow("closed, negative") << false << -3 << CommErrorNumber::InvalidPortNumber;
    QTest::newRow("closed, beyond 16 bits") << false << 32768 << CommErrorNumber::InvalidPortNumber;
    QTest::newRow("open, another port") << true << 2 << CommErrorNumber::PortAlreadyOpen;
}

void SerialTest::portNumberChangesAreRefusedWhileOpenOrOutOfRange()
{
    QFETCH(bool, open);
    QFETCH(int, port);
    QFETCH(int, error);
    PortBench bench;
    bench.publishPty(1);
    bench.publishPty(2);
    auto control = makeControl(1);
    if (open)
        QVERIFY(!control->setPortOpen(true).failed());

    QCOMPARE(control->setCommPort(port).number, error);
    QCOMPARE(control->CommPort(), error == 0 ? port : 1);
    QCOMPARE(control->PortOpen(), open);
}

void SerialTest::outputArrivesByteExactAndInOrder()
{
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    auto control = makeControl(1);
    QVERIFY(!control->setPortOpen(true).failed());
    QCOMPARE(control->devicePath(), QFileInfo(pty.slavePath()).canonicalFilePath());

    const QByteArray sent = kIdentifyRequest + everyByteValue() + kIdentifyRequest;
    QVERIFY(!control->Output(kIdentifyRequest).failed());
    QVERIFY(!control->Output(everyByteValue()).failed());
    QVERIFY(!control->Output(kIdentifyRequest).failed());

    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += pty.read(0, 0)).size() >= sent.size(), kArrivalTimeoutMs);
    QCOMPARE(received.toHex(' '), sent.toHex(' '));
}

void SerialTest::outputIsRefusedWhileClosed()
{
    PortBench bench;
    bench.publishPty(1);
    auto control = makeControl(1);
    QCOMPARE(control->Output(kIdentifyRequest).number, CommErrorNumber::PortNotOpen);
    QVERIFY(!control->setPortOpen(true).failed());
    QVERIFY(!control->setPortOpen(false).failed());
    QCOMPARE(control->Output(kIdentifyRequest).number, CommErrorNumber::PortNotOpen);
}

void SerialTest::outputRaisesASendEventOnceTheBufferDrains()
{
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    auto control = makeControl(1);
    QVERIFY(!control->setPortOpen(true).failed());
    QList<int> codes;
    connect(control.get(), &SerialControl::OnComm, this, [&] { codes << control->CommEvent(); });

    QTest::qWait(kQuiet.count());
    QVERIFY(codes.isEmpty());
    QVERIFY(!control->Output(kIdentifyRequest).failed());
    QTRY_COMPARE_WITH_TIMEOUT(codes, QList<int>{CommEventCode::Send}, kArrivalTimeoutMs);
    QCOMPARE(pty.read(1000), kIdentifyRequest);
}

void SerialTest::everyReceivedByteComesOutOfInputInOrder()
{
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    auto control = makeControl(1);
    QVERIFY(!control->setPortOpen(true).failed());
    QByteArray received;
    QList<int> codes;
    connect(control.get(), &SerialControl::OnComm, this, [&] {
        codes << control->CommEvent();
        received += control->Input();
    });

    // 00 and 1A among them, and the characters a terminal would otherwise act on (CR, LF,
    // Ctrl+C, XON, XOFF).
    const QByteArray sent = everyByteValue() + QByteArray::fromHex("001A00FD");
    QVERIFY(pty.write(sent));
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= sent.size(), kArrivalTimeoutMs);
    QCOMPARE(received.toHex(' '), sent.toHex(' '));
    QVERIFY(!codes.isEmpty());
    QCOMPARE(codes.count(CommEventCode::Receive), codes.size());
}

void SerialTest::heldEventsWaitOutANestedLoopAndArriveInOneEvent()
{
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    auto control = makeControl(1);
    QVERIFY(!control->setPortOpen(true).failed());
    QList<QByteArray> deliveries;
    connect(control.get(), &SerialControl::OnComm, this, [&] { deliveries << control->Input(); });

    {
        SerialControl::EventHold hold(*control);
        QVERIFY(pty.write(QByteArray::fromHex("FEFE00")));
        runNestedLoop(kQuiet);
        QVERIFY(pty.write(QByteArray::fromHex("1AEFFD")));
        runNestedLoop(kQuiet);
        QVERIFY(deliveries.isEmpty());
        {
            SerialControl::EventHold inner(*control);
        }
        runNestedLoop(kQuiet);
        QVERIFY2(deliveries.isEmpty(), "an inner hold's release delivered under the outer hold");
    }
    QVERIFY(deliveries.isEmpty());  // delivered from the event loop, not from the release
    QTRY_COMPARE_WITH_TIMEOUT(deliveries.size(), 1, kArrivalTimeoutMs);
    QCOMPARE(deliveries.first().toHex(' '), QByteArray("fe fe 00 1a ef fd"));
    runNestedLoop(kQuiet);
    QCOMPARE(deliveries.size(), 1);
}

void SerialTest::handlerInAModalLoopIsNotEnteredAgain()
{
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    auto control = makeControl(1);
    QVERIFY(!control->setPortOpen(true).failed());
    QList<QByteArray> deliveries;
    int depth = 0;
    int deepest = 0;
    connect(control.get(), &SerialControl::OnComm, this, [&] {
        deepest = std::max(deepest, ++depth);
        deliveries << control->Input();
        if (deliveries.size() == 1) {
            // As a message box would: bytes arrive while its own event loop runs.
            pty.write(QByteArray::fromHex("0102"));
            runNestedLoop(kQuiet);
            pty.write(QByteArray::fromHex("03"));
            runNestedLoop(kQuiet);
        }
        --depth;
    });

    QVERIFY(pty.write(QByteArray::fromHex("FD")));
    QTRY_COMPARE_WITH_TIMEOUT(deliveries.size(), 2, kArrivalTimeoutMs);
    QCOMPARE(deepest, 1);
    QCOMPARE(deliveries.at(0), QByteArray::fromHex("FD"));
    QCOMPARE(deliveries.at(1), QByteArray::fromHex("010203"));
    runNestedLoop(kQuiet);
    QCOMPARE(deliveries.size(), 2);
}

void SerialTest::raisedEventsWaitForTheHoldAndKeepTheirOrder()
{
    SerialControl control;
    QList<int> codes;
    connect(&control, &SerialControl::OnComm, this, [&] { codes << control.CommEvent(); });

    control.raiseCommEvent(CommEventCode::Framing);
    QCOMPARE(codes, QList<int>{CommEventCode::Framing});
    codes.clear();
    {
        SerialControl::EventHold hold(control);
        control.raiseCommEvent(CommEventCode::CtsChanged);
        control.raiseCommEvent(1005);
        control.raiseCommEvent(CommEventCode::Break);
        runNestedLoop(kQuiet);
        QVERIFY(codes.isEmpty());
    }
    QTRY_COMPARE_WITH_TIMEOUT(codes, (QList<int>{CommEventCode::CtsChanged, 1005, CommEventCode::Break}),
                              kArrivalTimeoutMs);
}

void SerialTest::pulledCableClosesThePort()
{
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    auto control = makeControl(1);
    QVERIFY(!control->setPortOpen(true).failed());
    int events = 0;
    connect(control.get(), &SerialControl::OnComm, this, [&] { ++events; });

    pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!control->PortOpen(), kArrivalTimeoutMs);
    QVERIFY(control->devicePath().isEmpty());
    QCOMPARE(control->Output(kIdentifyRequest).number, CommErrorNumber::PortNotOpen);
    runNestedLoop(kQuiet);
    QCOMPARE(events, 0);
}

void SerialTest::portNamesResolveThroughThePortFolder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");  // "pty": the published pseudo-terminal
    QTest::addColumn<bool>("exists");

    QTest::newRow("published port") << "COM3" << "pty" << true;
    QTest::newRow("lower-case name") << "com3" << "pty" << true;
    QTest::newRow("port not in the folder") << "COM4" << "" << false;
    QTest::newRow("leading zero") << "COM03" << "" << false;
    QTest::newRow("port zero") << "COM0" << "" << false;
    QTest::newRow("not a port name") << "LPT3" << "" << false;
    QTest::newRow("full device path stands for itself") << "/dev/null" << "/dev/null" << true;
    QTest::newRow("a path that is no device") << "/etc/hostname" << "/etc/hostname" << false;
    QTest::newRow("plain file in the folder") << "COM6" << "file" << false;
    QTest::newRow("broken link in the folder") << "COM7" << "dangling" << false;
}

void SerialTest::portNamesResolveThroughThePortFolder()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QFETCH(bool, exists);
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(3);
    const QString file = bench.folder.path() + QStringLiteral("/COM6");
    QFile plain(file);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    bench.folder.publish(7, bench.folder.path() + QStringLiteral("/nothing-here"));

    QString want = expected;
    if (expected == QLatin1String("pty"))
        want = QFileInfo(pty.slavePath()).canonicalFilePath();
    else if (expected == QLatin1String("file"))
        want = file;
    else if (expected == QLatin1String("dangling"))
        want = bench.folder.path() + QStringLiteral("/COM7");
    QCOMPARE(resolvePortName(name), want);
    QCOMPARE(deviceExists(resolvePortName(name)), exists);
}

void SerialTest::portListOffersOnlyFreePorts_data()
{
    QTest::addColumn<QList<int>>("ptyPorts");
    QTest::addColumn<int>("heldPort");
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<QStringList>("expected");

    const QList<int> oneThreeFive{1, 3, 5};
    QTest::newRow("1 held by this tool") << oneThreeFive << 1 << Holder::ThisTool << QStringList{"3", "5"};
    QTest::newRow("1 held by another program's serial port")
        << oneThreeFive << 1 << Holder::OtherSerialPort << QStringList{"3", "5"};
    QTest::newRow("1 held by a program that locks the device")
        << oneThreeFive << 1 << Holder::OtherDeviceLock << QStringList{"3", "5"};
    QTest::newRow("none held") << oneThreeFive << 0 << Holder::None << QStringList{"1", "3", "5"};
    QTest::newRow("no port at all") << QList<int>{} << 0 << Holder::None << QStringList{};
    QTest::newRow("the only port held") << QList<int>{2} << 2 << Holder::OtherSerialPort << QStringList{};
    QTest::newRow("16 is listed, 17 never") << QList<int>{16, 17} << 0 << Holder::None << QStringList{"16"};
}

void SerialTest::portListOffersOnlyFreePorts()
{
    QFETCH(QList<int>, ptyPorts);
    QFETCH(int, heldPort);
    QFETCH(Holder, holder);
    QFETCH(QStringList, expected);
    PortBench bench;
    QMap<int, QString> devices;
    for (int n : ptyPorts)
        devices[n] = QFileInfo(bench.publishPty(n).slavePath()).canonicalFilePath();
    // Neither a character device that is no serial port, nor a plain file, is offered.
    bench.folder.publish(7, QStringLiteral("/dev/null"));
    bench.folder.publish(9, QStringLiteral("/etc/hostname"));

    std::unique_ptr<SerialControl> holdingTool;
    std::unique_ptr<HolderProcess> holdingProgram;
    if (holder == Holder::ThisTool) {
        holdingTool = makeControl(heldPort);
        QVERIFY(!holdingTool->setPortOpen(true).failed());
    } else if (holder != Holder::None) {
        holdingProgram = std::make_unique<HolderProcess>(devices[heldPort], holder);
        QVERIFY(holdingProgram->held());
    }

    ScriptedSeam user;
    QComboBox list;
    FillPortList(&list);

    QStringList items;
    for (int i = 0; i < list.count(); ++i) {
        items << list.itemText(i);
        QCOMPARE(list.itemData(i, Qt::ToolTipRole).toString(), devices.value(list.itemText(i).toInt()));
    }
    QCOMPARE(items, expected);
    if (expected.isEmpty()) {
        QCOMPARE(list.currentIndex(), -1);
        QCOMPARE(user.messages(), QStringList{"Unable to find an unused serial port"});
    } else {
        QCOMPARE(list.currentText(), expected.first());
        QCOMPARE(user.messages(), QStringList{});
    }
}

void SerialTest::changePortChecksAndReports_data()
{
    QTest::addColumn<int>("startPort");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("endPort");
    QTest::addColumn<QString>("message");

    QTest::newRow("the current port") << 1 << "1" << true << 1 << "";
    QTest::newRow("the current port, held by another") << 5 << "5" << true << 5 << "";
    QTest::newRow("the current port with a leading zero") << 1 << "01" << true << 1 << "";
    QTest::newRow("a free port") << 1 << "3" << true << 3 << "";
    QTest::newRow("a free port with spaces") << 1 << "  3 " << true << 3 << "";
    QTest::newRow("an empty text") << 1 << "" << true << 1 << "";
    QTest::newRow("no number") << 1 << "three" << true << 1 << "";
    QTest::newRow("a missing port") << 1 << "7" << false << 1
                                    << "Unable to change to port COM7:\r\n\r\nPort does not exist";
    QTest::newRow("a missing port with spaces") << 1 << " 7  " << false << 1
                                                << "Unable to change to port COM7:\r\n\r\nPort does not exist";
    QTest::newRow("a number beyond 16 bits") << 1 << "70000" << false << 1
                                             << "Unable to change to port COM70000:\r\n\r\nPort does not exist";
    QTest::newRow("a held port") << 1 << "5" << false << 1
                                 << "Unable to change to port COM5:\r\n\r\nPort is in use";
}

void SerialTest::changePortChecksAndReports()
{
    QFETCH(int, startPort);
    QFETCH(QString, text);
    QFETCH(bool, result);
    QFETCH(int, endPort);
    QFETCH(QString, message);
    PortBench bench;
    bench.publishPty(1);
    bench.publishPty(3);
    HolderProcess other(QFileInfo(bench.publishPty(5).slavePath()).canonicalFilePath(), Holder::OtherSerialPort);
    QVERIFY(other.held());
    auto control = makeControl(startPort);
    ScriptedSeam user;

    QCOMPARE(ChangePort(text, *control), result);
    QCOMPARE(control->CommPort(), endPort);
    QCOMPARE(user.messages(), message.isEmpty() ? QStringList{} : QStringList{message});
}

void SerialTest::speedFieldIsTheOnlyOneRewritten_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("expected");

    QTest::newRow("start-up settings") << "9600,n,8,1" << "4800" << "4800,n,8,1";
    QTest::newRow("other fields kept as they are") << "1200,e,7,2" << "300" << "300,e,7,2";
    QTest::newRow("no comma") << "9600" << "300" << "300,9600";
    QTest::newRow("empty settings") << "" << "110" << "110,";
    QTest::newRow("empty first field") << ",n,8,1" << "2400" << "2400,n,8,1";
    QTest::newRow("only the first comma counts") << "9600,,," << "600" << "600,,,";
}

void SerialTest::speedFieldIsTheOnlyOneRewritten()
{
    QFETCH(QString, settings);
    QFETCH(QString, speed);
    QFETCH(QString, expected);
    QCOMPARE(replaceSpeedField(settings, speed), expected);
}

void SerialTest::changeBaudRateReportsARefusedSpeed_data()
{
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("message");

    const QString prefix = QStringLiteral("Unable to change baud rate for port \r\n\r\n");
    QTest::newRow("a speed of the list") << "4800" << "4800,e,7,2" << "";
    QTest::newRow("the same with spaces") << "  4800 " << "4800,e,7,2" << "";
    QTest::newRow("a usual higher speed") << "115200" << "115200,e,7,2" << "";
    QTest::newRow("an unsupported speed") << "12345" << "9600,e,7,2"
                                          << prefix + " 106  Unsupported speed 12345";
    QTest::newRow("no speed") << "" << "9600,e,7,2"
                              << prefix + " 105  Invalid line settings \",e,7,2\"";
    QTest::newRow("not a number") << "fast" << "9600,e,7,2"
                                  << prefix + " 105  Invalid line settings \"fast,e,7,2\"";
}

void SerialTest::changeBaudRateReportsARefusedSpeed()
{
    QFETCH(QString, speed);
    QFETCH(QString, settings);
    QFETCH(QString, message);
    SerialControl control;
    QVERIFY(!control.setSettings(QStringLiteral("9600,e,7,2")).failed());
    ScriptedSeam user;

    QCOMPARE(ChangeBaudRate(speed, control), message.isEmpty());
    QCOMPARE(control.Settings(), settings);
    QCOMPARE(user.messages(), message.isEmpty() ? QStringList{} : QStringList{message});
}

void SerialTest::speedListHoldsTheEightSpeedsAndEachIsAccepted()
{
    QComboBox list;
    FillSpeedList(&list);
    QStringList items;
    for (int i = 0; i < list.count(); ++i)
        items << list.itemText(i);
    QCOMPARE(items, (QStringList{"110", "300", "600", "1200", "2400", "4800", "9600", "14400"}));
    QCOMPARE(list.currentText(), QStringLiteral("9600"));

    PortBench bench;
    bench.publishPty(1);
    auto control = makeControl(1);
    QVERIFY(!control->setPortOpen(true).failed());
    ScriptedSeam user;
    for (const QString &speed : items) {
        QVERIFY2(ChangeBaudRate(speed, *control), qPrintable(speed));
        QCOMPARE(control->Settings(), speed + QStringLiteral(",n,8,1"));
    }
    QCOMPARE(user.messages(), QStringList{});
}

void SerialTest::openAndCloseAreHarmlessWhenRepeated()
{
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    auto control = makeControl(1);
    ScriptedSeam user;

    QVERIFY(ClosePort(*control));
    QVERIFY(OpenPort(*control));
    QVERIFY(OpenPort(*control));
    QVERIFY(control->PortOpen());
    QVERIFY(!control->Output(kIdentifyRequest).failed());
    QByteArray received;  // the bytes leave once the event loop runs
    QTRY_VERIFY_WITH_TIMEOUT((received += pty.read(0, 0)).size() >= kIdentifyRequest.size(),
                             kArrivalTimeoutMs);
    QCOMPARE(received, kIdentifyRequest);
    QVERIFY(ClosePort(*control));
    QVERIFY(ClosePort(*control));
    QVERIFY(!control->PortOpen());
    QVERIFY(OpenPort(*control));  // the port is free again once closed
    QVERIFY(ClosePort(*control));
    QCOMPARE(user.messages(), QStringList{});
}

void SerialTest::openFailureQuotesTheReason_data()
{
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<bool>("removed");
    QTest::addColumn<QString>("message");

    const QString prefix = QStringLiteral("Unable to open port \r\n\r\n");
    QTest::newRow("held by this tool") << Holder::ThisTool << false
                                       << prefix + " 108  Device or resource busy";
    QTest::newRow("held by another program's serial port")
        << Holder::OtherSerialPort << false << prefix + " 108  Permission error while locking the device";
    QTest::newRow("held by a program that locks the device")
        << Holder::OtherDeviceLock << false << prefix + " 108  Device or resource busy";
    QTest::newRow("cable gone since it was chosen") << Holder::None << true
                                                    << prefix + " 107  No such file or directory";
}

void SerialTest::openFailureQuotesTheReason()
{
    QFETCH(Holder, holder);
    QFETCH(bool, removed);
    QFETCH(QString, message);
    PortBench bench;
    const QString device = QFileInfo(bench.publishPty(2).slavePath()).canonicalFilePath();
    auto control = makeControl(2);
    std::unique_ptr<SerialControl> holdingTool;
    std::unique_ptr<HolderProcess> holdingProgram;
    if (holder == Holder::ThisTool) {
        holdingTool = makeControl(2);
        QVERIFY(!holdingTool->setPortOpen(true).failed());
    } else if (holder != Holder::None) {
        holdingProgram = std::make_unique<HolderProcess>(device, holder);
        QVERIFY(holdingProgram->held());
    }
    if (removed)
        bench.folder.unpublish(2);
    ScriptedSeam user;

    QVERIFY(!OpenPort(*control));
    QVERIFY(!control->PortOpen());
    QCOMPARE(user.messages(), QStringList{message});
}

void SerialTest::permissionFailureQuotesTheSystemReason()
{
    if (::geteuid() != 0)
        QSKIP("needs root, to open as another user a device that root owns");
    PortBench bench;
    bench.publishPty(1);  // owned by root, not readable by others
    QFile::setPermissions(bench.folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                              | QFileDevice::ExeOwner | QFileDevice::ReadOther | QFileDevice::ExeOther);
    int result[2];
    QCOMPARE(::pipe(result), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(result[0]);
        QByteArray text("could not become another user");
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            ScriptedSeam user;
            auto control = makeControl(1);
            const bool opened = OpenPort(*control);
            text = (opened ? "opened" : "refused") + QByteArray("|") + user.messages().join('|').toUtf8();
        }
        (void)!::write(result[1], text.constData(), size_t(text.size()));
        ::_exit(0);
    }
    ::close(result[1]);
    QByteArray text;
    char buffer[512];
    for (ssize_t n; (n = ::read(result[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, n);
    ::close(result[0]);
    ::waitpid(child, nullptr, 0);
    QCOMPARE(QString::fromUtf8(text),
             QStringLiteral("refused|Unable to open port \r\n\r\n 107  Permission denied"));
}

void SerialTest::aLinkToAHeldDeviceIsNotFree()
{
    PseudoTerminal pty;
    PortFolder links;
    QVERIFY(links.publish(1, pty.slavePath()));
    const QString link = links.path() + QStringLiteral("/COM1");
    QCOMPARE(SerialControl::probeDevice(link).number, 0);
    HolderProcess other(pty.slavePath(), Holder::OtherSerialPort);
    QVERIFY(other.held());
    QCOMPARE(SerialControl::probeDevice(link).number, CommErrorNumber::PortInUse);
}

void SerialTest::startUpSetupAppliesTheFixedValues()
{
    SerialControl control;
    control.setCommPort(4);
    InitCommsControl(control);
    QCOMPARE(control.Handshaking(), 0);
    QCOMPARE(control.InputMode(), 0);
    QCOMPARE(control.Settings(), QStringLiteral("9600,n,8,1"));
    QCOMPARE(control.ParityReplace(), QStringLiteral("?"));
    QCOMPARE(control.DTREnable(), true);
    QCOMPARE(control.NullDiscard(), false);
    QCOMPARE(control.RTSEnable(), true);
    QCOMPARE(control.EOFEnable(), false);
    QCOMPARE(control.InBufferSize(), 1024);
    QCOMPARE(control.InputLen(), 0);
    QCOMPARE(control.OutBufferSize(), 512);
    QCOMPARE(control.RThreshold(), 1);
    QCOMPARE(control.SThreshold(), 1);
    QCOMPARE(control.CommPort(), 4);
    QCOMPARE(control.PortOpen(), false);
}

QTEST_MAIN(SerialTest)
#include "test_serial.moc"
