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

#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kQuietMs = 100;  // long enough for bytes on a pty to have been seen
constexpr int kArrivalTimeoutMs = 2000;
const QByteArray kIdentifyRequest = QByteArray::fromHex("FEFEEEEFE000000000FD");
const QString kNoSettings;

QByteArray everyByteValue()
{
    QByteArray bytes;
    for (int value = 0; value < 256; ++value)
        bytes.append(char(value));
    return bytes;
}

void runNestedLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Who holds a port besides the control under test.
enum class Holder { None, ThisTool, OtherSerialPort, OtherDeviceLock };

// Another program holding a device: a child process that opens it with Qt's serial port, or
// opens it plainly and locks it with flock, and keeps it until this object goes.
class HolderProcess {
public:
    HolderProcess(const QString &devicePath, Holder how)
    {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(m_stop) != 0 || (m_pid = ::fork()) < 0)
            return;
        if (m_pid == 0) {
            QSerialPort port(devicePath);
            const int fd = how == Holder::OtherSerialPort
                               ? (port.open(QIODevice::ReadWrite) ? 0 : -1)
                               : ::open(QFile::encodeName(devicePath).constData(), O_RDWR | O_NOCTTY);
            const char held = fd >= 0 && (fd == 0 || ::flock(fd, LOCK_EX | LOCK_NB) == 0);
            (void)!::write(ready[1], &held, 1);
            ::close(m_stop[1]);
            (void)!::read(m_stop[0], &m_held, 1);  // returns when the parent closes its end
            ::_exit(0);
        }
        ::close(m_stop[0]);
        m_held = ::read(ready[0], &m_held, 1) == 1 && m_held;
        ::close(ready[0]);
        ::close(ready[1]);
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
    std::unique_ptr<HolderProcess> holdingProgram;

    PortBench() { folder.makeCurrent(); }
    PseudoTerminal &publishPty(int portNumber)
    {
        ptys.push_back(std::make_unique<PseudoTerminal>());
        folder.publish(portNumber, ptys.back()->slavePath());
        return *ptys.back();
    }
    bool hold(int portNumber, Holder how)
    {
        if (how == Holder::ThisTool) {
            holdingTool = makeControl(portNumber);
            return !holdingTool->setPortOpen(true).failed();
        }
        const QString device = QFileInfo(folder.path() + QStringLiteral("/COM%1").arg(portNumber))
                                   .canonicalFilePath();
        if (how != Holder::None)
            holdingProgram = std::make_unique<HolderProcess>(device, how);
        return how == Holder::None || holdingProgram->held();
    }
};

// Port 1 published as a pseudo-terminal, and a start-up control on it.
struct Port1 {
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(1);
    std::unique_ptr<SerialControl> control = makeControl(1);
    bool open() { return !control->setPortOpen(true).failed(); }
};

} // namespace

Q_DECLARE_METATYPE(Holder)

class SerialTest : public QObject {
    Q_OBJECT

private slots:
    void init() { qunsetenv("REPLIX_PORT_DIR"); }

    // The serial control
    void settingsAreCheckedAndARefusalKeepsTheOldOnes_data();
    void settingsAreCheckedAndARefusalKeepsTheOldOnes();
    void bytesPassBothWaysByteExactUntilTheCableIsPulled();
    void heldEventsWaitOutNestedLoopsAndArriveInOrder();

    // Port names and the serial port manager
    void portNamesResolveThroughThePortFolder_data();
    void portNamesResolveThroughThePortFolder();
    void aLinkToAHeldDeviceIsNotFree();
    void portListOffersOnlyFreePorts_data();
    void portListOffersOnlyFreePorts();
    void changePortChecksAndReports_data();
    void changePortChecksAndReports();
    void changeBaudRateRewritesOnlyTheSpeedField_data();
    void changeBaudRateRewritesOnlyTheSpeedField();
    void openCloseAndSpeedChangesAreHarmlessWhenRepeated();
    void permissionFailureQuotesTheSystemReason();
};

// On an open pty, which has the last word: what it takes it runs at, and a refusal keeps the
// old settings. (A closed control's checks show in ChangeBaudRate's table.)
void SerialTest::settingsAreCheckedAndARefusalKeepsTheOldOnes_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("deviceSpeed");
    QTest::addColumn<bool>("twoStopBits");
    using namespace CommErrorNumber;

    QTest::newRow("2 stop bits, upper-case parity") << "4800,N,8,2" << 0 << int(B4800) << true;
    QTest::newRow("usual higher speed") << "115200,n,8,1" << 0 << int(B115200) << false;
    QTest::newRow("7 data bits: a pty has only 8") << "4800,e,7,2" << DeviceRefusedSettings
                                                   << int(B9600) << false;
    QTest::newRow("speed no device has") << "12345,n,8,2" << UnsupportedSpeed << int(B9600) << false;
    QTest::newRow("speed alone") << "4800" << BadSettings << int(B9600) << false;
    QTest::newRow("five fields") << "4800,n,8,1,1" << BadSettings << int(B9600) << false;
    QTest::newRow("unknown parity letter") << "4800,x,8,1" << BadSettings << int(B9600) << false;
    QTest::newRow("nine data bits") << "4800,n,9,1" << BadSettings << int(B9600) << false;
    QTest::newRow("three stop bits") << "4800,n,8,3" << BadSettings << int(B9600) << false;
}

void SerialTest::settingsAreCheckedAndARefusalKeepsTheOldOnes()
{
    QFETCH(QString, settings);
    QFETCH(int, error);
    QFETCH(int, deviceSpeed);
    QFETCH(bool, twoStopBits);
    Port1 port;
    QVERIFY(port.open());
    const CommError result = port.control->setSettings(settings);
    QCOMPARE(result.number, error);
    QCOMPARE(result.description.isEmpty(), error == 0);
    QCOMPARE(port.control->Settings(), error == 0 ? settings : QStringLiteral("9600,n,8,1"));
    termios tio{};
    const int fd = ::open(QFile::encodeName(port.pty.slavePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0 && ::tcgetattr(fd, &tio) == 0);
    ::close(fd);
    QCOMPARE(int(::cfgetospeed(&tio)), deviceSpeed);
    QCOMPARE(bool(tio.c_cflag & CSTOPB), twoStopBits);
}

void SerialTest::bytesPassBothWaysByteExactUntilTheCableIsPulled()
{
    Port1 port;
    QCOMPARE(port.control->Output(kIdentifyRequest).number, CommErrorNumber::PortNotOpen);
    QVERIFY(port.open());
    QCOMPARE(port.control->devicePath(), QFileInfo(port.pty.slavePath()).canonicalFilePath());
    QList<int> codes;
    QByteArray received;
    connect(port.control.get(), &SerialControl::OnComm, this, [&] {
        codes << port.control->CommEvent();
        if (codes.last() == CommEventCode::Receive)
            received += port.control->Input();
    });

    QVERIFY(!port.control->Output(kIdentifyRequest).failed());
    QVERIFY(!port.control->Output(everyByteValue()).failed());
    const QByteArray frames = kIdentifyRequest + everyByteValue();
    QByteArray atMaster;
    QTRY_VERIFY_WITH_TIMEOUT((atMaster += port.pty.read(0, 0)).size() >= frames.size(),
                             kArrivalTimeoutMs);
    QCOMPARE(atMaster.toHex(' '), frames.toHex(' '));
    QTRY_COMPARE_WITH_TIMEOUT(codes, QList<int>{CommEventCode::Send}, kArrivalTimeoutMs);

    // 00 and 1A among them, and what a terminal would act on (CR, LF, Ctrl+C, XON, XOFF).
    const QByteArray sent = everyByteValue() + QByteArray::fromHex("001A00FD");
    QVERIFY(port.pty.write(sent));
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= sent.size(), kArrivalTimeoutMs);
    QCOMPARE(received.toHex(' '), sent.toHex(' '));
    QCOMPARE(codes.count(CommEventCode::Receive), codes.size() - 1);

    // A pulled cable: the port closes, and the loop does not spin on the dead device.
    codes.clear();
    port.pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!port.control->PortOpen(), kArrivalTimeoutMs);
    QCOMPARE(port.control->Output(kIdentifyRequest).number, CommErrorNumber::PortNotOpen);
    runNestedLoop(kQuietMs);
    QCOMPARE(codes, QList<int>{});
}

// A handler's modal box runs a nested loop, and a transfer holds events around its own work:
// either way the events wait, then come from the event loop, in order, the bytes in one event.
void SerialTest::heldEventsWaitOutNestedLoopsAndArriveInOrder()
{
    Port1 port;
    QVERIFY(port.open());
    QList<int> codes;
    QByteArray received;
    int depth = 0;
    int deepest = 0;
    connect(port.control.get(), &SerialControl::OnComm, this, [&] {
        deepest = std::max(deepest, ++depth);
        codes << port.control->CommEvent();
        if (codes.last() == CommEventCode::Receive)
            received += port.control->Input();
        if (codes.size() == 1) {  // as a message box would: events come in under its loop
            port.pty.write(QByteArray::fromHex("FEFE00"));
            runNestedLoop(kQuietMs);
            port.control->raiseCommEvent(CommEventCode::Break);
            port.pty.write(QByteArray::fromHex("1AEFFD"));
            runNestedLoop(kQuietMs);
        }
        --depth;
    });

    port.control->raiseCommEvent(CommEventCode::CtsChanged);  // delivered at once
    {   // what came in meanwhile is queued now; a hold taken at once must still keep it back
        SerialControl::EventHold hold(*port.control);
        { SerialControl::EventHold inner(*port.control); }
        runNestedLoop(kQuietMs);
        QCOMPARE(codes, QList<int>{CommEventCode::CtsChanged});
    }
    QCOMPARE(codes, QList<int>{CommEventCode::CtsChanged});  // not from the release itself
    const QList<int> expected{CommEventCode::CtsChanged, CommEventCode::Break,
                              CommEventCode::Receive};
    QTRY_COMPARE_WITH_TIMEOUT(codes, expected, kArrivalTimeoutMs);
    QCOMPARE(deepest, 1);
    QCOMPARE(received.toHex(' '), QByteArray("fe fe 00 1a ef fd"));
    runNestedLoop(kQuietMs);
    QCOMPARE(codes, expected);
}

void SerialTest::portNamesResolveThroughThePortFolder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");  // "pty": the published pseudo-terminal
    QTest::addColumn<bool>("exists");

    QTest::newRow("published port, followed to its device") << "COM3" << "pty" << true;
    QTest::newRow("port not in the folder") << "COM4" << "" << false;
    QTest::newRow("leading zero") << "COM03" << "" << false;
    QTest::newRow("full device path stands for itself") << "/dev/null" << "/dev/null" << true;
    QTest::newRow("a path that is no device") << "/etc/hostname" << "/etc/hostname" << false;
}

void SerialTest::portNamesResolveThroughThePortFolder()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QFETCH(bool, exists);
    PortBench bench;
    PseudoTerminal &pty = bench.publishPty(3);
    const QString want = expected == QLatin1String("pty")
                             ? QFileInfo(pty.slavePath()).canonicalFilePath() : expected;
    QCOMPARE(resolvePortName(name), want);
    QCOMPARE(deviceExists(resolvePortName(name)), exists);
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

// Each case also opens port 1 after the list is filled: a held port is refused with the reason.
void SerialTest::portListOffersOnlyFreePorts_data()
{
    QTest::addColumn<QList<int>>("ptyPorts");
    QTest::addColumn<Holder>("holder");  // of port 1
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("openMessage");

    const QList<int> oneThreeFive{1, 3, 5};
    const QString prefix = QStringLiteral("Unable to open port \r\n\r\n");
    QTest::newRow("1 held by this tool") << oneThreeFive << Holder::ThisTool << QStringList{"3", "5"}
                                         << prefix + " 108  Device or resource busy";
    QTest::newRow("1 held by another program's serial port")
        << oneThreeFive << Holder::OtherSerialPort << QStringList{"3", "5"}
        << prefix + " 108  Permission error while locking the device";
    QTest::newRow("1 held by a program that locks the device")
        << oneThreeFive << Holder::OtherDeviceLock << QStringList{"3", "5"}
        << prefix + " 108  Device or resource busy";
    QTest::newRow("no port at all") << QList<int>{} << Holder::None << QStringList{}
                                    << prefix + " 107  No such file or directory";
    QTest::newRow("16 is listed, 17 never") << QList<int>{16, 17} << Holder::None
                                            << QStringList{"16"} << prefix + " 107  No such file or directory";
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
        QCOMPARE(list.itemData(i, Qt::ToolTipRole).toString(), devices.value(list.itemText(i).toInt()));
    }
    QCOMPARE(items, expected);
    QCOMPARE(list.currentText(), expected.value(0));
    QCOMPARE(user.messages(), expected.isEmpty() ? QStringList{"Unable to find an unused serial port"}
                                                 : QStringList{});
    user.clear();
    auto control = makeControl(1);
    QVERIFY(!OpenPort(*control));
    QCOMPARE(user.messages(), QStringList{openMessage});
}

void SerialTest::changePortChecksAndReports_data()
{
    QTest::addColumn<int>("startPort");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("endPort");
    QTest::addColumn<QString>("message");  // empty: ChangePort succeeds

    const QString prefix = QStringLiteral("Unable to change to port COM%1:\r\n\r\n");
    QTest::newRow("the current port") << 1 << "1" << 1 << "";
    QTest::newRow("the current port, held by another") << 5 << "5" << 5 << "";
    QTest::newRow("a free port with spaces") << 1 << "  3 " << 3 << "";
    QTest::newRow("an empty text") << 1 << "" << 1 << "";
    QTest::newRow("a missing port") << 1 << " 7 " << 1 << prefix.arg(7) + "Port does not exist";
    QTest::newRow("a held port") << 1 << "5" << 1 << prefix.arg(5) + "Port is in use";
}

void SerialTest::changePortChecksAndReports()
{
    QFETCH(int, startPort);
    QFETCH(QString, text);
    QFETCH(int, endPort);
    QFETCH(QString, message);
    PortBench bench;
    bench.publishPty(1);
    bench.publishPty(3);
    bench.publishPty(5);
    QVERIFY(bench.hold(5, Holder::OtherSerialPort));
    auto control = makeControl(startPort);
    ScriptedSeam user;

    QCOMPARE(ChangePort(text, *control), message.isEmpty());
    QCOMPARE(control->CommPort(), endPort);
    QCOMPARE(user.messages(), message.isEmpty() ? QStringList{} : QStringList{message});
}

void SerialTest::changeBaudRateRewritesOnlyTheSpeedField_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("message");  // kNoSettings: the field rewrite alone, no control

    const QString prefix = QStringLiteral("Unable to change baud rate for port \r\n\r\n");
    QTest::newRow("other fields kept") << "1200,e,7,2" << "  300 " << "300,e,7,2" << "";
    QTest::newRow("unsupported speed refused") << "9600,e,7,2" << "12345" << "9600,e,7,2"
                                               << prefix + " 106  Unsupported speed 12345";
    QTest::newRow("no speed") << "9600,e,7,2" << "" << "9600,e,7,2"
                              << prefix + " 105  Invalid line settings \",e,7,2\"";
    QTest::newRow("no comma") << "9600" << "300" << "300,9600" << kNoSettings;
    QTest::newRow("only the first comma counts") << "9600,,," << "600" << "600,,," << kNoSettings;
}

void SerialTest::changeBaudRateRewritesOnlyTheSpeedField()
{
    QFETCH(QString, before);
    QFETCH(QString, speed);
    QFETCH(QString, after);
    QFETCH(QString, message);
    if (message.isNull()) {
        QCOMPARE(replaceSpeedField(before, speed), after);
        return;
    }
    SerialControl control;
    QVERIFY(!control.setSettings(before).failed());
    ScriptedSeam user;
    QCOMPARE(ChangeBaudRate(speed, control), message.isEmpty());
    QCOMPARE(control.Settings(), after);
    QCOMPARE(user.messages(), message.isEmpty() ? QStringList{} : QStringList{message});
}

void SerialTest::openCloseAndSpeedChangesAreHarmlessWhenRepeated()
{
    Port1 port;
    ScriptedSeam user;
    QVERIFY(ClosePort(*port.control));
    QVERIFY(OpenPort(*port.control));
    QVERIFY(OpenPort(*port.control));
    QVERIFY(port.control->PortOpen());
    QCOMPARE(port.control->setCommPort(2).number, CommErrorNumber::PortAlreadyOpen);
    QCOMPARE(port.control->CommPort(), 1);
    QComboBox speeds;
    FillSpeedList(&speeds);
    QCOMPARE(speeds.count(), 8);
    QCOMPARE(speeds.currentText(), QStringLiteral("9600"));
    for (int i = 0; i < speeds.count(); ++i)  // 14400 among them: no standard terminal speed
        QVERIFY2(ChangeBaudRate(speeds.itemText(i), *port.control), qPrintable(speeds.itemText(i)));
    QVERIFY(ClosePort(*port.control));
    QVERIFY(ClosePort(*port.control));
    QVERIFY(!port.control->PortOpen());
    QVERIFY(OpenPort(*port.control));  // the port is free again once closed
    QVERIFY(ClosePort(*port.control));
    QCOMPARE(user.messages(), QStringList{});
}

void SerialTest::permissionFailureQuotesTheSystemReason()
{
    if (::geteuid() != 0)
        QSKIP("needs root, to open as another user a device that root owns");
    Port1 port;  // the pty is root's, not readable by others
    QFile::setPermissions(port.bench.folder.path(), QFile::permissions(port.bench.folder.path())
                                                        | QFileDevice::ReadOther | QFileDevice::ExeOther);
    ScriptedSeam user;
    QVERIFY(::setegid(65534) == 0 && ::seteuid(65534) == 0);
    const bool opened = OpenPort(*port.control);
    QVERIFY(::seteuid(0) == 0 && ::setegid(0) == 0);
    QVERIFY(!opened);
    QCOMPARE(user.messages(), QStringList{"Unable to open port \r\n\r\n 107  Permission denied"});
}

QTEST_MAIN(SerialTest)
#include "test_serial.moc"
