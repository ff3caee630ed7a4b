// Frames and hex text, the frame collector, and the conversation log.

#include "link/commevents.h"
#include "link/commstxt.h"
#include "link/framecodec.h"
#include "link/hextext.h"
#include "tests/support/hexbytes.h"

#include <QGroupBox>
#include <QPlainTextEdit>
#include <QtTest>


class LinkTest : public QObject {
    Q_OBJECT
private slots:
    void hexTextBecomesBytes_data();
    void hexTextBecomesBytes();
    void bytesBecomeHexText_data();
    void bytesBecomeHexText();
    void everyByteValueSurvivesHexText();

    void framesSentCarryPreambleAddressesAndEnd_data();
    void framesSentCarryPreambleAddressesAndEnd();
    void receivedFrameGivesCommandAndData();

    void collectorSplitsReceivedBytesIntoFrames_data();
    void collectorSplitsReceivedBytesIntoFrames();
    void frameGrownByteByByteCompletesOnlyAtItsEnd();
    void runWithoutEndIsDiscardedAtCapacityAndCollectingGoesOn();

    void logCutsFromTheFrontOnlyBeyondTheLimit();
    void logTakesTextWhilePaneIsHiddenButNotWhenBoxIsHidden();
    void lineAndErrorEventsHaveTheirNotes_data();
    void lineAndErrorEventsHaveTheirNotes();
};

void LinkTest::hexTextBecomesBytes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("odd count gets a leading zero") << QByteArray("ABC") << bytes("0A BC");
    QTest::newRow("spaces around are ignored") << QByteArray("  FD ") << bytes("FD");
    QTest::newRow("empty text") << QByteArray("") << QByteArray();
    QTest::newRow("spaces alone") << QByteArray("   ") << QByteArray();
    QTest::newRow("lower case digits") << QByteArray("fefe") << bytes("FE FE");
    QTest::newRow("model request data") << QByteArray("00000000") << bytes("00 00 00 00");
}

void LinkTest::hexTextBecomesBytes()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(HexToBytes(text), expected);
}

void LinkTest::bytesBecomeHexText_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("withSpaces");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("spaced, one after every pair") << bytes("FE 00 FD") << true << QByteArray("FE 00 FD ");
    QTest::newRow("unspaced") << bytes("FE 00 FD") << false << QByteArray("FE00FD");
    QTest::newRow("nothing is a zero byte, spaced") << QByteArray() << true << QByteArray("00 ");
    QTest::newRow("nothing is a zero byte") << QByteArray() << false << QByteArray("00");
    QTest::newRow("small values keep their zero") << bytes("01 0A 7F") << false << QByteArray("010A7F");
}

void LinkTest::bytesBecomeHexText()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, withSpaces);
    QFETCH(QByteArray, expected);
    QCOMPARE(BytesToHex(input, withSpaces), expected);
}

void LinkTest::everyByteValueSurvivesHexText()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QByteArray text = BytesToHex(all, false);
    QCOMPARE(text.size(), 512);
    QCOMPARE(text, text.toUpper());
    QCOMPARE(HexToBytes(text), all);
    QCOMPARE(HexToBytes(text.toLower()), all);
}

void LinkTest::framesSentCarryPreambleAddressesAndEnd_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("model request") << 0xE0 << bytes("00 00 00 00")
                                   << bytes("FE FE EE EF E0 00 00 00 00 FD");
    QTest::newRow("read result") << 0xE6 << bytes("00") << bytes("FE FE EE EF E6 00 FD");
    QTest::newRow("end of data") << 0xE5 << QByteArray("Icom Inc.")
                                 << bytes("FE FE EE EF E5 49 63 6F 6D 20 49 6E 63 2E FD");
    QTest::newRow("no data") << 0x05 << QByteArray() << bytes("FE FE EE EF 05 FD");
}

void LinkTest::framesSentCarryPreambleAddressesAndEnd()
{
    QFETCH(int, command);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);
    QCOMPARE(buildFrame(quint8(command), data), expected);
}

void LinkTest::receivedFrameGivesCommandAndData()
{
    const QByteArray reply = bytes("FE FE EF EE E1 12 34 00 01 FD");
    QCOMPARE(frameCommand(reply), quint8(0xE1));
    QCOMPARE(frameData(reply), bytes("12 34 00 01"));
    QCOMPARE(frameData(bytes("FE FE EF EE E5 FD")), QByteArray());
}

using Items = QList<QPair<int, QByteArray>>;  // kind, bytes
Q_DECLARE_METATYPE(Items)

void LinkTest::collectorSplitsReceivedBytesIntoFrames_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<Items>("expected");
    QTest::addColumn<QByteArray>("left");
    const int frame = int(FrameCollector::Kind::Frame);
    const int shortFrame = int(FrameCollector::Kind::Short);
    const QByteArray e0 = bytes("FE FE EE EF E0 00 00 00 00 FD");
    const QByteArray e1 = bytes("FE FE EF EE E1 12 34 00 01 FD");

    QTest::newRow("one and a half frames keep the half")
        << QList<QByteArray>{e0 + e1.left(4)} << Items{{frame, e0}} << e1.left(4);
    QTest::newRow("a frame split over two reads")
        << QList<QByteArray>{e1.left(3), e1.mid(3)} << Items{{frame, e1}} << QByteArray();
    QTest::newRow("two frames in one read, in order")
        << QList<QByteArray>{e0 + e1} << Items{{frame, e0}, {frame, e1}} << QByteArray();
    QTest::newRow("leading spaces are dropped")
        << QList<QByteArray>{"  " + e1} << Items{{frame, e1}} << QByteArray();
    QTest::newRow("a leading zero byte stays part of the frame")
        << QList<QByteArray>{bytes("00") + e1} << Items{{frame, bytes("00") + e1}} << QByteArray();
    QTest::newRow("spaces inside the data stay")
        << QList<QByteArray>{bytes("FE FE EF EE E4 20 41 FD")}
        << Items{{frame, bytes("FE FE EF EE E4 20 41 FD")}} << QByteArray();
    QTest::newRow("six bytes is a frame")
        << QList<QByteArray>{bytes("FE FE EF EE E5 FD")}
        << Items{{frame, bytes("FE FE EF EE E5 FD")}} << QByteArray();
    QTest::newRow("five bytes is a bad command")
        << QList<QByteArray>{bytes("FE EF EE E5 FD")}
        << Items{{shortFrame, bytes("FE EF EE E5 FD")}} << QByteArray();
    QTest::newRow("a lone end byte is a bad command")
        << QList<QByteArray>{bytes("FD") + e0}
        << Items{{shortFrame, bytes("FD")}, {frame, e0}} << QByteArray();
    QTest::newRow("5,000 spaces before a frame take no room")
        << QList<QByteArray>{QByteArray(5000, ' ') + e1} << Items{{frame, e1}} << QByteArray();
    QTest::newRow("spaces then a short frame")
        << QList<QByteArray>{bytes("20 20 E5 FD")} << Items{{shortFrame, bytes("E5 FD")}}
        << QByteArray();
}

void LinkTest::collectorSplitsReceivedBytesIntoFrames()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(Items, expected);
    QFETCH(QByteArray, left);
    FrameCollector collector;
    Items got;
    for (const QByteArray &chunk : chunks) {
        QByteArrayView rest(chunk);
        while (!rest.isEmpty())
            if (auto item = collector.take(rest))
                got.append({int(item->kind), item->bytes});
    }
    QCOMPARE(got, expected);
    QCOMPARE(collector.pending(), left);
}

void LinkTest::frameGrownByteByByteCompletesOnlyAtItsEnd()
{
    const QByteArray record = bytes("FE FE EF EE E4") + QByteArray("0120040A1B2C3D4D") + bytes("FD");
    FrameCollector collector;
    for (qsizetype i = 0; i + 1 < record.size(); ++i) {
        QByteArrayView one = QByteArrayView(record).sliced(i, 1);
        QVERIFY2(!collector.take(one), qPrintable(QStringLiteral("frame ended at byte %1").arg(i)));
        QVERIFY(one.isEmpty());
        QCOMPARE(collector.pending(), record.left(i + 1));
    }
    QByteArrayView last = QByteArrayView(record).last(1);
    const auto item = collector.take(last);
    QVERIFY(item);
    QCOMPARE(item->kind, FrameCollector::Kind::Frame);
    QCOMPARE(item->bytes, record);
    QVERIFY(collector.pending().isEmpty());
}

void LinkTest::runWithoutEndIsDiscardedAtCapacityAndCollectingGoesOn()
{
    const QByteArray junk(2 * FrameCollector::kCapacity + 10, 'x');
    const QByteArray e0 = bytes("FE FE EE EF E0 00 00 00 00 FD");
    const QByteArray input = junk + e0;
    FrameCollector collector;
    QList<FrameCollector::Item> got;
    QByteArrayView rest(input);
    while (!rest.isEmpty()) {
        if (auto item = collector.take(rest))
            got.append(*item);
        QVERIFY(collector.pending().size() < FrameCollector::kCapacity);
    }
    QCOMPARE(got.size(), 3);
    QCOMPARE(got[0].kind, FrameCollector::Kind::Overflow);
    QCOMPARE(got[0].bytes, QByteArray(FrameCollector::kCapacity, 'x'));
    QCOMPARE(got[1].kind, FrameCollector::Kind::Overflow);
    // What is left of the run becomes the head of the next frame, as any junk before a frame.
    QCOMPARE(got[2].kind, FrameCollector::Kind::Frame);
    QCOMPARE(got[2].bytes, QByteArray(10, 'x') + e0);
}

void LinkTest::logCutsFromTheFrontOnlyBeyondTheLimit()
{
    QPlainTextEdit box;
    const QString head = QStringLiteral("HEAD");
    DisplayText(&box, head + QString(kLogLimit - head.size(), QLatin1Char('a')));
    QCOMPARE(logLength(&box), kLogLimit);
    DisplayText(&box, QStringLiteral("b"));  // exactly at the limit: no cut
    QCOMPARE(logLength(&box), kLogLimit + 1);
    QVERIFY(box.toPlainText().startsWith(head));

    DisplayText(&box, QStringLiteral("FE FE\r\n"));  // beyond it: cut back first, then append
    const QString text = box.toPlainText();
    QCOMPARE(logLength(&box), kLogLimit + 6);
    QVERIFY(!text.startsWith(head));
    QVERIFY(text.endsWith(QStringLiteral("abFE FE\n")));
}

void LinkTest::logTakesTextWhilePaneIsHiddenButNotWhenBoxIsHidden()
{
    QGroupBox pane;
    auto *box = new QPlainTextEdit(&pane);
    pane.hide();
    DisplayText(box, QStringLiteral("FE FE EE EF E0 00 00 00 00 FD \r\n"));
    DisplayText(box, QStringLiteral(" Radio   : No Response\r\n"));
    QCOMPARE(box->toPlainText(),
             QStringLiteral("FE FE EE EF E0 00 00 00 00 FD \n Radio   : No Response\n"));
    box->setVisible(false);
    DisplayText(box, QStringLiteral("more"));
    QVERIFY(!box->toPlainText().contains(QStringLiteral("more")));
}

void LinkTest::lineAndErrorEventsHaveTheirNotes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("note");
    QTest::newRow("send") << 1 << QString();
    QTest::newRow("receive") << 2 << QString();
    QTest::newRow("cts") << 3 << QStringLiteral("Change in CTS Detected");
    QTest::newRow("dsr") << 4 << QStringLiteral("Change in DSR Detected");
    QTest::newRow("cd") << 5 << QStringLiteral("Change in CD Detected");
    QTest::newRow("ring") << 6 << QStringLiteral("Phone Ring Detected");
    QTest::newRow("eof") << 7 << QStringLiteral("End of File Detected");
    QTest::newRow("break") << 1001 << QStringLiteral("Break Received");
    QTest::newRow("cts timeout") << 1002 << QStringLiteral("CTS Timeout");
    QTest::newRow("dsr timeout") << 1003 << QStringLiteral("DSR Timeout");
    QTest::newRow("framing") << 1004 << QStringLiteral("Framing Error");
    QTest::newRow("1005 is not in the table") << 1005 << QStringLiteral("Unknown Error or Event 1005");
    QTest::newRow("overrun") << 1006 << QStringLiteral("Overrun Error");
    QTest::newRow("cd timeout") << 1007 << QStringLiteral("Carrier Detect Timeout");
    QTest::newRow("rx overflow") << 1008 << QStringLiteral("Receive Buffer Overflow");
    QTest::newRow("parity") << 1009 << QStringLiteral("Parity Error");
    QTest::newRow("tx full") << 1010 << QStringLiteral("Transmit Buffer Full");
    QTest::newRow("dcb") << 1011 << QStringLiteral("Error Retrieving DCB");
    QTest::newRow("negative") << -5 << QStringLiteral("Unknown Error or Event -5");
}

void LinkTest::lineAndErrorEventsHaveTheirNotes()
{
    QFETCH(int, code);
    QFETCH(QString, note);
    QCOMPARE(commEventMessage(code), note);
}

QTEST_MAIN(LinkTest)
#include "test_link.moc"
