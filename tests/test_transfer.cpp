// Reads and writes through the virtual radio on a pseudo-terminal (or frames handed straight
// to the conversation): the files they make, the frames they put on the line, how they end.

#include "tests/support/hexbytes.h"
#include "tests/support/transferfixture.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <sys/stat.h>

namespace {
// A comment whose bytes cover the awkward values: NUL, ^Z, CR, LF, high bit, FF (never FD).
const QByteArray kOddComment = bytes("00 1A 80 FF 23 20 0D 0A 7F 41 42 43 FE EE EF E4");
const QByteArray kHead = "5A170002\r\n#VR-5A17 Ver 1.02\r\n";
const QByteArray kLine = "ghiggkgxhyizj{\r\n";   // 0120040A1B2C3D, checksum 4D
const QByteArray kLine2 = "ghikgkgxhyizj{\r\n";  // 0124040A1B2C3D
const QByteArray kRecord =
    bytes("FE FE EE EF E4") + "0120040A1B2C3D4D" + bytes("FD");  // addresses unread
const QString kSuccess = QStringLiteral("Successful Write");
const QString kFailure = QStringLiteral("Write failure");
const QString kOtherRadio = QStringLiteral("Input file is for a different radio");
}  // namespace

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
        o.memory.insert(20, RadioRecord{0x0000, {}});  // a record of no bytes breaks no run
        connect(o);
        // A second model reply amid the records opens no second dialog and changes nothing.
        QObject::connect(m_radio.get(), &VirtualRadio::recordSent, &m_rig->conversation,
                         [&](int count) {
                             if (count == 3)
                                 m_rig->conversation.ProcessCommand(
                                     bytes("FE FE EF EE E1 5A 17 00 02") + o.comment + bytes("FD"));
                         });
        transfer(false, path("radio.icf"));
        QCOMPARE(m_user->shown().size(), 1);
        // The expected file is built by the radio's own, separately written ICF code. A CR or
        // LF in the comment would split its line, so the file carries a space in its place.
        QByteArray comment = kOddComment;
        comment[6] = comment[7] = ' ';
        const QByteArray image = RadioMemory::icfText({o.modelCode, comment, o.memory});
        QCOMPARE(fileBytes(path("radio.icf")), image);
        QVERIFY(image.startsWith("5A170002\r\n#"));
        QCOMPARE(m_radio->framesFromTool(),
                 (QList<QByteArray>{bytes("FE FE EE EF E0 00 00 00 00 FD"),
                                    bytes("FE FE EE EF E2 5A 17 00 02 FD"),
                                    bytes("FE FE EE EF E6 00 FD")}));
        QCOMPARE(filesIn(m_dir->path()), QStringList{"radio.icf"});

        // Written back into a blank radio, the file gives the same records, frame by frame.
        QVERIFY(writeFile(path("radio.icf"), image + appended));
        VirtualRadioOptions blank = o;
        blank.memory.clear();
        connect(blank);
        transfer(true, path("radio.icf"));
        QCOMPARE(m_user->messages(), QStringList{kSuccess});
        QCOMPARE(m_user->shown().last().title, QStringLiteral("Replix ICOM Radio"));
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
        QTest::addColumn<QByteArray>("noise");   // before every frame of the radio
        QTest::addColumn<int>("gapMs");          // the model reply comes in two pieces
        QTest::addColumn<QByteArray>("reply");   // the model reply's data
        QTest::addColumn<QByteArray>("header");  // the file's first two lines
        const QByteArray normal = bytes("5A 17 00 02") + "VR-5A17 Ver 1.02";
        QTest::newRow("5,000 spaces before every frame")
            << QByteArray(5000, ' ') << -1 << normal << kHead;
        QTest::newRow("model reply in two pieces") << QByteArray() << 150 << normal << kHead;
        QTest::newRow("model reply of three bytes")
            << QByteArray() << -1 << bytes("5A 17 00") << QByteArray("5A1700\r\n#\r\n");
        QTest::newRow("empty model reply")
            << QByteArray() << -1 << QByteArray() << QByteArray("00\r\n#\r\n");
    }
    void readTakesRepliesOfEveryShape()
    {
        QFETCH(QByteArray, noise);
        QFETCH(int, gapMs);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, header);
        VirtualRadioOptions o = radioWith(gapMs > 0 ? 1 : 12);
        const QByteArray records = icfOf(o).sliced(kHead.size());
        o.noise = noise;
        o.modelReplyGap = std::chrono::milliseconds(gapMs);
        o.modelCode = reply.left(4);
        o.comment = reply.mid(4);
        connect(o);
        transfer(false, path("radio.icf"));
        QVERIFY(m_user->messages().isEmpty());
        QCOMPARE(fileBytes(path("radio.icf")), header + records);
        QCOMPARE(m_rig->outcome.kind, TransferOutcome::Saved);
        QCOMPARE(m_rig->conversation.recordsStored(), gapMs > 0 ? 1 : 12);
        // The records are asked for with the model bytes there are, and nothing is left over.
        QCOMPARE(m_radio->framesFromTool().value(1),
                 bytes("FE FE EE EF E2") + reply.left(4) + bytes("FD"));
        QVERIFY(!m_rig->log.contains(QStringLiteral("Bad Command")));
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
        m_rig->conversation.sFileName = path("offered.icf");
        transfer(writing, QString());
        QCOMPARE(m_user->shown().size(), 1);
        QCOMPARE(m_rig->outcome.cause, TransferOutcome::NoFile);
        QCOMPARE(commandsFromTool(), QList<QByteArray>{bytes("FE FE EE EF E0")});
        QVERIFY(filesIn(m_dir->path()).isEmpty());
        // The window tells a screen reader why nothing happened.
        connect(radioWith(4), true);
        transfer(writing, QString());
        QTRY_COMPARE((writing ? m_window->cmdWrite : m_window->cmdRead)->accessibleDescription(),
                     QString(writing ? "Write" : "Read") + " ended: no file chosen");
    }
    // The chosen file is gone, or a pipe, by the time the write opens it: the end names it
    // and says why, and is told as a write that ended, not as a read that saved.
    void writeOfAFileThatCannotBeOpenedSaysWhy()
    {
        QVERIFY(::mkfifo(QFile::encodeName(path("pipe.icf")).constData(), 0600) == 0);
        connect(radioWith(4), true);  // what the window says of it too
        for (const auto &[name, why] :
             {std::pair<QString, QString>{"gone.icf", "No such file or directory"},
              {"pipe.icf", "not a regular file"}}) {
            transfer(true, path(name));
            const QString message = "Unable to open input file\r\n" + path(name) + ": " + why;
            QCOMPARE(m_user->messages().last(), message);
            QTRY_COMPARE(m_window->cmdWrite->accessibleDescription(), "Write ended: " + message);
        }
        QCOMPARE(m_radio->writtenRecords(), QList<RadioRecord>());
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
        const QByteArray good = kHead + kLine + kLine2;
        const QByteArray older = "5A170001\r\n#older\n" + kLine + kLine2;
        const QString otherVersion =
            QStringLiteral("Disk File is for a different version of this radio");
        const std::optional<quint8> ok(0);
        auto damaged = [](int line) {
            return QStringList{QStringLiteral("Input file is damaged at line %1").arg(line)};
        };
        const QStringList none{QStringLiteral("Input file holds no memory records")};
        // The radio takes the write only when WriteRequest names the radio's model, not the file's.
        QTest::newRow("other version, user agrees")
            << older << model << true << ok << QStringList{otherVersion, kSuccess} << 5;
        QTest::newRow("other version, user declines")
            << older << model << false << ok << QStringList{otherVersion, kOtherRadio} << 1;
        QTest::newRow("result 01")
            << good << model << true << std::optional<quint8>(1) << QStringList{kFailure} << 5;
        QTest::newRow("result FF")
            << good << model << true << std::optional<quint8>(0xFF) << QStringList{kFailure} << 5;
        QTest::newRow("no result byte")
            << good << model << true << std::optional<quint8>() << QStringList{kFailure} << 5;
        QTest::newRow("file for another model")
            << "12340002\r\n#\r\n" + kLine << model << true << ok << QStringList{kOtherRadio} << 1;
        QTest::newRow("model reply of three bytes")
            << good << bytes("5A 17 00") << true << ok << QStringList{kOtherRadio} << 1;
        QTest::newRow("empty model reply")
            << good << QByteArray() << true << ok << QStringList{kOtherRadio} << 1;
        QTest::newRow("bad character in line 5")
            << good + "ghiggkgxhyizjq\r\n" + kLine << model << true << ok << damaged(5) << 1;
        QTest::newRow("count one short in line 3") << kHead + "ghiggkgxhyiz\r\n"
                                                   << model << true << ok << damaged(3) << 1;
        QTest::newRow("empty line between records")
            << kHead + kLine + "\r\n" + kLine2 << model << true << ok << damaged(4) << 1;
        QTest::newRow("a record repeated")
            << good + kLine << model << true << ok << damaged(5) << 1;
        QTest::newRow("past 0xFFFF") << kHead + kLine + "}}}}gighgi\r\n"
                                     << model << true << ok << damaged(4) << 1;
        QTest::newRow("model line only")
            << QByteArray("5A170002\r\n") << model << true << ok << damaged(2) << 1;
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
    // Each read counts its own records: after a good read, one of a radio that sends none is
    // told as such by the same conversation, and the good read's file stays.
    void aReadAfterAReadCountsItsOwnRecords()
    {
        connect(radioWith(4));
        transfer(false, path("kept.icf"));
        const QByteArray kept = fileBytes(path("kept.icf"));
        QVERIFY(kept == icfOf(radioWith(4)) && m_rig->progress == QList<int>({0, 1, 2, 3, 4}));
        m_radio = std::make_unique<VirtualRadio>(radioWith(0));  // another radio, same port
        QVERIFY(m_radio->publishAs(*m_ports, 1));
        transfer(false, path("kept.icf"));
        QCOMPARE(m_user->messages(), QStringList{"The radio sent no memory records"});
        QVERIFY(fileBytes(path("kept.icf")) == kept && m_rig->progress.sliced(5) == QList{0});
    }
    // Interrupted by its owner (Ctrl-C on the command line): the transfer ends there, nothing
    // is said, the port is free and an earlier file stays as it was.
    void anInterruptedReadKeepsTheEarlierFile()
    {
        connect(radioWith(40));
        QVERIFY(writeFile(path("kept.icf"), "old"));
        QObject::connect(m_radio.get(), &VirtualRadio::recordSent, &m_rig->conversation,
                         [this](int count) {
                             if (count == 3)
                                 m_rig->conversation.Interrupt();
                         });
        transfer(false, path("kept.icf"));
        QCOMPARE(m_rig->outcome.cause, TransferOutcome::Interrupted);
        QVERIFY(m_user->messages().isEmpty() && !m_rig->MSComm1.PortOpen());
        QCOMPARE(fileBytes(path("kept.icf")), QByteArray("old"));
    }
    // Every command code at every step of a read and of a write, handed to a running transfer
    // whose line echoes nothing: what the tool sends, how (and whether) it ends, which
    // time-outs run. Frames out of turn (an end before the request, a stray WriteRequest
    // before the model reply, a result in mid-read) change nothing.
    void everyCommandAtEveryStep_data()
    {
        QTest::addColumn<bool>("writing");
        QTest::addColumn<int>("step");  // 0 model request out, 1 request out, 2 records, 3 end out
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("sent");  // the commands the tool sends in answer
        QTest::addColumn<QString>("end");      // null: runs on; else the message ("": none)
        QTest::addColumn<bool>("cable");
        QTest::addColumn<bool>("response");
        struct Cell {
            int code;
            QByteArray sent;
            QString end;
            int timers;
        };  // timers: cable 2, response 1
        const QString corrupted = QStringLiteral("Data corrupted in transmission");
        // Per direction and step: the time-outs running before the frame, then what differs.
        const QList<QPair<int, QList<Cell>>> read{
            {3, {{0xE0, "", {}, 1}, {0xE1, "E2", {}, 3}}},
            {3, {{0xE2, "", {}, 1}}},
            // A second record at the same addresses: a frame repeated on the line.
            {1, {{0xE4, "", corrupted, 0}, {0xE5, "E6", {}, 2}, {0x07, "", corrupted, 0}}},
            {2,
             {{0xE4, "", corrupted, 0},
              {0xE6, "", QStringLiteral(""), 0},
              {0x07, "", corrupted, 0}}}};
        const QList<QPair<int, QList<Cell>>> write{
            {3, {{0xE0, "", {}, 1}, {0xE1, "E3", {}, 2}}},
            {2, {{0xE3, "E4", {}, 2}, {0xE6, "", kFailure, 0}}},
            {2, {{0xE4, "E4", {}, 2}, {0xE6, "", kFailure, 0}}},
            {3, {{0xE5, "", {}, 1}, {0xE6, "", kSuccess, 0}}}};
        for (const bool writing : {false, true}) {
            for (int step = 0; step < 4; ++step) {
                const auto &[before, cells] = (writing ? write : read).at(step);
                for (const int code : {0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0x07}) {
                    Cell cell{code, "", {}, before};
                    for (const Cell &c : cells)
                        cell = c.code == code ? c : cell;
                    QTest::addRow("%s, step %d, %02X", writing ? "write" : "read", step, code)
                        << writing << step << code << cell.sent << cell.end << bool(cell.timers & 2)
                        << bool(cell.timers & 1);
                }
            }
        }
    }
    void everyCommandAtEveryStep()
    {
        QFETCH(bool, writing);
        QFETCH(int, step);
        QFETCH(int, code);
        QFETCH(QByteArray, sent);
        QFETCH(QString, end);
        const QByteArray reply =
            bytes("FE FE EF EE E1 5A 17 00 02") + "VR-5A17 Ver 1.02" + bytes("FD");
        const QMap<int, QByteArray> frames{{0xE0, bytes("FE FE EE EF E0 00 00 00 00 FD")},
                                           {0xE1, reply},
                                           {0xE2, bytes("FE FE EE EF E2 5A 17 00 02 FD")},
                                           {0xE3, bytes("FE FE EE EF E3 5A 17 00 02 FD")},
                                           {0xE4, kRecord},
                                           {0xE5, bytes("FE FE EF EE E5 FD")},
                                           {0xE6, bytes("FE FE EF EE E6 00 FD")},
                                           {0x07, bytes("FE FE EF EE 07 FD")}};
        auto commandsSent = [this] {
            QByteArray codes;
            for (const QByteArray &f : sentByTool().split(char(0xFD)))
                codes += f.size() > 4 ? f.mid(4, 1).toHex().toUpper() : QByteArray();
            return codes;
        };
        QVERIFY(writeFile(path("image.icf"), icfOf(radioWith(2, 4))));
        startByHand(writing);
        Rig &w = *m_rig;
        writing ? m_user->answerOpen(path("image.icf")) : m_user->answerSave(path("radio.icf"));
        // The steps before: the model reply, the echo of the request and a record, the end.
        const QList<QList<QByteArray>> steps =
            writing ? QList<QList<QByteArray>>{{reply}, {frames[0xE3]}, {kRecord, kRecord}}
                    : QList<QList<QByteArray>>{{reply}, {frames[0xE2], kRecord}, {frames[0xE5]}};
        for (int i = 0; i < step; ++i)
            for (const QByteArray &frame : steps.at(i))
                w.conversation.ProcessCommand(frame);
        sentByTool();  // what the steps before sent
        w.conversation.ProcessCommand(frames[code]);
        QCOMPARE(commandsSent(), sent);
        QCOMPARE(w.log.contains(QStringLiteral(" Unknown Command ")), code == 0x07);
        if (end.isNull()) {
            QVERIFY(w.MSComm1.PortOpen() && m_user->messages().isEmpty());
            const QTimer &cable = w.conversation.tmrCableTimer;
            const QTimer &response = w.conversation.tmrResponseTimer;
            QTEST(cable.isActive(), "cable");
            QTEST(response.isActive(), "response");
            // Whatever runs, runs for its own time: 1000 ms for the echo, 1100 ms for the radio.
            QVERIFY(!cable.isActive() || cable.interval() == 1000);
            QVERIFY(!response.isActive() || response.interval() == 1100);
        } else {
            waitIdle();
            QCOMPARE(m_user->messages(), end.isEmpty() ? QStringList{} : QStringList{end});
        }
        const bool saved = !writing && step == 3 && code == 0xE6;  // on the echo of its own result
        QCOMPARE(fileBytes(path("radio.icf")),
                 saved ? "5A170002\r\n#VR-5A17 Ver 1.02\r\n" + kLine : QByteArray("<missing>"));
    }

    // The radio still sends the image of a read that ended early: its records, end frame and
    // result before the model reply change nothing, and a read given no record of its own
    // keeps the earlier file and says why.
    void aReadOfNoRecordOfItsOwnKeepsTheEarlierFile()
    {
        // A record alone before the reply tells it as well as the earlier image's end frame.
        for (const QList<QByteArray> &earlier :
             {QList<QByteArray>{kRecord, bytes("FE FE EF EE E5 FD")}, {kRecord}}) {
            QVERIFY(writeFile(path("radio.icf"), kHead));
            startByHand(false);
            m_user->clear();
            m_user->answerSave(path("radio.icf"));
            for (const QByteArray &frame :
                 earlier
                     + QList<QByteArray>{
                         bytes("FE FE EE EF E6 00 FD"), bytes("FE FE EF EE E1 5A 17 00 02 FD"),
                         bytes("FE FE EE EF E2 5A 17 00 02 FD"), bytes("FE FE EF EE E5 FD")})
                m_rig->conversation.ProcessCommand(frame);
            QCOMPARE(sentByTool(), bytes("FE FE EE EF E2 5A 17 00 02 FD"));
            QCOMPARE(
                m_user->messages(),
                QStringList{"The radio sent no memory records\r\nThe radio is still sending an "
                            "earlier image: wait until the radio stops sending, then read again."});
            QCOMPARE(fileBytes(path("radio.icf")), kHead);
        }
    }
    // Frames behind the one that ended a read, in the same chunk, belong to no transfer:
    // neither handled nor logged.
    void whatFollowsTheEndInOneChunkIsLeftAlone()
    {
        startByHand(false);
        m_user->answerSave(path("radio.icf"));
        const QByteArray end = bytes("FE FE EF EE E5 FD");
        for (const QByteArray &chunk :
             {bytes("FE FE EF EE E1 5A 17 00 02") + "VR-5A17 Ver 1.02" + bytes("FD"),
              bytes("FE FE EE EF E2 5A 17 00 02 FD") + kRecord, end,
              bytes("FE FE EF EE E6 00 FD") + end + kRecord})
            m_rig->conversation.ProcessCommand(chunk);
        QCOMPARE(fileBytes(path("radio.icf")), kHead + kLine);
        QVERIFY2(m_rig->log.endsWith("FE FE EF EE E6 00 FD \n"), qPrintable(m_rig->log.right(80)));
    }
    // The window's bar counts what the conversation tells it, modulo 100.
    void readCountsRecordsModuloHundredBadOnesToo()
    {
        startByHand(false, true);
        frmReadWrite &w = *m_window;
        unknownCommandIsNotedBeforeItsFrame();
        m_user->answerSave(path("progress.icf"));
        w.ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02") + QByteArray(16, 'c') + bytes("FD"));
        w.ProcessCommand(bytes("FE FE EE EF E2 5A 17 00 02 FD"));
        QCOMPARE(w.ProgressBar1->value(), 0);
        quint16 at = 0;  // the records follow on, as a radio sends them
        auto nextRecord = [&at] {
            const RadioRecord r{at, QByteArray(4, 'x')};
            at += 4;
            return bytes("FE FE EF EE E4") + RadioMemory::recordFrameData(r) + bytes("FD");
        };
        for (int i = 1; i <= 99; ++i)
            w.ProcessCommand(nextRecord());
        QCOMPARE(w.ProgressBar1->value(), 99);
        w.ProcessCommand(nextRecord());
        QCOMPARE(w.ProgressBar1->value(), 0);
        w.ProcessCommand(nextRecord());
        QCOMPARE(w.ProgressBar1->value(), 1);
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
        QVERIFY(writeFile(path("image.icf"), icfOf(radioWith(101, 4))));
        startByHand(true, true);
        frmReadWrite &w = *m_window;
        unknownCommandIsNotedBeforeItsFrame();
        m_user->answerOpen(path("image.icf"));
        w.ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02 FD"));
        w.ProcessCommand(bytes("FE FE EE EF E3 5A 17 00 02 FD"));
        QCOMPARE(w.ProgressBar1->value(), 0);  // the first record is not counted
        for (int i = 0; i < 99; ++i)
            w.ProcessCommand(kRecord);
        QCOMPARE(w.ProgressBar1->value(), 99);
        w.ProcessCommand(kRecord);  // the hundred-and-first record goes out
        QCOMPARE(w.ProgressBar1->value(), 0);
        w.ProcessCommand(kRecord);  // file exhausted: EndOfData
        w.ProcessCommand(bytes("FE FE EF EE E6 00 17 FD"));
        QCOMPARE(m_user->messages(), QStringList{kSuccess});
    }

private:
    // Either way, a frame of no known command is noted just before the frame's own line.
    void unknownCommandIsNotedBeforeItsFrame()
    {
        m_window->ProcessCommand(bytes("FE FE EF EE 07 FD"));
        QCOMPARE(m_window->txtDataReceived->toPlainText(),
                 QStringLiteral(" Unknown Command FE FE EF EE 07 FD \n"));
        QVERIFY(m_user->shown().isEmpty());
    }
};

QTEST_MAIN(TransferTest)
#include "test_transfer.moc"
