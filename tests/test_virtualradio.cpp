// The virtual radio from the tool's end of its pseudo-terminal, against rows worked out by hand:
// exact bytes and hand-made checksums, which the end-to-end tests against our codec cannot show.

#include "tests/support/hexbytes.h"
#include "tools/virtualradio.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <fcntl.h>
#include <numeric>
#include <poll.h>
#include <unistd.h>

namespace {

// Plays the tool on the pty's slave while the radio's event loop runs: sends, then takes what
// arrives until count bytes are in (3 s at most in all), then until the line has been quiet for
// quietMs, so a test sees anything sent beyond what it expects.
QByteArray exchange(const VirtualRadio &radio, const QByteArray &sent, qsizetype count,
                    int quietMs = 100)
{
    const int fd = ::open(qPrintable(radio.devicePath()), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QByteArray got;
    qsizetype done = 0;
    const auto pump = [&] {
        done += std::max<ssize_t>(0, ::write(fd, sent.constData() + done, sent.size() - done));
        QCoreApplication::processEvents();
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        const ssize_t n = ::poll(&p, 1, 1) > 0 ? ::read(fd, buffer, sizeof buffer) : 0;
        got.append(buffer, std::max<ssize_t>(n, 0));
        return n > 0;
    };
    QElapsedTimer clock;
    for (clock.start(); (done < sent.size() || got.size() < count) && clock.elapsed() < 3000;)
        pump();
    for (clock.restart(); clock.elapsed() < quietMs;)
        if (pump())
            clock.restart();
    ::close(fd);
    return done == sent.size() ? got : QByteArray("(not all sent)");
}

QByteArray toolFrame(quint8 c, const QByteArray &d = {})  // to the radio EE from the tool EF
{
    return bytes("FEFEEEEF") + char(c) + d + '\xFD';
}
QByteArray radioFrame(quint8 c, const QByteArray &d = {})
{
    return bytes("FEFEEFEE") + char(c) + d + '\xFD';
}

const QByteArray kModelRequest = toolFrame(0xE0, bytes("00 00 00 00"));
const QByteArray kReadRequest = toolFrame(0xE2, bytes("5A 17 00 02"));
// The worked example 0120 04 0A1B2C3D: its bytes sum to B3, so its checksum is 4D.
const RadioRecord kExample{0x0120, bytes("0A 1B 2C 3D")};
const QByteArray kHead("5A170002\r\n#VR-5A17 Ver 1.02\r\n");

}  // namespace

Q_DECLARE_METATYPE(VirtualRadioOptions)

class TestVirtualRadio : public QObject {
    Q_OBJECT

private slots:
    void answersAreExactToTheByte_data()
    {
        QTest::addColumn<VirtualRadioOptions>("options");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("back");  // all that comes back, the cable's echo first
        QByteArray everyValue(256, 0);
        std::iota(everyValue.begin(), everyValue.end(), char(0));
        VirtualRadioOptions off, noCable, one;
        off.radioOn = false;
        noCable.cable = false;
        one.memory = {kExample};
        const QByteArray both = kModelRequest + kReadRequest;
        QTest::newRow("the cable echoes every byte value") << off << everyValue << everyValue;
        QTest::newRow("radio off: the echo only") << off << both << both;
        QTest::newRow("no cable: nothing at all") << noCable << kModelRequest << QByteArray();
        QTest::newRow("model reply")
            << VirtualRadioOptions() << kModelRequest  // and "VR-5A17..."
            << kModelRequest + radioFrame(0xE1, bytes("5A170002 56522D354131372056657220312E3032"));
        QTest::newRow("read of the worked example")
            << one << kReadRequest
            << kReadRequest + radioFrame(0xE4, "0120040A1B2C3D4D") + radioFrame(0xE5);
        one.memory = {{0x0100, bytes("FE")}};  // 01 + 00 + 01 + FE = 100
        QTest::newRow("read of a record summing to zero")
            << one << kReadRequest
            << kReadRequest + radioFrame(0xE4, "010001FE00") + radioFrame(0xE5);
    }
    void answersAreExactToTheByte()
    {
        QFETCH(VirtualRadioOptions, options);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, back);
        VirtualRadio radio(options);
        QCOMPARE(exchange(radio, sent, back.size()).toHex(' '), back.toHex(' '));
    }
    void writeIsKeptAsIcfFileByteForByte()
    {
        VirtualRadio radio;
        QSignalSpy finished(&radio, &VirtualRadio::writeFinished);
        const QByteArray dialogue =
            toolFrame(0xE3, bytes("5A 17 00 02")) + toolFrame(0xE4, "0120040A1B2C3D4D")
            + toolFrame(0xE4, "000002FF01FE") + toolFrame(0xE5, "Icom Inc.");
        const QByteArray back = dialogue + radioFrame(0xE6, bytes("00"));  // echo, then result 00
        QCOMPARE(exchange(radio, dialogue, back.size()), back);
        QVERIFY(finished.count() == 1 && finished.first().first().toBool());
        // Encoded by hand: each digit 55 up, 0 -> g ... 9 -> p, A -> x ... F -> }.
        QCOMPARE(radio.writtenIcf(), kHead + "ghiggkgxhyizj{\r\ngggggi}}gh\r\n");
    }
    void damagedIcfFileIsRejectedWithItsLine_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("where");  // empty: the file is sound
        QTest::newRow("a sound file") << kHead + "ghiggkgxhyizj{\r\n"
                                      << "";
        QTest::newRow("lower-case model") << kHead.toLower() << "line 1";
        QTest::newRow("no comment line") << kHead.left(10) + "ghiggkgxhyizj{\r\n"
                                         << "line 2";
        QTest::newRow("letter q") << kHead + "ghiggkgxhyizjq\r\n"
                                  << "line 3";
        QTest::newRow("one digit short of its count")
            << kHead + "ghiggkgxhyizj{\r\nghiggkgxhyizj\r\n"
            << "line 4";
    }
    void damagedIcfFileIsRejectedWithItsLine()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, where);
        QString error;
        const std::optional<RadioImage> image = RadioMemory::parseIcf(text, &error);
        QCOMPARE(bool(image), where.isEmpty());
        if (image)
            QCOMPARE(image->records, QList<RadioRecord>{kExample});
        else
            QVERIFY2(error.startsWith(where + QLatin1Char(':')), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestVirtualRadio)
#include "test_virtualradio.moc"
