// Reads and writes through the virtual radio on a pseudo-terminal: the files they make, the
// frames they put on the line, and every way they can fail.

#include "app/frmreadwrite.h"
#include "link/framecodec.h"
#include "tests/support/echoline.h"
#include "tests/support/hexbytes.h"
#include "tests/support/transferfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace std::chrono_literals;

namespace {
// A comment whose bytes cover the awkward values: NUL, ^Z, LF, high bit, FF (never FD).
const QByteArray kOddComment = bytes("00 1A 80 FF 23 20 0A 0A 7F 41 42 43 FE EE EF E4");

// A radio with the awkward comment.
VirtualRadioOptions oddRadio(int records, int recordSize = 32)
{
    VirtualRadioOptions o = radioWith(records, recordSize);
    o.comment = kOddComment;
    return o;
}
} // namespace

class TransferTest : public TransferFixture {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void readMakesTheExactImageFile();
    void writePutsBackExactlyTheRecordsOfTheFile();
    void readWriteReadGivesIdenticalFiles();
    void dialogCancelledEndsQuietly_data();
    void dialogCancelledEndsQuietly();
    void otherRadioModelIsRefusedBeforeAnyRecord();
    void otherVersionWritesOnlyWhenTheUserAgrees_data();
    void otherVersionWritesOnlyWhenTheUserAgrees();
    void badChecksumEndsReadAndKeepsTheOldFile();
    void silentRadioOrMissingCableEndTheTransfer_data();
    void silentRadioOrMissingCableEndTheTransfer();
    void radioResultOtherThanZeroIsWriteFailure_data();
    void radioResultOtherThanZeroIsWriteFailure();
    void damagedOrEmptyFileNeverReachesTheRadio_data();
    void damagedOrEmptyFileNeverReachesTheRadio();
    void spacesBetweenFramesAreHarmless();
    void junkBetweenFramesEndsReadAndKeepsTheOldFile();
    void modelReplyInTwoPiecesIsOneReply();
    void secondModelReplyOpensNoSecondDialog();
    void strayFrameNeverLeavesATransferUnguarded_data();
    void strayFrameNeverLeavesATransferUnguarded();
    void readProgressCountsRecordsModuloHundred();
    void writeProgressCountsRecordsAfterTheFirst();
    void successBeforeTheWholeFileWentOutIsWriteFailure();
};

void TransferTest::init() { setUpFixture(); }

void TransferTest::cleanup() { tearDownFixture(); }

void TransferTest::readMakesTheExactImageFile()
{
    VirtualRadioOptions o = oddRadio(40);
    o.comment[6] = '\r';
    connect(o);
    read(path("radio.icf"));
    QVERIFY(m_user->messages().isEmpty());

    // The expected file is built by the radio's own, separately written ICF code. A CR in
    // the comment would split its line, so the file carries a space in its place.
    QByteArray comment = kOddComment;
    comment[6] = ' ';
    const RadioImage image{m_radio->options().modelCode, comment, m_radio->memory()};
    QCOMPARE(fileBytes(path("radio.icf")), RadioMemory::icfText(image));
    QVERIFY(fileBytes(path("radio.icf")).startsWith("5A170002\r\n#"));

    const QList<QByteArray> expected{bytes("FE FE EE EF E0 00 00 00 00 FD"),
                                     bytes("FE FE EE EF E2 5A 17 00 02 FD"),
                                     bytes("FE FE EE EF E6 00 FD")};
    QCOMPARE(m_radio->framesFromTool(), expected);
    QCOMPARE(m_radio->lastResultFromTool(), std::optional<quint8>(0));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{"radio.icf"});
}

void TransferTest::writePutsBackExactlyTheRecordsOfTheFile()
{
    VirtualRadioOptions source = oddRadio(40);
    const RadioImage image{source.modelCode, kOddComment, source.memory};
    QVERIFY(writeFile(path("image.icf"), RadioMemory::icfText(image)));

    VirtualRadioOptions blank = source;
    blank.memory.clear();
    connect(blank);
    write(path("image.icf"));
    QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Successful Write")});
    QCOMPARE(m_radio->writtenRecords(), source.memory);
    QCOMPARE(m_radio->badRecordsReceived(), 0);

    QList<QByteArray> expected{bytes("FE FE EE EF E0 00 00 00 00 FD"),
                               bytes("FE FE EE EF E3 5A 17 00 02 FD")};
    for (const RadioRecord &r : source.memory)
        expected << bytes("FE FE EE EF E4") + RadioMemory::recordFrameData(r) + bytes("FD");
    expected << bytes("FE FE EE EF E5") + QByteArray("Icom Inc.") + bytes("FD");
    QCOMPARE(m_radio->framesFromTool(), expected);
}

void TransferTest::readWriteReadGivesIdenticalFiles()
{
    // A CR among the comment bytes must not make the backup unwritable.
    VirtualRadioOptions source = oddRadio(70, 16);
    source.comment[6] = '\r';
    connect(source);
    read(path("first.icf"));
    VirtualRadioOptions blank = oddRadio(0);
    blank.comment = source.comment;
    connect(blank);
    write(path("first.icf"));
    QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Successful Write")});
    read(path("second.icf"));
    QCOMPARE(m_user->messages().size(), 1);
    QCOMPARE(fileBytes(path("second.icf")), fileBytes(path("first.icf")));
    QCOMPARE(fileBytes(path("first.icf")).count("\r\n"), 72);
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
    connect(oddRadio(4));
    m_window->sFileName = path("offered.icf");
    writing ? write(QString()) : read(QString());
    QVERIFY(m_user->messages().isEmpty());
    QCOMPARE(m_user->shown().size(), 1);
    QCOMPARE(m_user->shown().first().kind,
             writing ? ScriptedSeam::Kind::OpenDialog : ScriptedSeam::Kind::SaveDialog);
    QCOMPARE(m_user->shown().first().title,
             QStringLiteral("Replix ICOM Radio   ") + (writing ? "Open file" : "Save file"));
    QVERIFY(m_window->sFileName.isEmpty());
    QCOMPARE(commandsFromTool(), QList<QByteArray>{bytes("FE FE EE EF E0")});
    QVERIFY(QDir(m_dir->path()).entryList(QDir::Files).isEmpty());
}

void TransferTest::otherRadioModelIsRefusedBeforeAnyRecord()
{
    VirtualRadioOptions other = oddRadio(4);
    other.modelCode = bytes("12 34 00 02");
    QVERIFY(writeFile(path("other.icf"), icfOf(other)));
    connect(oddRadio(4));
    write(path("other.icf"));
    QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Input file is for a different radio")});
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
    QFETCH(bool, agree);
    VirtualRadioOptions older = oddRadio(6);
    older.modelCode = bytes("5A 17 00 01");
    QVERIFY(writeFile(path("older.icf"), icfOf(older)));
    connect(oddRadio(6));
    m_user->answerQuestions({agree});
    write(path("older.icf"));
    const QString expected = agree ? QStringLiteral("Successful Write")
                                   : QStringLiteral("Input file is for a different radio");
    QCOMPARE(m_user->messages(),
             (QStringList{QStringLiteral("Disk File is for a different version of this radio"),
                          expected}));
    QCOMPARE(m_radio->writtenRecords().size(), agree ? 6 : 0);
}

void TransferTest::badChecksumEndsReadAndKeepsTheOldFile()
{
    const QByteArray backup = "an earlier backup that must survive\r\n";
    QVERIFY(writeFile(path("backup.icf"), backup));
    VirtualRadioOptions o = oddRadio(20);
    o.badChecksumAtRecord = 7;
    connect(o);
    bool portOpenWhileShown = true;
    m_user->whileNextShown([&] {  // the save dialog; then the message box
        m_user->whileNextShown([&] { portOpenWhileShown = m_window->MSComm1.PortOpen(); });
    });
    m_user->answerSave(path("backup.icf"));
    m_window->cmdRead->click();
    waitIdle();
    QCOMPARE(m_user->messages(),
             QStringList{QStringLiteral("Invalid Checksum - Data corrupted in transmission")});
    QVERIFY(!portOpenWhileShown);
    QTest::qWait(1300);  // records that came with the bad one restart no time-out
    QCOMPARE(m_user->messages().size(), 1);
    QCOMPARE(fileBytes(path("backup.icf")), backup);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"backup.icf"});
}

void TransferTest::silentRadioOrMissingCableEndTheTransfer_data()
{
    QTest::addColumn<bool>("cable");
    QTest::addColumn<bool>("writing");
    QTest::addColumn<QString>("message");
    QTest::newRow("radio off, read") << true << false << QStringLiteral("No response from radio.");
    QTest::newRow("radio off, write") << true << true << QStringLiteral("No response from radio.");
    QTest::newRow("no cable, read") << false << false
                                    << QStringLiteral("Unable to locate interface cable.");
}

void TransferTest::silentRadioOrMissingCableEndTheTransfer()
{
    QFETCH(bool, cable);
    QFETCH(bool, writing);
    QFETCH(QString, message);
    VirtualRadioOptions o = oddRadio(4);
    o.radioOn = false;
    o.cable = cable;
    connect(o);
    writing ? write(path("x.icf")) : read(path("x.icf"));
    QCOMPARE(m_user->messages(), QStringList{message});
    QCOMPARE(m_user->shown().size(), 1);  // no dialog was ever opened
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
    VirtualRadioOptions o = oddRadio(3);
    QVERIFY(writeFile(path("image.icf"), icfOf(o)));
    o.resultByte = result;
    connect(o);
    write(path("image.icf"));
    QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Write failure")});
}

void TransferTest::damagedOrEmptyFileNeverReachesTheRadio_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");
    const QByteArray head = "5A170002\r\n#VR-5A17 Ver 1.02\r\n";
    const QByteArray good = "ghiggkgxhyizj{\r\n";  // 0120040A1B2C3D
    QTest::newRow("bad character in line 5")
        << head + good + good + "ghiggkgxhyizjq\r\n" + good
        << QStringLiteral("Input file is damaged at line 5");
    QTest::newRow("count one short in line 3")
        << head + "ghiggkgxhyiz\r\n" + good << QStringLiteral("Input file is damaged at line 3");
    QTest::newRow("header only") << head << QStringLiteral("Input file holds no memory records");
}

void TransferTest::damagedOrEmptyFileNeverReachesTheRadio()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);
    QVERIFY(writeFile(path("bad.icf"), content));
    connect(oddRadio(3));
    write(path("bad.icf"));
    QCOMPARE(m_user->messages(), QStringList{message});
    QCOMPARE(commandsFromTool(), QList<QByteArray>{bytes("FE FE EE EF E0")});
    QCOMPARE(m_radio->recordsReceived(), 0);
}

void TransferTest::spacesBetweenFramesAreHarmless()
{
    VirtualRadioOptions o = oddRadio(12);
    o.noise = "   ";
    connect(o);
    read(path("spaced.icf"));
    QVERIFY(m_user->messages().isEmpty());
    QCOMPARE(fileBytes(path("spaced.icf")),
             icfOf(o));
}

void TransferTest::junkBetweenFramesEndsReadAndKeepsTheOldFile()
{
    const QByteArray backup = "5A170002\r\n#old\r\n";
    QVERIFY(writeFile(path("backup.icf"), backup));
    VirtualRadioOptions o = oddRadio(12);
    o.noise = "\x01\x02";
    connect(o);
    // The model reply itself carries the junk at its head, so the read never gets going; the
    // junk before the records is what a file must never be saved with.
    m_user->answerSave(path("backup.icf"));
    m_window->cmdRead->click();
    waitIdle();
    QCOMPARE(fileBytes(path("backup.icf")), backup);
    QCOMPARE(m_user->messages().size(), 1);
    QVERIFY(m_window->txtDataReceived->toPlainText().contains(QStringLiteral(" Unknown Command ")));
}

void TransferTest::modelReplyInTwoPiecesIsOneReply()
{
    VirtualRadioOptions o = oddRadio(5);
    o.modelReplyGap = 150ms;
    connect(o);
    read(path("split.icf"));
    QVERIFY(m_user->messages().isEmpty());
    QCOMPARE(fileBytes(path("split.icf")), icfOf(o));
}

void TransferTest::secondModelReplyOpensNoSecondDialog()
{
    VirtualRadioOptions o = oddRadio(30);
    connect(o);
    const QByteArray reply = bytes("FE FE EF EE E1 5A 17 00 02") + o.comment + bytes("FD");
    QObject::connect(m_radio.get(), &VirtualRadio::recordSent, m_window.get(), [&](int count) {
        if (count == 3)
            m_window->ProcessCommand(reply);
    });
    read(path("once.icf"));
    QCOMPARE(m_user->shown().size(), 1);
    QVERIFY(m_user->messages().isEmpty());
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
    VirtualRadioOptions o = oddRadio(3);
    QVERIFY(writeFile(path("image.icf"), icfOf(o)));
    EchoLine line(false);
    m_ports->publish(1, line.device());
    m_window = std::make_unique<frmReadWrite>();
    m_window->Form_Load();
    m_user->answerOpen(path("image.icf"));
    m_window->cmdWrite->click();
    QTRY_VERIFY(line.received().size() >= 10);
    line.pty().write(bytes("FE FE EF EE E1 5A 17 00 02 FD"));
    QTRY_VERIFY(line.received().contains(bytes("FE FE EE EF E3 5A 17 00 02 FD")));
    line.pty().write(stray);
    waitIdle();
    QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Unable to locate interface cable.")});
}

void TransferTest::readProgressCountsRecordsModuloHundred()
{
    // Frames handed straight to the window, with no port: the handler's arithmetic alone.
    loadWindowOnly();
    frmReadWrite &w = *m_window;
    m_user->answerSave(path("progress.icf"));
    w.WritingToRadio = false;
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
    // A bad record is counted, then the transfer is over before its message.
    int valueWhileShown = -1;
    m_user->whileNextShown([&] { valueWhileShown = w.ProgressBar1->value(); });
    w.ProcessCommand(bytes("FE FE EF EE E4") + "0120040A1B2C3D4E" + bytes("FD"));
    QCOMPARE(valueWhileShown, 0);
    QCOMPARE(m_user->messages(),
             QStringList{QStringLiteral("Invalid Checksum - Data corrupted in transmission")});
    QVERIFY(!QFile::exists(path("progress.icf")));
}

void TransferTest::writeProgressCountsRecordsAfterTheFirst()
{
    QByteArray file = "5A170002\r\n#VR-5A17 Ver 1.02\r\n";
    for (int i = 0; i < 101; ++i)
        file += "ghiggkgxhyizj{\r\n";
    QVERIFY(writeFile(path("many.icf"), file));
    loadWindowOnly();
    frmReadWrite &w = *m_window;
    m_user->answerOpen(path("many.icf"));
    w.WritingToRadio = true;
    w.ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02 FD"));
    QVERIFY(w.ICOMFileSystem->inputOpen());
    w.ProcessCommand(bytes("FE FE EE EF E3 5A 17 00 02 FD"));  // first record sent, not counted
    QCOMPARE(w.ProgressBar1->value(), 0);
    const QByteArray echo = bytes("FE FE EE EF E4") + "0120040A1B2C3D4D" + bytes("FD");
    for (int i = 0; i < 99; ++i)
        w.ProcessCommand(echo);
    QCOMPARE(w.ProgressBar1->value(), 99);
    w.ProcessCommand(echo);  // the hundred-and-first record goes out
    QCOMPARE(w.ProgressBar1->value(), 0);
    QVERIFY(!w.tmrResponseTimer.isActive());
    w.ProcessCommand(echo);  // file exhausted: EndOfData, which awaits the radio's result
    QVERIFY(w.tmrResponseTimer.isActive());
    w.ProcessCommand(bytes("FE FE EF EE E6 00 17 FD"));
    QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Successful Write")});
}

void TransferTest::successBeforeTheWholeFileWentOutIsWriteFailure()
{
    QVERIFY(writeFile(path("two.icf"), "5A170002\r\n#VR-5A17 Ver 1.02\r\nghiggkgxhyizj{\r\nghiggkgxhyizj{\r\n"));
    loadWindowOnly();
    frmReadWrite &w = *m_window;
    m_user->answerOpen(path("two.icf"));
    w.WritingToRadio = true;
    w.ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02 FD"));
    w.ProcessCommand(bytes("FE FE EE EF E3 5A 17 00 02 FD"));  // first record out
    w.ProcessCommand(bytes("FE FE EF EE E6 00 FD"));  // the radio claims success already
    QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Write failure")});
}

QTEST_MAIN(TransferTest)
#include "test_transfer.moc"
