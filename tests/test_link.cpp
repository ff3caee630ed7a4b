// Frames and hex text, the frame collector, and the conversation log.

#include "link/commstxt.h"
#include "link/framecodec.h"
#include "link/hextext.h"
#include "tests/support/hexbytes.h"

#include <QGroupBox>
#include <QPlainTextEdit>
#include <QtTest>

using Items = QList<QPair<int, QByteArray>>;  // kind, bytes
Q_DECLARE_METATYPE(Items)

class LinkTest : public QObject {
    Q_OBJECT
private slots:
    void hexTextBecomesBytes_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("odd count gets a leading zero") << QByteArray("ABC") << bytes("0A BC");
        QTest::newRow("spaces around are ignored") << QByteArray("  FD ") << bytes("FD");
        QTest::newRow("empty text") << QByteArray("") << QByteArray();
        QTest::newRow("spaces alone") << QByteArray("   ") << QByteArray();
    }
    void hexTextBecomesBytes()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, expected);
        QCOMPARE(HexToBytes(text), expected);
    }
    void bytesBecomeHexText_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("withSpaces");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("spaced, one after every pair")
            << bytes("FE 00 FD") << true << QByteArray("FE 00 FD ");
        QTest::newRow("unspaced") << bytes("FE 00 FD") << false << QByteArray("FE00FD");
        QTest::newRow("nothing is a zero byte, spaced")
            << QByteArray() << true << QByteArray("00 ");
        QTest::newRow("nothing is a zero byte") << QByteArray() << false << QByteArray("00");
    }
    void bytesBecomeHexText()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, withSpaces);
        QFETCH(QByteArray, expected);
        QCOMPARE(BytesToHex(input, withSpaces), expected);
    }
    void everyByteValueSurvivesHexText()
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

    void framesSentCarryPreambleAddressesAndEnd()
    {
        QCOMPARE(buildFrame(0x05, {}), bytes("FE FE EE EF 05 FD"));
        QCOMPARE(buildFrame(0xE4, "0A"), bytes("FE FE EE EF E4 30 41 FD"));
    }
    void collectorSplitsReceivedBytesIntoFrames_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<Items>("expected");
        QTest::addColumn<QByteArray>("left");
        const int frame = int(FrameCollector::Kind::Frame);
        const int shortFrame = int(FrameCollector::Kind::Short);
        const int overflow = int(FrameCollector::Kind::Overflow);
        const QByteArray e0 = bytes("FE FE EE EF E0 00 00 00 00 FD");
        const QByteArray e1 = bytes("FE FE EF EE E1 12 34 00 01 FD");

        QTest::newRow("one and a half frames keep the half")
            << QList<QByteArray>{e0 + e1.left(4)} << Items{{frame, e0}} << e1.left(4);
        QTest::newRow("two frames in one read, in order")
            << QList<QByteArray>{e0 + e1} << Items{{frame, e0}, {frame, e1}} << QByteArray();
        QTest::newRow("a leading zero byte stays part of the frame")
            << QList<QByteArray>{bytes("00") + e1} << Items{{frame, bytes("00") + e1}}
            << QByteArray();
        const QByteArray spaced = bytes("FE FE EF EE E4 20 41 FD"), e5 = bytes("FE FE EF EE E5 FD");
        QTest::newRow("spaces inside the data stay")
            << QList<QByteArray>{spaced} << Items{{frame, spaced}} << QByteArray();
        QTest::newRow("six bytes is a frame")
            << QList<QByteArray>{e5} << Items{{frame, e5}} << QByteArray();
        QTest::newRow("five bytes is a bad command")
            << QList<QByteArray>{e5.sliced(1)} << Items{{shortFrame, e5.sliced(1)}} << QByteArray();
        QTest::newRow("a lone end byte is a bad command")
            << QList<QByteArray>{bytes("FD") + e0} << Items{{shortFrame, bytes("FD")}, {frame, e0}}
            << QByteArray();
        QTest::newRow("5,000 spaces before a frame take no room")
            << QList<QByteArray>{QByteArray(5000, ' ') + e1} << Items{{frame, e1}} << QByteArray();
        QTest::newRow("spaces then a short frame")
            << QList<QByteArray>{bytes("20 20 E5 FD")} << Items{{shortFrame, bytes("E5 FD")}}
            << QByteArray();
        const QByteArray e4 = bytes("FE FE EF EE E4") + "0120040A1B2C3D4D" + bytes("FD");
        QList<QByteArray> oneByOne;
        for (char c : e4)
            oneByOne << QByteArray(1, c);
        QTest::newRow("a frame grown byte by byte ends only at its FD")
            << oneByOne << Items{{frame, e4}} << QByteArray();
        // An FD one byte past capacity is too late; what is left of a long run becomes the head
        // of the next frame, as any junk before one.
        const QByteArray x(FrameCollector::kCapacity, 'x');
        QTest::newRow("a run without FD is dropped at capacity")
            << QList<QByteArray>{x + bytes("FD") + x + "xxxxxxxxxx" + e0}
            << Items{{overflow, x},
                     {shortFrame, bytes("FD")},
                     {overflow, x},
                     {frame, QByteArray(10, 'x') + e0}}
            << QByteArray();
    }
    void collectorSplitsReceivedBytesIntoFrames()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(Items, expected);
        QFETCH(QByteArray, left);
        FrameCollector collector;
        Items got;
        for (const QByteArray &chunk : chunks) {
            QByteArrayView rest(chunk);
            while (!rest.isEmpty()) {
                if (auto item = collector.take(rest))
                    got.append({int(item->kind), item->bytes});
                QVERIFY(collector.pending().size() < FrameCollector::kCapacity);
            }
        }
        QCOMPARE(got, expected);
        QCOMPARE(collector.pending(), left);
    }
    void logCutsFromTheFrontOnlyBeyondTheLimit()
    {
        const int kLogLimit = 65536;  // the conversation keeps the last 64 KiB of text
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
    void logTakesTextWhilePaneIsHiddenButNotWhenBoxIsHidden()
    {
        QGroupBox pane;
        auto *box = new QPlainTextEdit(&pane);
        pane.hide();
        DisplayText(box, QStringLiteral("FE FE\r\n Radio   : No Response\r\n"));
        box->setVisible(false);
        DisplayText(box, QStringLiteral("more"));
        QCOMPARE(box->toPlainText(), QStringLiteral("FE FE\n Radio   : No Response\n"));
    }
};

QTEST_MAIN(LinkTest)
#include "test_link.moc"
