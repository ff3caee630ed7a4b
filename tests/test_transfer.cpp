// Reads and writes through the virtual radio on a pseudo-terminal (or frames handed straight
// to the window): the files they make, the frames they put on the line, how they end.

#include "tests/support/echoline.h"
#include "tests/support/hexbytes.h"
#include "tests/support/transferfixture.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {
// A comment whose bytes cover the awkward values: NUL, ^Z, CR, LF, high bit, FF (never FD).
const QByteArray kOddComment = bytes("00 1A 80 FF 23 20 0D 0A 7F 41 42 43 FE EE EF E4");
const QByteArray kHead = "5A170002\r\n#VR-5A17 Ver 1.02\r\n";
const QByteArray kLine = "ghiggkgxhyizj{\r\n";  // 0120040A1B2C3D, checksum 4D
const QByteArray kLineEcho = bytes("FE FE EE EF E4") + "0120040A1B2C3D4D" + bytes("FD");
const QString kSuccess = QStringLiteral("Successful Write");
const QString kFailure = QStringLiteral("Write failure");
const QString kOtherRadio = QStringLiteral("Input file is for a different radio");
} // namespace

class TransferTest : public TransferFixture {
    Q_OBJECT
private slots:
    void init() { setUpFixture(); }
    void cleanup() { tearDownFixture(); }

    void readAndWriteCarryTheExactImage_data();
    void readAndWriteCarryTheExactImage();
    void readTakesRepliesOfEveryShape_data();
    void readTakesRepliesOfEveryShape();
    void dialogCancelledEndsQuietly_data();
    void dialogCancelledEndsQuietly();
    void fileRefusedBeforeAnyRecord_data();
    void fileRefusedBeforeAnyRecord();
    void otherVersionWritesOnlyWhenTheUserAgrees_data();
    void otherVersionWritesOnlyWhenTheUserAgrees();
    void radioResultOtherThanZeroIsWriteFailure_data();
    void radioResultOtherThanZeroIsWriteFailure();
    void secondModelReplyOpensNoSecondDialog();
    void strayFrameNeverLeavesATransferUnguarded_data();
    void strayFrameNeverLeavesATransferUnguarded();
    void unknownCommandIsNotedBeforeItsFrame_data();
    void unknownCommandIsNotedBeforeItsFrame();
    void readCountsRecordsModuloHundredBadOnesToo();
    void writeCountsRecordsAfterTheFirst();
    void successBeforeTheWholeFileWentOutIsWriteFailure();

private:
    // A window without a port that has taken the radio's model reply and the echo of its
    // WriteRequest for a file of `records` lines: the first record is out.
    void startWriteByHand(int records);
};

void TransferTest::readAndWriteCarryTheExactImage_data()
{
    QTest::addColumn<QByteArray>("appended");  // to the file before it is written back
    QTest::newRow("as read") << QByteArray();
    QTest::newRow("an editor's extra line end") << QByteArray("\r\n");
    QTest::newRow("empty lines, CR only") << QByteArray("\r\r\r");
}

void TransferTest::readAndWriteCarryTheExactImage()
{
    QFETCH(QByteArray, appended);
    VirtualRadioOptions o = radioWith(40);
    o.comment = kOddComment;
    connect(o);
    transfer(false, path("radio.icf"));
    QVERIFY(m_user->messages().isEmpty());
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

void TransferTest::readTakesRepliesOfEveryShape_data()
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

void TransferTest::readTakesRepliesOfEveryShape()
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

void TransferTest::dialogCancelledEndsQuietly_data()
{
    QTest::addColumn<bool>("writing");
    QTest::newRow("save dialog") << false;
    QTest::newRow("open dialog") << true;
}

void TransferTest::dialogCancelledEndsQuietly()
{
    QFETCH(bool, writing);
    connect(radioWith(4));
    m_window->sFileName = path("offered.icf");
    transfer(writing, QString());
    QCOMPARE(m_user->shown().size(), 1);
    QCOMPARE(m_user->shown().first().kind,
             writing ? ScriptedSeam::Kind::OpenDialog : ScriptedSeam::Kind::SaveDialog);
    QCOMPARE(m_user->shown().first().title,
             QStringLiteral("Replix ICOM Radio   ") + (writing ? "Open file" : "Save file"));
    QVERIFY(m_window->sFileName.isEmpty());
    QCOMPARE(commandsFromTool(), QList<QByteArray>{bytes("FE FE EE EF E0")});
    QVERIFY(filesIn(m_dir->path()).isEmpty());
}

void TransferTest::fileRefusedBeforeAnyRecord_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("reply");  // the radio's model reply
    QTest::addColumn<QString>("message");
    const QByteArray model = bytes("5A 17 00 02");
    const QByteArray good = kHead + kLine + kLine;
    QTest::newRow("file for another model")
        << QByteArray("12340002\r\n#other\r\n") + kLine << model << kOtherRadio;
    QTest::newRow("model reply of three bytes") << good << bytes("5A 17 00") << kOtherRadio;
    QTest::newRow("empty model reply") << good << QByteArray() << kOtherRadio;
    QTest::newRow("bad character in line 5") << good + "ghiggkgxhyizjq\r\n" + kLine << model
                                             << QStringLiteral("Input file is damaged at line 5");
    QTest::newRow("count one short in line 3") << kHead + "ghiggkgxhyiz\r\n" + kLine << model
                                               << QStringLiteral("Input file is damaged at line 3");
    QTest::newRow("empty line between records") << kHead + kLine + "\r\n" + kLine << model
                                                << QStringLiteral("Input file is damaged at line 4");
    QTest::newRow("header only") << kHead << model << QStringLiteral("Input file holds no memory records");
    QTest::newRow("empty lines only") << kHead + "\r\n\r\n" << model
                                      << QStringLiteral("Input file holds no memory records");
}

void TransferTest::fileRefusedBeforeAnyRecord()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, reply);
    QFETCH(QString, message);
    QVERIFY(writeFile(path("image.icf"), file));
    VirtualRadioOptions o = radioWith(3);
    o.modelCode = reply;
    o.comment.clear();
    connect(o);
    transfer(true, path("image.icf"));
    QCOMPARE(m_user->messages(), QStringList{message});
    QVERIFY(!m_portOpenAtMessage);
    QCOMPARE(commandsFromTool(), QList<QByteArray>{bytes("FE FE EE EF E0")});
}

void TransferTest::otherVersionWritesOnlyWhenTheUserAgrees_data()
{
    QTest::addColumn<bool>("agree");
    QTest::newRow("user agrees") << true;
    QTest::newRow("user declines") << false;
}

void TransferTest::otherVersionWritesOnlyWhenTheUserAgrees()
{
    // The radio takes the write only when its WriteRequest names the radio's model, not the
    // file's.
    QFETCH(bool, agree);
    VirtualRadioOptions older = radioWith(6);
    older.modelCode = bytes("5A 17 00 01");
    QVERIFY(writeFile(path("older.icf"), icfOf(older)));
    connect(radioWith(6));
    m_user->answerQuestions({agree});
    transfer(true, path("older.icf"));
    QCOMPARE(m_user->messages(),
             (QStringList{QStringLiteral("Disk File is for a different version of this radio"),
                          agree ? kSuccess : kOtherRadio}));
    QCOMPARE(m_radio->writtenRecords().size(), agree ? 6 : 0);
}

void TransferTest::radioResultOtherThanZeroIsWriteFailure_data()
{
    QTest::addColumn<std::optional<quint8>>("result");
    QTest::newRow("01") << std::optional<quint8>(0x01);
    QTest::newRow("FF") << std::optional<quint8>(0xFF);
    QTest::newRow("no result byte") << std::optional<quint8>();
}

void TransferTest::radioResultOtherThanZeroIsWriteFailure()
{
    QFETCH(std::optional<quint8>, result);
    VirtualRadioOptions o = radioWith(3);
    QVERIFY(writeFile(path("image.icf"), icfOf(o)));
    o.resultByte = result;
    connect(o);
    transfer(true, path("image.icf"));
    QCOMPARE(m_user->messages(), QStringList{kFailure});
}

void TransferTest::secondModelReplyOpensNoSecondDialog()
{
    VirtualRadioOptions o = radioWith(30);
    connect(o);
    const QByteArray reply = bytes("FE FE EF EE E1 5A 17 00 02") + o.comment + bytes("FD");
    QObject::connect(m_radio.get(), &VirtualRadio::recordSent, m_window.get(), [&](int count) {
        if (count == 3)
            m_window->ProcessCommand(reply);
    });
    transfer(false, path("once.icf"));
    QCOMPARE(m_user->shown().size(), 1);
    QCOMPARE(fileBytes(path("once.icf")), icfOf(o));
}

void TransferTest::strayFrameNeverLeavesATransferUnguarded_data()
{
    QTest::addColumn<QByteArray>("stray");
    QTest::newRow("a model request") << bytes("FE FE EF EE E0 00 00 00 00 FD");
    QTest::newRow("an unknown command") << bytes("FE FE EF EE 07 FD");
}

void TransferTest::strayFrameNeverLeavesATransferUnguarded()
{
    // The test plays the radio by hand on a line that echoes nothing: after the write
    // request, only the cable time-out watches for its echo, and a stray frame stops it.
    QFETCH(QByteArray, stray);
    QVERIFY(writeFile(path("image.icf"), icfOf(radioWith(3))));
    EchoLine line(false);
    m_ports->publish(1, line.device());
    loadWindowOnly();
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

void TransferTest::unknownCommandIsNotedBeforeItsFrame_data()
{
    QTest::addColumn<bool>("writing");
    QTest::newRow("read") << false;
    QTest::newRow("write") << true;
}

void TransferTest::unknownCommandIsNotedBeforeItsFrame()
{
    QFETCH(bool, writing);
    loadWindowOnly();
    m_window->WritingToRadio = writing;
    m_window->ProcessCommand(bytes("FE FE EF EE 07 FD"));
    QCOMPARE(m_window->txtDataReceived->toPlainText(),
             QStringLiteral(" Unknown Command FE FE EF EE 07 FD \n"));
    QVERIFY(m_user->shown().isEmpty());
}

void TransferTest::readCountsRecordsModuloHundredBadOnesToo()
{
    // Frames handed straight to the window, with no port: the handler's arithmetic alone.
    loadWindowOnly();
    frmReadWrite &w = *m_window;
    m_user->answerSave(path("progress.icf"));
    w.ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02") + QByteArray(16, 'c') + bytes("FD"));
    QCOMPARE(w.ProgressBar1->value(), 0);
    const QByteArray record = bytes("FE FE EF EE E4") + "0120040A1B2C3D4D" + bytes("FD");
    for (int i = 1; i <= 99; ++i)
        w.ProcessCommand(record);
    QCOMPARE(w.ProgressBar1->value(), 99);
    w.ProcessCommand(record);
    QCOMPARE(w.ProgressBar1->value(), 0);
    w.ProcessCommand(record);
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

void TransferTest::startWriteByHand(int records)
{
    QByteArray file = kHead;
    for (int i = 0; i < records; ++i)
        file += kLine;
    QVERIFY(writeFile(path("image.icf"), file));
    loadWindowOnly();
    m_user->answerOpen(path("image.icf"));
    m_window->WritingToRadio = true;
    m_window->ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02 FD"));
    QVERIFY(m_window->ICOMFileSystem->inputOpen());
    m_window->ProcessCommand(bytes("FE FE EE EF E3 5A 17 00 02 FD"));
}

void TransferTest::writeCountsRecordsAfterTheFirst()
{
    startWriteByHand(101);
    frmReadWrite &w = *m_window;
    QCOMPARE(w.ProgressBar1->value(), 0);  // the first record is not counted
    for (int i = 0; i < 99; ++i)
        w.ProcessCommand(kLineEcho);
    QCOMPARE(w.ProgressBar1->value(), 99);
    w.ProcessCommand(kLineEcho);  // the hundred-and-first record goes out
    QCOMPARE(w.ProgressBar1->value(), 0);
    QVERIFY(!w.tmrResponseTimer.isActive());
    w.ProcessCommand(kLineEcho);  // file exhausted: EndOfData, which awaits the radio's result
    QVERIFY(w.tmrResponseTimer.isActive());
    w.ProcessCommand(bytes("FE FE EF EE E6 00 17 FD"));
    QCOMPARE(m_user->messages(), QStringList{kSuccess});
}

void TransferTest::successBeforeTheWholeFileWentOutIsWriteFailure()
{
    startWriteByHand(2);
    m_window->ProcessCommand(bytes("FE FE EF EE E6 00 FD"));  // the radio claims success already
    QCOMPARE(m_user->messages(), QStringList{kFailure});
}

QTEST_MAIN(TransferTest)
#include "test_transfer.moc"
