// The virtual radio, seen from the tool's end of its pseudo-terminal: this test plays the tool
// with plain reads and writes on the device and checks the bytes that come back against rows
// worked out by hand. The transfer, fault and soak tests drive it end to end against the tool's
// own codec; what is here is what those cannot show: exact bytes and hand-made checksums.

#include "tools/virtualradio.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

namespace {

// The tool's end: the pty's slave, driven while the radio's event loop keeps running.
class ToolEnd {
public:
    explicit ToolEnd(const QString &device)
        : m_fd(::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~ToolEnd() { ::close(m_fd); }

    bool send(const QByteArray &bytes)
    {
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            done += std::max<ssize_t>(n, 0);
            pump();
        }
        return true;
    }
    // What arrives until at least count bytes are in (3 s at most), then until the line has
    // been quiet for quiet: so a test sees anything sent beyond what it expects.
    QByteArray receive(qsizetype count, Ms quiet = 100ms)
    {
        QElapsedTimer clock;
        clock.start();
        while (m_got.size() < count && clock.elapsed() < 3000)
            pump();
        for (clock.restart(); clock.elapsed() < quiet.count();) {
            if (pump())
                clock.restart();
        }
        return std::exchange(m_got, {});
    }

private:
    bool pump()
    {
        QCoreApplication::processEvents();
        pollfd p{m_fd, POLLIN, 0};
        char buffer[4096];
        const ssize_t n = ::poll(&p, 1, 1) > 0 ? ::read(m_fd, buffer, sizeof buffer) : 0;
        if (n > 0)
            m_got.append(buffer, n);
        return n > 0;
    }

    int m_fd = -1;
    QByteArray m_got;
};

QByteArray bytes(const char *spacedHex) { return QByteArray::fromHex(spacedHex); }

QByteArray toolFrame(quint8 command, const QByteArray &data = {})
{
    return bytes("FE FE EE EF") + char(command) + data + char(0xFD);
}

QByteArray radioFrame(quint8 command, const QByteArray &data = {})
{
    return bytes("FE FE EF EE") + char(command) + data + char(0xFD);
}

const QByteArray kModelRequest = toolFrame(0xE0, bytes("00 00 00 00"));
const QByteArray kReadRequest = toolFrame(0xE2, bytes("5A 17 00 02"));
// The worked example 0120 04 0A1B2C3D: its bytes sum to B3, so its checksum is 4D.
const RadioRecord kExample{0x0120, bytes("0A 1B 2C 3D")};

} // namespace

Q_DECLARE_METATYPE(VirtualRadioOptions)

class TestVirtualRadio : public QObject {
    Q_OBJECT

private slots:
    void answersAreExactToTheByte_data();
    void answersAreExactToTheByte();
    void writeIsKeptAsIcfFileByteForByte();
    void pacedLineTakesAtLeastTheWireTime();
    void damagedIcfFileIsRejectedWithItsLine_data();
    void damagedIcfFileIsRejectedWithItsLine();
};

void TestVirtualRadio::answersAreExactToTheByte_data()
{
    QTest::addColumn<VirtualRadioOptions>("options");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("back");  // all that comes back, the cable's echo first

    QByteArray everyValue;
    for (int v = 0; v < 256; ++v)
        everyValue.append(char(v));
    VirtualRadioOptions off;
    off.radioOn = false;
    QTest::newRow("the cable echoes every byte value") << off << everyValue << everyValue;
    QTest::newRow("radio off: the echo only") << off << kModelRequest + kReadRequest
                                              << kModelRequest + kReadRequest;
    VirtualRadioOptions noCable;
    noCable.cable = false;
    QTest::newRow("no cable: nothing at all") << noCable << kModelRequest << QByteArray();
    // "VR-5A17 Ver 1.02" spelled out in ASCII codes.
    QTest::newRow("model reply")
        << VirtualRadioOptions() << kModelRequest
        << kModelRequest
               + bytes("FE FE EF EE E1 5A 17 00 02 56 52 2D 35 41 31 37 20 56 65 72 20 31 2E 30 32 FD");

    VirtualRadioOptions one;
    one.memory = {kExample};
    QTest::newRow("read of the worked example")
        << one << kReadRequest
        << kReadRequest + radioFrame(0xE4, "0120040A1B2C3D4D") + radioFrame(0xE5);
    one.memory = {{0x0100, bytes("FE")}};  // 01 + 00 + 01 + FE = 100
    QTest::newRow("read of a record summing to zero")
        << one << kReadRequest << kReadRequest + radioFrame(0xE4, "010001FE00") + radioFrame(0xE5);
}

void TestVirtualRadio::answersAreExactToTheByte()
{
    QFETCH(VirtualRadioOptions, options);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, back);
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    QVERIFY(tool.send(sent));
    QCOMPARE(tool.receive(back.size()).toHex(' '), back.toHex(' '));
}

void TestVirtualRadio::writeIsKeptAsIcfFileByteForByte()
{
    VirtualRadio radio;
    QSignalSpy finished(&radio, &VirtualRadio::writeFinished);
    ToolEnd tool(radio.devicePath());
    const QByteArray dialogue = toolFrame(0xE3, bytes("5A 17 00 02"))
                                + toolFrame(0xE4, "0120040A1B2C3D4D") + toolFrame(0xE4, "000002FF01FE")
                                + toolFrame(0xE5, "Icom Inc.");
    QVERIFY(tool.send(dialogue));
    const QByteArray expected = dialogue + radioFrame(0xE6, bytes("00"));
    QCOMPARE(tool.receive(expected.size()), expected);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toBool(), true);
    // Encoded by hand: each digit 55 up, 0 -> g ... 9 -> p, A -> x ... F -> }.
    QCOMPARE(radio.writtenIcf(), QByteArray("5A170002\r\n"
                                            "#VR-5A17 Ver 1.02\r\n"
                                            "ghiggkgxhyizj{\r\n"
                                            "gggggi}}gh\r\n"));
}

// A loose lower bound: 960 bytes of echo at 9600 bit/s (10 bits a byte) take a second.
void TestVirtualRadio::pacedLineTakesAtLeastTheWireTime()
{
    VirtualRadioOptions options;
    options.bitsPerSecond = 9600;
    options.radioOn = false;
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    const QByteArray sent(960, 'U');
    QElapsedTimer clock;
    clock.start();
    QVERIFY(tool.send(sent));
    QCOMPARE(tool.receive(sent.size(), 0ms).size(), sent.size());
    QVERIFY2(clock.elapsed() >= 950, qPrintable(QStringLiteral("%1 ms").arg(clock.elapsed())));
}

void TestVirtualRadio::damagedIcfFileIsRejectedWithItsLine_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("where");  // empty: the file is sound
    const QByteArray head("5A170002\r\n#VR-5A17 Ver 1.02\r\n");
    QTest::newRow("a sound file") << head + "ghiggkgxhyizj{\r\n" << "";
    QTest::newRow("lower-case model") << QByteArray("5a170002\r\n#VR-5A17 Ver 1.02\r\n") << "line 1";
    QTest::newRow("no comment line") << QByteArray("5A170002\r\nghiggkgxhyizj{\r\n") << "line 2";
    QTest::newRow("letter q") << head + "ghiggkgxhyizjq\r\n" << "line 3";
    QTest::newRow("one digit short of its count")
        << head + "ghiggkgxhyizj{\r\nghiggkgxhyizj\r\n" << "line 4";
}

void TestVirtualRadio::damagedIcfFileIsRejectedWithItsLine()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, where);
    QString error;
    const std::optional<RadioImage> image = RadioMemory::parseIcf(text, &error);
    if (where.isEmpty()) {
        QVERIFY2(image, qPrintable(error));
        QCOMPARE(image->records, QList<RadioRecord>{kExample});
    } else {
        QVERIFY(!image);
        QVERIFY2(error.startsWith(where + QLatin1Char(':')), qPrintable(error));
    }
}

QTEST_GUILESS_MAIN(TestVirtualRadio)
#include "test_virtualradio.moc"
