// The virtual radio, seen from the tool's end of its pseudo-terminal: this test plays the tool
// with plain reads and writes on the device and checks every byte that comes back.

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

// Long enough for a loaded machine; only waits that fail run this long.
constexpr Ms kPatience = 3000ms;
// How long the line must stay quiet before a test takes it that nothing more is coming.
constexpr Ms kQuiet = 100ms;

Ms elapsed(const QElapsedTimer &clock) { return Ms(clock.elapsed()); }

// The tool's end: the pty's slave, driven while the radio's event loop keeps running.
class ToolEnd {
public:
    explicit ToolEnd(const QString &device)
        : m_fd(::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~ToolEnd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }

    bool send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno == EAGAIN)
                pump();
            else if (!(n < 0 && errno == EINTR))
                return false;
        }
        return true;
    }

    // What arrives until count bytes are in, or until limit passes.
    QByteArray receive(qsizetype count, Ms limit = kPatience)
    {
        QElapsedTimer clock;
        clock.start();
        while (m_got.size() < count && elapsed(clock) < limit && !m_hungUp)
            pump();
        return takeAll();
    }
    // What arrives until the line has been quiet for quiet.
    QByteArray receiveUntilQuiet(Ms quiet = kQuiet)
    {
        QElapsedTimer sinceLast;
        sinceLast.start();
        while (elapsed(sinceLast) < quiet && !m_hungUp) {
            const qsizetype before = m_got.size();
            pump();
            if (m_got.size() != before)
                sinceLast.restart();
        }
        return takeAll();
    }
    // True once the device has hung up (the master side was closed).
    bool waitForHangUp(Ms limit = kPatience)
    {
        QElapsedTimer clock;
        clock.start();
        while (!m_hungUp && elapsed(clock) < limit)
            pump();
        return m_hungUp;
    }

private:
    void pump()
    {
        QCoreApplication::processEvents();
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 1) <= 0)
            return;
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0)
            m_got.append(buffer, n);
        else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            m_hungUp = true;
    }
    QByteArray takeAll() { return std::exchange(m_got, {}); }

    int m_fd = -1;
    QByteArray m_got;
    bool m_hungUp = false;
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
const QByteArray kEndOfWrite = toolFrame(0xE5, "Icom Inc.");

// Three records whose checksums were worked out by hand: the worked example 0120 04 0A1B2C3D
// (sum B3, checksum 4D); one whose bytes sum to 100 (checksum 00); one summing to 102 (FE).
const RadioRecord kExample{0x0120, bytes("0A 1B 2C 3D")};
const RadioRecord kSumsToZero{0x0100, bytes("FE")};
const RadioRecord kSumsTo102{0x0000, bytes("FF 01")};
const QList<RadioRecord> kThreeRecords{kExample, kSumsToZero, kSumsTo102};

} // namespace

Q_DECLARE_METATYPE(RadioRecord)
Q_DECLARE_METATYPE(VirtualRadioOptions)
Q_DECLARE_METATYPE(std::optional<quint8>)

class TestVirtualRadio : public QObject {
    Q_OBJECT

private slots:
    void cableEchoesEveryByteAsSent_data();
    void cableEchoesEveryByteAsSent();
    void modelRequestIsAnsweredWithModelAndComment_data();
    void modelRequestIsAnsweredWithModelAndComment();
    void readStreamsRecordsWithHandComputedChecksums_data();
    void readStreamsRecordsWithHandComputedChecksums();
    void defaultImageHasEveryByteValueInContiguousRecords();
    void readEndsWhenToolSendsItsResult();
    void faultOptionsShapeTheRead_data();
    void faultOptionsShapeTheRead();
    void writeIsKeptAsIcfFileByteForByte();
    void writeEndsWithChosenResult_data();
    void writeEndsWithChosenResult();
    void readAfterWriteGivesBackTheWrittenRecords();
    void radioOffGivesTheEchoOnly();
    void noCableSendsNothingBackButRecordsTheFrame();
    void framesSentAByteAtATimeAreRecordedWhole();
    void pulledCableHangsUpMidRead();
    void pulledCableHangsUpMidWrite();
    void modelReplyInTwoPiecesArrivesWhole();
    void answerDelayHoldsTheReplyBack();
    void pacedLineTakesAtLeastTheWireTime_data();
    void pacedLineTakesAtLeastTheWireTime();
    void radioStartedAsPortNIsFoundInThePortFolder();
    void icfFileIsParsed();
    void damagedIcfFileIsRejectedWithItsLine_data();
    void damagedIcfFileIsRejectedWithItsLine();
};

void TestVirtualRadio::cableEchoesEveryByteAsSent_data()
{
    QTest::addColumn<QByteArray>("sent");
    QByteArray everyValue;
    for (int v = 0; v < 256; ++v)
        everyValue.append(char(v));
    QTest::newRow("bytes without a frame end") << bytes("00 01 7F 80 FE FF 20 20");
    QTest::newRow("a whole frame") << kModelRequest;
    QTest::newRow("every byte value") << everyValue;
}

void TestVirtualRadio::cableEchoesEveryByteAsSent()
{
    QFETCH(QByteArray, sent);
    VirtualRadioOptions options;
    options.radioOn = false;
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    QVERIFY(tool.isOpen());
    QVERIFY(tool.send(sent));
    QCOMPARE(tool.receive(sent.size()), sent);
}

void TestVirtualRadio::modelRequestIsAnsweredWithModelAndComment_data()
{
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<QByteArray>("reply");
    // "VR-5A17 Ver 1.02" spelled out in ASCII codes.
    QTest::newRow("default radio")
        << QByteArray() << QByteArray()
        << bytes("FE FE EF EE E1 5A 17 00 02 56 52 2D 35 41 31 37 20 56 65 72 20 31 2E 30 32 FD");
    QTest::newRow("comment of any byte values")
        << bytes("01 02 03 04") << bytes("00 0A 0D 20 7F 80 FE FF 10 11 12 13 14 15 16 17")
        << bytes("FE FE EF EE E1 01 02 03 04 00 0A 0D 20 7F 80 FE FF 10 11 12 13 14 15 16 17 FD");
    QTest::newRow("model with zeros and FE")
        << bytes("00 FE 00 00") << QByteArray("                ")
        << bytes("FE FE EF EE E1 00 FE 00 00 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 FD");
}

void TestVirtualRadio::modelRequestIsAnsweredWithModelAndComment()
{
    QFETCH(QByteArray, model);
    QFETCH(QByteArray, comment);
    QFETCH(QByteArray, reply);
    VirtualRadioOptions options;
    if (!model.isEmpty()) {
        options.modelCode = model;
        options.comment = comment;
    }
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    QVERIFY(tool.send(kModelRequest));
    const QByteArray expected = kModelRequest + reply;
    QCOMPARE(tool.receive(expected.size()), expected);
    QCOMPARE(tool.receiveUntilQuiet(), QByteArray());
}

void TestVirtualRadio::readStreamsRecordsWithHandComputedChecksums_data()
{
    QTest::addColumn<QList<RadioRecord>>("memory");
    QTest::addColumn<QByteArrayList>("recordData");
    QTest::newRow("worked example") << QList<RadioRecord>{kExample}
                                    << QByteArrayList{"0120040A1B2C3D4D"};
    QTest::newRow("bytes summing to 100") << QList<RadioRecord>{kSumsToZero}
                                          << QByteArrayList{"010001FE00"};
    QTest::newRow("record without data bytes") << QList<RadioRecord>{{0x1234, {}}}
                                               << QByteArrayList{"123400BA"};
    QTest::newRow("three records keep their order")
        << kThreeRecords << QByteArrayList{"0120040A1B2C3D4D", "010001FE00", "000002FF01FE"};
    QTest::newRow("empty memory") << QList<RadioRecord>{} << QByteArrayList{};
}

void TestVirtualRadio::readStreamsRecordsWithHandComputedChecksums()
{
    QFETCH(QList<RadioRecord>, memory);
    QFETCH(QByteArrayList, recordData);
    VirtualRadioOptions options;
    options.memory = memory;
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    const QByteArray request = toolFrame(0xE2, options.modelCode);
    QVERIFY(tool.send(request));

    QByteArray expected = request;
    for (const QByteArray &data : recordData)
        expected += radioFrame(0xE4, data);
    expected += radioFrame(0xE5);
    QCOMPARE(tool.receive(expected.size()), expected);
    QCOMPARE(tool.receiveUntilQuiet(), QByteArray());
    QCOMPARE(radio.recordsSent(), recordData.size());
}

void TestVirtualRadio::defaultImageHasEveryByteValueInContiguousRecords()
{
    VirtualRadio radio;
    ToolEnd tool(radio.devicePath());
    const QByteArray request = toolFrame(0xE2, radio.options().modelCode);
    QVERIFY(tool.send(request));
    const QByteArray end = radioFrame(0xE5);
    // 128 frames of 6 framing bytes and 72 digits each.
    const QByteArray got = tool.receive(request.size() + 128 * 78 + end.size());
    QVERIFY(got.startsWith(request));
    QVERIFY(got.endsWith(end));

    const QByteArrayList frames = got.mid(request.size(), got.size() - request.size() - end.size())
                                      .chopped(1)
                                      .split(char(0xFD));
    QCOMPARE(frames.size(), 4096 / 32);
    // 37 * i mod 256 for i = 0 .. 31, header 00 00 20: sum D0, checksum 30.
    QCOMPARE(frames.first(), bytes("FE FE EF EE E4")
                                 + "00002000254A6F94B9DE03284D7297BCE1062B50759ABFE4092E53789DC2E70C31567B30");
    QByteArray image;
    for (const QByteArray &frame : frames) {
        QVERIFY(frame.startsWith(bytes("FE FE EF EE E4")));
        const QByteArray row = QByteArray::fromHex(frame.mid(5));
        QCOMPARE(frame.size() - 5, 2 * row.size());
        int sum = 0;
        for (char byte : row)
            sum += quint8(byte);
        QCOMPARE(sum % 256, 0);  // the checksum makes the whole row sum to 0
        QCOMPARE(quint8(row[0]) * 256 + quint8(row[1]), image.size());
        QCOMPARE(quint8(row[2]), 32);
        image += row.mid(3, 32);
    }
    QCOMPARE(image.size(), 4096);
    for (int value = 0; value < 256; ++value)
        QVERIFY2(image.contains(char(value)), qPrintable(QString::number(value)));
}

void TestVirtualRadio::readEndsWhenToolSendsItsResult()
{
    VirtualRadioOptions options;
    options.memory = kThreeRecords;
    VirtualRadio radio(options);
    QSignalSpy finished(&radio, &VirtualRadio::readFinished);
    ToolEnd tool(radio.devicePath());
    QVERIFY(tool.send(toolFrame(0xE2, options.modelCode)));
    tool.receiveUntilQuiet();
    QCOMPARE(finished.count(), 0);
    QVERIFY(tool.send(toolFrame(0xE6, bytes("00"))));
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(radio.readsFinished(), 1);
    QCOMPARE(radio.lastResultFromTool(), std::optional<quint8>(0x00));
}

void TestVirtualRadio::faultOptionsShapeTheRead_data()
{
    QTest::addColumn<VirtualRadioOptions>("options");
    QTest::addColumn<QByteArray>("after");  // what comes back after the echo of ReadRequest

    const QByteArray one = radioFrame(0xE4, "0120040A1B2C3D4D");
    const QByteArray two = radioFrame(0xE4, "010001FE00");
    const QByteArray three = radioFrame(0xE4, "000002FF01FE");
    const QByteArray end = radioFrame(0xE5);
    VirtualRadioOptions base;
    base.memory = kThreeRecords;

    VirtualRadioOptions options = base;
    options.badChecksumAtRecord = 2;
    QTest::newRow("bad checksum at record 2")
        << options << one + radioFrame(0xE4, "010001FE01") + three + end;
    options = base;
    options.badChecksumAtRecord = 3;  // FE + 1
    QTest::newRow("bad checksum at the last record")
        << options << one + two + radioFrame(0xE4, "000002FF01FF") + end;
    options = base;
    options.dropRecord = 2;
    QTest::newRow("record 2 dropped") << options << one + three + end;
    options = base;
    options.silentAfterRecords = 2;
    QTest::newRow("silent after record 2") << options << one + two;
    options = base;
    options.silentAfterRecords = 0;
    QTest::newRow("silent before the first record") << options << QByteArray();
    options = base;
    options.noise = "  ";
    QTest::newRow("spaces before every frame")
        << options << "  " + one + "  " + two + "  " + three + "  " + end;
    options = base;
    options.noise = bytes("00 13 FD");
    QTest::newRow("junk before every frame")
        << options << bytes("00 13 FD") + one + bytes("00 13 FD") + two + bytes("00 13 FD") + three
                          + bytes("00 13 FD") + end;
}

void TestVirtualRadio::faultOptionsShapeTheRead()
{
    QFETCH(VirtualRadioOptions, options);
    QFETCH(QByteArray, after);
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    const QByteArray request = toolFrame(0xE2, options.modelCode);
    QVERIFY(tool.send(request));
    QCOMPARE(tool.receiveUntilQuiet(), request + after);
}

void TestVirtualRadio::writeIsKeptAsIcfFileByteForByte()
{
    VirtualRadio radio;
    QSignalSpy finished(&radio, &VirtualRadio::writeFinished);
    ToolEnd tool(radio.devicePath());
    const QByteArray dialogue = toolFrame(0xE3, bytes("5A 17 00 02"))
                                + toolFrame(0xE4, "0120040A1B2C3D4D") + toolFrame(0xE4, "000002FF01FE")
                                + kEndOfWrite;
    QVERIFY(tool.send(dialogue));
    const QByteArray expected = dialogue + radioFrame(0xE6, bytes("00"));
    QCOMPARE(tool.receive(expected.size()), expected);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toBool(), true);

    QCOMPARE(radio.writtenRecords(), (QList<RadioRecord>{kExample, kSumsTo102}));
    // Encoded by hand: each digit 55 up, 0 -> g ... 9 -> p, A -> x ... F -> }.
    QCOMPARE(radio.writtenIcf(), QByteArray("5A170002\r\n"
                                            "#VR-5A17 Ver 1.02\r\n"
                                            "ghiggkgxhyizj{\r\n"
                                            "gggggi}}gh\r\n"));
}

void TestVirtualRadio::writeEndsWithChosenResult_data()
{
    QTest::addColumn<std::optional<quint8>>("resultByte");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QByteArray>("resultData");
    QTest::addColumn<bool>("accepted");
    const std::optional<quint8> none;
    QTest::newRow("success") << std::optional<quint8>(0x00) << QByteArray("0120040A1B2C3D4D")
                             << bytes("00") << true;
    QTest::newRow("failure 01") << std::optional<quint8>(0x01) << QByteArray("0120040A1B2C3D4D")
                                << bytes("01") << false;
    QTest::newRow("failure FF") << std::optional<quint8>(0xFF) << QByteArray("0120040A1B2C3D4D")
                                << bytes("FF") << false;
    QTest::newRow("no data byte") << none << QByteArray("0120040A1B2C3D4D") << QByteArray() << false;
    QTest::newRow("record with a wrong checksum")
        << std::optional<quint8>(0x00) << QByteArray("0120040A1B2C3D4E") << bytes("01") << false;
    QTest::newRow("record with a wrong count")
        << std::optional<quint8>(0x00) << QByteArray("0120050A1B2C3D4C") << bytes("01") << false;
    QTest::newRow("record in lower case")
        << std::optional<quint8>(0x00) << QByteArray("0120040a1b2c3d4d") << bytes("01") << false;
}

void TestVirtualRadio::writeEndsWithChosenResult()
{
    QFETCH(std::optional<quint8>, resultByte);
    QFETCH(QByteArray, record);
    QFETCH(QByteArray, resultData);
    QFETCH(bool, accepted);
    VirtualRadioOptions options;
    options.resultByte = resultByte;
    VirtualRadio radio(options);
    QSignalSpy finished(&radio, &VirtualRadio::writeFinished);
    ToolEnd tool(radio.devicePath());
    const QByteArray dialogue = toolFrame(0xE3, options.modelCode) + toolFrame(0xE4, record) + kEndOfWrite;
    QVERIFY(tool.send(dialogue));
    const QByteArray expected = dialogue + radioFrame(0xE6, resultData);
    QCOMPARE(tool.receive(expected.size()), expected);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toBool(), accepted);
    QCOMPARE(radio.memory() == QList<RadioRecord>{kExample}, accepted);
}

void TestVirtualRadio::readAfterWriteGivesBackTheWrittenRecords()
{
    VirtualRadio radio;
    ToolEnd tool(radio.devicePath());
    QVERIFY(tool.send(toolFrame(0xE3, radio.options().modelCode) + toolFrame(0xE4, "010001FE00")
                      + toolFrame(0xE4, "0120040A1B2C3D4D") + kEndOfWrite));
    tool.receiveUntilQuiet();
    const QByteArray request = toolFrame(0xE2, radio.options().modelCode);
    QVERIFY(tool.send(request));
    QCOMPARE(tool.receiveUntilQuiet(), request + radioFrame(0xE4, "010001FE00")
                                           + radioFrame(0xE4, "0120040A1B2C3D4D") + radioFrame(0xE5));
}

void TestVirtualRadio::radioOffGivesTheEchoOnly()
{
    VirtualRadioOptions options;
    options.radioOn = false;
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    const QByteArray sent = kModelRequest + toolFrame(0xE2, options.modelCode);
    QVERIFY(tool.send(sent));
    QCOMPARE(tool.receiveUntilQuiet(), sent);
    QCOMPARE(radio.framesFromTool().size(), 2);
}

void TestVirtualRadio::noCableSendsNothingBackButRecordsTheFrame()
{
    VirtualRadioOptions options;
    options.cable = false;
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    QVERIFY(tool.send(kModelRequest));
    QCOMPARE(tool.receiveUntilQuiet(), QByteArray());
    QCOMPARE(radio.framesFromTool(), QByteArrayList{kModelRequest});
}

void TestVirtualRadio::framesSentAByteAtATimeAreRecordedWhole()
{
    VirtualRadio radio;
    QSignalSpy frames(&radio, &VirtualRadio::frameFromTool);
    ToolEnd tool(radio.devicePath());
    const QByteArrayList dialogue{kModelRequest, toolFrame(0xE3, radio.options().modelCode),
                                  toolFrame(0xE4, "0120040A1B2C3D4D"), kEndOfWrite};
    for (const QByteArray &frame : dialogue) {
        for (char byte : frame) {
            QVERIFY(tool.send(QByteArray(1, byte)));
            tool.receive(1);
        }
    }
    QTRY_COMPARE(radio.writesFinished(), 1);
    QCOMPARE(radio.framesFromTool(), dialogue);
    QCOMPARE(frames.count(), dialogue.size());
    QCOMPARE(radio.writtenRecords(), QList<RadioRecord>{kExample});
}

void TestVirtualRadio::pulledCableHangsUpMidRead()
{
    VirtualRadioOptions options;
    options.memory = kThreeRecords;
    options.closeAfterRecords = 2;
    VirtualRadio radio(options);
    QSignalSpy closed(&radio, &VirtualRadio::masterClosed);
    ToolEnd tool(radio.devicePath());
    const QByteArray request = toolFrame(0xE2, options.modelCode);
    QVERIFY(tool.send(request));
    const QByteArray expected = request + radioFrame(0xE4, "0120040A1B2C3D4D") + radioFrame(0xE4, "010001FE00");
    QCOMPARE(tool.receive(expected.size()), expected);
    QVERIFY(tool.waitForHangUp());
    QCOMPARE(closed.count(), 1);
    QVERIFY(radio.cablePulled());
}

void TestVirtualRadio::pulledCableHangsUpMidWrite()
{
    VirtualRadioOptions options;
    options.closeAfterRecords = 1;
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    const QByteArray first = toolFrame(0xE3, options.modelCode) + toolFrame(0xE4, "0120040A1B2C3D4D");
    QVERIFY(tool.send(first));
    QCOMPARE(tool.receive(first.size()), first);  // the record's echo still comes back
    QVERIFY(tool.waitForHangUp());
    QCOMPARE(radio.recordsReceived(), 1);
    QCOMPARE(radio.writesFinished(), 0);
}

void TestVirtualRadio::modelReplyInTwoPiecesArrivesWhole()
{
    VirtualRadioOptions options;
    options.modelReplyGap = 300ms;
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(tool.send(kModelRequest));
    const QByteArray first = tool.receive(kModelRequest.size() + 1);
    QVERIFY(first.size() > kModelRequest.size());
    const QByteArray reply = radioFrame(0xE1, options.modelCode + options.comment);
    const QByteArray rest = tool.receive(kModelRequest.size() + reply.size() - first.size());
    QCOMPARE(first + rest, kModelRequest + reply);
    QVERIFY2(elapsed(clock) >= 290ms, "the second piece came before the gap was over");
    QVERIFY(!first.endsWith(char(0xFD)));
}

void TestVirtualRadio::answerDelayHoldsTheReplyBack()
{
    VirtualRadioOptions options;
    options.answerDelay = 200ms;
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(tool.send(kModelRequest));
    QCOMPARE(tool.receive(kModelRequest.size()), kModelRequest);
    const QByteArray reply = radioFrame(0xE1, options.modelCode + options.comment);
    QCOMPARE(tool.receive(reply.size()), reply);
    QVERIFY(elapsed(clock) >= 195ms);
}

void TestVirtualRadio::pacedLineTakesAtLeastTheWireTime_data()
{
    QTest::addColumn<int>("bitsPerSecond");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QList<RadioRecord>>("memory");  // streamed when sent is a ReadRequest
    QTest::newRow("echo of 960 bytes at 9600") << 9600 << QByteArray(960, 'U') << QList<RadioRecord>{};
    // 12 records of 64 bytes: 12 frames of 142 bytes behind the 10-byte echo, then EndOfData.
    QTest::newRow("read of 12 records at 19200")
        << 19200 << toolFrame(0xE2, bytes("5A 17 00 02"))
        << RadioMemory::splitIntoRecords(RadioMemory::patternedImage(12 * 64), 64, 0);
}

void TestVirtualRadio::pacedLineTakesAtLeastTheWireTime()
{
    QFETCH(int, bitsPerSecond);
    QFETCH(QByteArray, sent);
    QFETCH(QList<RadioRecord>, memory);
    VirtualRadioOptions options;
    options.bitsPerSecond = bitsPerSecond;
    options.memory = memory;
    options.radioOn = !memory.isEmpty();
    VirtualRadio radio(options);
    ToolEnd tool(radio.devicePath());
    const qsizetype onLine = sent.size() + memory.size() * 142 + (memory.isEmpty() ? 0 : 6);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(tool.send(sent));
    QCOMPARE(tool.receive(onLine, 5000ms).size(), onLine);
    const auto wireTime = Ms(onLine * 10 * 1000 / bitsPerSecond);
    QVERIFY2(elapsed(clock) >= wireTime * 95 / 100,
             qPrintable(QStringLiteral("%1 ms for %2 ms of wire time")
                            .arg(clock.elapsed())
                            .arg(wireTime.count())));
}

void TestVirtualRadio::radioStartedAsPortNIsFoundInThePortFolder()
{
    PortFolder folder;
    VirtualRadio radio;
    QVERIFY(radio.publishAs(folder, 3));
    ToolEnd tool(folder.path() + QStringLiteral("/COM3"));
    QVERIFY(tool.isOpen());
    QVERIFY(tool.send(kModelRequest));
    const QByteArray reply = radioFrame(0xE1, radio.options().modelCode + radio.options().comment);
    QCOMPARE(tool.receive(kModelRequest.size() + reply.size()), kModelRequest + reply);
}

void TestVirtualRadio::icfFileIsParsed()
{
    // A comment holding CR and LF itself must not end the comment line early.
    const QByteArray text = "0A0B0C0D\r\n#ab\r\ncd\nefghijklm\r\nghiggkgxhyizj{\r\n  gggggi}}gh \r\nhggggg\r\n";
    QString error;
    const std::optional<RadioImage> image = RadioMemory::parseIcf(text, &error);
    QVERIFY2(image, qPrintable(error));
    QCOMPARE(image->modelCode, bytes("0A 0B 0C 0D"));
    QCOMPARE(image->comment, QByteArray("ab\r\ncd\nefghijklm"));
    QCOMPARE(image->records, (QList<RadioRecord>{kExample, kSumsTo102, {0x1000, {}}}));
    QCOMPARE(RadioMemory::icfText(*image), QByteArray("0A0B0C0D\r\n#ab\r\ncd\nefghijklm\r\n"
                                                      "ghiggkgxhyizj{\r\ngggggi}}gh\r\nhggggg\r\n"));
}

void TestVirtualRadio::damagedIcfFileIsRejectedWithItsLine_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("where");
    QTest::newRow("lower-case model") << QByteArray("5a170002\r\n#VR-5A17 Ver 1.02\r\n") << "line 1";
    QTest::newRow("model of 7 digits") << QByteArray("5A17000\r\n#VR-5A17 Ver 1.02\r\n") << "line 1";
    QTest::newRow("no comment line") << QByteArray("5A170002\r\nghiggkgxhyizj{\r\n") << "line 2";
    QTest::newRow("letter q") << QByteArray("5A170002\r\n#VR-5A17 Ver 1.02\r\nghiggkgxhyizjq\r\n")
                              << "line 3";
    QTest::newRow("one digit short of its count")
        << QByteArray("5A170002\r\n#VR-5A17 Ver 1.02\r\nghiggkgxhyizj{\r\nghiggkgxhyizj\r\n") << "line 4";
    QTest::newRow("space inside") << QByteArray("5A170002\r\n#VR-5A17 Ver 1.02\r\nghigg kgxhyizj{\r\n")
                                  << "line 3";
}

void TestVirtualRadio::damagedIcfFileIsRejectedWithItsLine()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, where);
    QString error;
    QVERIFY(!RadioMemory::parseIcf(text, &error));
    QVERIFY2(error.startsWith(where + QLatin1Char(':')), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestVirtualRadio)
#include "test_virtualradio.moc"
