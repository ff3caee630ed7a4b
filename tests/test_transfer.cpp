// Reads and writes through the virtual radio on a pseudo-terminal (or frames handed straight
// to the window): the files they make, the frames they put on the line, how they end.

#include "tests/support/echoline.h"
#include "tests/support/hexbytes.h"
#include "tests/support/transferfixture.h"

#include <QComboBox>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

namespace {
// A comment whose bytes cover the awkward values: NUL, ^Z, CR, LF, high bit, FF (never FD).
const QByteArray kOddComment = bytes("00 1A 80 FF 23 20 0D 0A 7F 41 42 43 FE EE EF E4");
const QByteArray kHead = "5A170002\r\n#VR-5A17 Ver 1.02\r\n";
const QByteArray kLine = "ghiggkgxhyizj{\r\n";  // 0120040A1B2C3D, checksum 4D
const QByteArray kRecord = bytes("FE FE EE EF E4") + "0120040A1B2C3D4D" + bytes("FD");  // addresses unread
const QString kSuccess = QStringLiteral("Successful Write");
const QString kFailure = QStringLiteral("Write failure");
const QString kOtherRadio = QStringLiteral("Input file is for a different radio");
} // namespace

class TransferTest : public TransferFixture {
    Q_OBJECT
private slots:
    void init() { setUpFixture(); }
    void cleanup() { tearDownFixture(); }

    void readAndWriteCarryTheExactImage_data()
    {
        QTest::addColumn<QByteArray>("appended");  // to the file before it is written back
        QTest::newRow("as read") << QByteArray();
        QTest::newRow("an editor's extra line end") << QByteArray("\r\n");
        QTest::newRow("empty lines, CR only") << QByteArray("\r\r\r");
    }
    void readAndWriteCarryTheExactImage()
    {
        QFETCH(QByteArray, appended);
        VirtualRadioOptions o = radioWith(40);
        o.comment = kOddComment;
        connect(o);
        // A second model reply amid the records opens no second dialog and changes nothing.
        QObject::connect(m_radio.get(), &VirtualRadio::recordSent, m_window.get(), [&](int count) {
            if (count == 3)
                m_window->ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02") + o.comment + bytes("FD"));
        });
        transfer(false, path("radio.icf"));
        QCOMPARE(m_user->shown().size(), 1);
        // The expected file is built by the radio's own, separately written ICF code. A CR in
        // the comment would split its line, so the file carries a space in its place.
        QByteArray comment = kOddComment;
        comment[6] = ' ';
        const QByteArray image = RadioMemory::icfText({o.modelCode, comment, o.memory});
        QCOMPARE(fileBytes(path("radio.icf")), image);
        QVERIFY(image.startsWith("5A170002\r\n#"));
        QCOMPARE(m_radio->framesFromTool(),
                 (QList<QByteArray>{bytes("FE FE EE EF E0 00 00 00 00 FD"),
                                    bytes("FE FE EE EF E2 5A 17 00 02 FD"), bytes("FE FE EE EF E6 00 FD")}));
        QCOMPARE(filesIn(m_dir->path()), QStringList{"radio.icf"});

        // Written back into a blank radio, the file gives the same records, frame by frame.
        QVERIFY(writeFile(path("radio.icf"), image + appended));
        VirtualRadioOptions blank = o;
        blank.memory.clear();
        connect(blank);
        transfer(true, path("radio.icf"));
        QCOMPARE(m_user->messages(), QStringList{kSuccess});
        QCOMPARE(m_radio->writtenRecords(), o.memory);
        QList<QByteArray> expected{bytes("FE FE EE EF E0 00 00 00 00 FD"),
                                   bytes("FE FE EE EF E3 5A 17 00 02 FD")};
        for (const RadioRecord &r : o.memory)
            expected << bytes("FE FE EE EF E4") + RadioMemory::recordFrameData(r) + bytes("FD");
        expected << bytes("FE FE EE EF E5") + QByteArray("Icom Inc.") + bytes("FD");
        QCOMPARE(m_radio->framesFromTool(), expected);
    }
    void readTakesRepliesOfEveryShape_data()
    {
        QTest::addColumn<QByteArray>("noise");       // before every frame of the radio
        QTest::addColumn<int>("gapMs");              // the model reply comes in two pieces
        QTest::addColumn<QByteArray>("reply");       // the model reply's data
        QTest::addColumn<QByteArray>("header");      // the file's first two lines
        const QByteArray normal = bytes("5A 17 00 02") + "VR-5A17 Ver 1.02";
        QTest::newRow("spaces before every frame") << QByteArray("   ") << -1 << normal << kHead;
        QTest::newRow("5,000 spaces before every frame") << QByteArray(5000, ' ') << -1 << normal << kHead;
        QTest::newRow("model reply in two pieces") << QByteArray() << 150 << normal << kHead;
        QTest::newRow("model reply of three bytes")
            << QByteArray() << -1 << bytes("5A 17 00") << QByteArray("5A1700\r\n#\r\n");
        QTest::newRow("empty model reply") << QByteArray() << -1 << QByteArray() << QByteArray("00\r\n#\r\n");
    }
    void readTakesRepliesOfEveryShape()
    {
        QFETCH(QByteArray, noise);
        QFETCH(int, gapMs);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, header);
        VirtualRadioOptions o = radioWith(12);
        const QByteArray records = icfOf(o).sliced(kHead.size());
        o.noise = noise;
        o.modelReplyGap = std::chrono::milliseconds(gapMs);
        o.modelCode = reply.left(4);
        o.comment = reply.mid(4);
        connect(o);
        transfer(false, path("radio.icf"));
        QVERIFY(m_user->messages().isEmpty());
        QCOMPARE(fileBytes(path("radio.icf")), header + records);
        // The records are asked for with the model bytes there are, and nothing is left over.
        QCOMPARE(m_radio->framesFromTool().value(1), bytes("FE FE EE EF E2") + reply.left(4) + bytes("FD"));
        QVERIFY(!m_window->txtDataReceived->toPlainText().contains(QStringLiteral("Bad Command")));
    }
    void dialogCancelledEndsQuietly_data()
    {
        QTest::addColumn<bool>("writing");
        QTest::newRow("save dialog") << false;
        QTest::newRow("open dialog") << true;
    }
    void dialogCancelledEndsQuietly()
    {
        QFETCH(bool, writing);
        connect(radioWith(4));
        m_window->sFileName = path("offered.icf");
        transfer(writing, QString());
        QCOMPARE(m_user->shown().size(), 1);
        QVERIFY(m_window->sFileName.isEmpty());
        QCOMPARE(commandsFromTool(), QList<QByteArray>{bytes("FE FE EE EF E0")});
        QVERIFY(filesIn(m_dir->path()).isEmpty());
    }
    void writeEndsWithTheRightMessage_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("reply");  // the radio's model reply
        QTest::addColumn<bool>("agree");        // to writing another version of the model
        QTest::addColumn<std::optional<quint8>>("result");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("frames");  // sent by the tool; 1: refused before WriteRequest
        const QByteArray model = bytes("5A 17 00 02");
        const QByteArray good = kHead + kLine + kLine;
        const QByteArray older = "5A170001\r\n#older\r\n" + kLine + kLine;
        const QString otherVersion = QStringLiteral("Disk File is for a different version of this radio");
        const std::optional<quint8> ok(0);
        auto damaged = [](int line) { return QStringList{QStringLiteral("Input file is damaged at line %1").arg(line)}; };
        const QStringList none{QStringLiteral("Input file holds no memory records")};
        // The radio takes the write only when WriteRequest names the radio's model, not the file's.
        QTest::newRow("other version, user agrees") << older << model << true << ok << QStringList{otherVersion, kSuccess} << 5;
        QTest::newRow("other version, user declines") << older << model << false << ok << QStringList{otherVersion, kOtherRadio} << 1;
        QTest::newRow("result 01") << good << model << true << std::optional<quint8>(1) << QStringList{kFailure} << 5;
        QTest::newRow("result FF") << good << model << true << std::optional<quint8>(0xFF) << QStringList{kFailure} << 5;
        QTest::newRow("no result byte") << good << model << true << std::optional<quint8>() << QStringList{kFailure} << 5;
        QTest::newRow("file for another model") << "12340002\r\n#\r\n" + kLine << model << true << ok << QStringList{kOtherRadio} << 1;
        QTest::newRow("model reply of three bytes") << good << bytes("5A 17 00") << true << ok << QStringList{kOtherRadio} << 1;
        QTest::newRow("empty model reply") << good << QByteArray() << true << ok << QStringList{kOtherRadio} << 1;
        QTest::newRow("bad character in line 5") << good + "ghiggkgxhyizjq\r\n" + kLine << model << true << ok << damaged(5) << 1;
        QTest::newRow("count one short in line 3") << kHead + "ghiggkgxhyiz\r\n" << model << true << ok << damaged(3) << 1;
        QTest::newRow("empty line between records") << kHead + kLine + "\r\n" + kLine << model << true << ok << damaged(4) << 1;
        QTest::newRow("header only") << kHead << model << true << ok << none << 1;
        QTest::newRow("empty lines only") << kHead + "\r\n\r\n" << model << true << ok << none << 1;
    }
    void writeEndsWithTheRightMessage()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, reply);
        QFETCH(bool, agree);
        QFETCH(std::optional<quint8>, result);
        QFETCH(QStringList, messages);
        QFETCH(int, frames);
        QVERIFY(writeFile(path("image.icf"), file));
        VirtualRadioOptions o = radioWith(0);
        o.modelCode = reply;
        o.comment.clear();
        o.resultByte = result;
        connect(o);
        m_user->answerQuestions({agree});
        transfer(true, path("image.icf"));
        QCOMPARE(m_user->messages(), messages);
        QVERIFY(messages.size() > 1 || !m_portOpenAtMessage);  // a question comes mid-transfer
        QCOMPARE(commandsFromTool().size(), frames);
        QCOMPARE(m_radio->memory().size(), messages.endsWith(kSuccess) ? 2 : 0);
    }
    void strayFrameNeverLeavesATransferUnguarded_data()
    {
        QTest::addColumn<QByteArray>("stray");
        QTest::newRow("a model request") << bytes("FE FE EF EE E0 00 00 00 00 FD");
        QTest::newRow("an unknown command") << bytes("FE FE EF EE 07 FD");
    }
    void strayFrameNeverLeavesATransferUnguarded()
    {
        // The test plays the radio by hand on a line that echoes nothing: after the write
        // request, only the cable time-out watches for its echo, and a stray frame stops it.
        QFETCH(QByteArray, stray);
        QVERIFY(writeFile(path("image.icf"), icfOf(radioWith(3))));
        EchoLine line(false);
        m_ports->publish(1, line.device());
        line.pty().write(bytes("FE FE EF EE E1 12 34 00 02 FD"));  // from before the open: never read
        loadWindowOnly();
        m_window->cboSpeed->addItem(QStringLiteral("12345"));  // a speed the port refuses
        m_window->cboSpeed->setCurrentIndex(m_window->cboSpeed->count() - 1);
        m_window->cmdWrite->click();
        QVERIFY(m_user->messages().size() == 1 && !m_window->MSComm1.PortOpen());
        m_user->clear();
        m_window->cboSpeed->setCurrentText(QStringLiteral("9600"));
        m_user->answerOpen(path("image.icf"));
        m_window->cmdWrite->click();
        QTRY_VERIFY_WITH_TIMEOUT(line.received().size() >= 10, kTransferLimitMs);
        line.pty().write(bytes("FE FE EF EE E1 5A 17 00 02 FD"));
        QTRY_VERIFY_WITH_TIMEOUT(line.received().contains(bytes("FE FE EE EF E3 5A 17 00 02 FD")),
                                 kTransferLimitMs);
        line.pty().write(stray);
        waitIdle();
        QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Unable to locate interface cable.")});
    }
    void readCountsRecordsModuloHundredBadOnesToo()
    {
        // Frames handed straight to the window, with no port: the handler's arithmetic alone.
        loadWindowOnly();
        frmReadWrite &w = *m_window;
        unknownCommandIsNotedBeforeItsFrame();
        m_user->answerSave(path("progress.icf"));
        w.ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02") + QByteArray(16, 'c') + bytes("FD"));
        QCOMPARE(w.ProgressBar1->value(), 0);
        for (int i = 1; i <= 99; ++i)
            w.ProcessCommand(kRecord);
        QCOMPARE(w.ProgressBar1->value(), 99);
        w.ProcessCommand(kRecord);
        QCOMPARE(w.ProgressBar1->value(), 0);
        w.ProcessCommand(kRecord);
        QCOMPARE(w.ProgressBar1->value(), 1);
        QVERIFY(w.tmrResponseTimer.isActive());
        // The end of the data is answered with a TransferResult, which awaits no reply.
        w.ProcessCommand(bytes("FE FE EF EE E5 FD"));
        QVERIFY(w.tmrCableTimer.isActive() && !w.tmrResponseTimer.isActive());
        // A bad record is counted, then the transfer is over before its message.
        QSignalSpy values(w.ProgressBar1, &QProgressBar::valueChanged);
        w.ProcessCommand(bytes("FE FE EF EE E4") + "0120040A1B2C3D4E" + bytes("FD"));
        QCOMPARE(values, (QList<QVariantList>{{2}, {0}}));
        QCOMPARE(m_user->messages(),
                 QStringList{QStringLiteral("Invalid Checksum - Data corrupted in transmission")});
        QVERIFY(!QFile::exists(path("progress.icf")));
    }
    void writeCountsRecordsAfterTheFirst()
    {
        startWriteByHand(101);
        frmReadWrite &w = *m_window;
        QCOMPARE(w.ProgressBar1->value(), 0);  // the first record is not counted
        w.ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02 FD"));  // a second model reply: ignored
        for (int i = 0; i < 99; ++i)
            w.ProcessCommand(kRecord);
        QCOMPARE(w.ProgressBar1->value(), 99);
        w.ProcessCommand(kRecord);  // the hundred-and-first record goes out
        QCOMPARE(w.ProgressBar1->value(), 0);
        QVERIFY(!w.tmrResponseTimer.isActive());
        w.ProcessCommand(kRecord);  // file exhausted: EndOfData, which awaits the radio's result
        QVERIFY(w.tmrResponseTimer.isActive());
        w.ProcessCommand(bytes("FE FE EF EE E6 00 17 FD"));
        QCOMPARE(m_user->messages(), QStringList{kSuccess});
    }
    void successBeforeTheWholeFileWentOutIsWriteFailure()
    {
        startWriteByHand(2);
        m_window->ProcessCommand(bytes("FE FE EF EE E6 00 FD"));  // the radio claims success already
        QCOMPARE(m_user->messages(), QStringList{kFailure});
    }

private:
    // Either way, a frame of no known command is noted just before the frame's own line; a
    // line event gets its note.
    void unknownCommandIsNotedBeforeItsFrame()
    {
        m_window->MSComm1.raiseCommEvent(CommEventCode::Framing);
        m_window->ProcessCommand(bytes("FE FE EF EE 07 FD"));
        QCOMPARE(m_window->txtDataReceived->toPlainText(),
                 QStringLiteral("Framing Error Unknown Command FE FE EF EE 07 FD \n"));
        QVERIFY(m_user->shown().isEmpty());
    }
    // A window without a port that has taken the radio's model reply and the echo of its
    // WriteRequest for a file of `records` lines: the first record is out.
    void startWriteByHand(int records)
    {
        QVERIFY(writeFile(path("image.icf"), kHead + kLine.repeated(records)));
        loadWindowOnly();
        m_window->WritingToRadio = true;
        unknownCommandIsNotedBeforeItsFrame();
        m_user->answerOpen(path("image.icf"));
        m_window->ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02 FD"));
        QVERIFY(m_window->ICOMFileSystem->inputOpen());
        m_window->ProcessCommand(bytes("FE FE EE EF E3 5A 17 00 02 FD"));
    }
};

QTEST_MAIN(TransferTest)
#include "test_transfer.moc"
