// Faults on the line and on the disk, over the virtual radio on a pseudo-terminal: whatever
// happens, the transfer ends with the port closed, the time-outs stopped and the buttons back,
// an earlier file of the chosen name stays byte for byte, and no temporary file is left.

#include "serial/portnamespace.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/transferfixture.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QtTest>

namespace {
const QString kNoResponse = QStringLiteral("No response from radio.");
const QString kBadChecksum = QStringLiteral("Invalid Checksum - Data corrupted in transmission");
const QString kCorrupted = QStringLiteral("Data corrupted in transmission");
const QString kShortNote = QStringLiteral(" Bad Command : ");  // a piece too short, or too long
const QString kUnknownNote = QStringLiteral(" Unknown Command ");

// A record's hex text starts this far into its frame (after FE FE EF EE E4).
constexpr int kText = 5;

// An earlier backup of another image: what a failed read must leave alone.
QByteArray earlierBackup()
{
    VirtualRadioOptions o = radioWith(3, 16, 0x0400);
    o.comment = "an older backup!";
    return icfOf(o);
}
}  // namespace

class FaultTest : public TransferFixture {
    Q_OBJECT
private slots:
    void init() { setUpFixture(); }
    void cleanup() { tearDownFixture(); }

    void lineGoingDeadEndsTheTransferAndSpoilsNoLaterRead_data()
    {
        QTest::addColumn<bool>("writing");
        QTest::addColumn<int>("closeAfter");   // records before the cable is pulled
        QTest::addColumn<int>("silentAfter");  // records before the radio stops answering
        QTest::addColumn<bool>("cutRecord");   // the last record stops after ten hex digits
        QTest::addColumn<int>("replyGapMs");   // the model reply's second half comes this late
        QTest::addColumn<QString>("message");
        // A read learns of a dead line only from the radio's silence; a write from its own frame
        // not coming back.
        QTest::newRow("cable pulled before the first record of a read")
            << false << 0 << -1 << false << -1 << kNoResponse;
        QTest::newRow("cable pulled in the middle of a record")
            << false << 5 << -1 << true << -1 << kNoResponse;
        QTest::newRow("radio silent before the first record of a read")
            << false << -1 << 0 << false << -1 << kNoResponse;
        QTest::newRow("radio silent in the middle of a record")
            << false << -1 << 5 << true << -1 << kNoResponse;
        QTest::newRow("model reply cut in half")
            << false << -1 << -1 << false << 3000 << kNoResponse;
        QTest::newRow("cable pulled as a write begins")
            << true << 0 << -1 << false << -1
            << QStringLiteral("Unable to locate interface cable.");
        QTest::newRow("radio silent after 5 records of a write")
            << true << -1 << 5 << false << -1 << kNoResponse;
    }
    void lineGoingDeadEndsTheTransferAndSpoilsNoLaterRead()
    {
        QFETCH(bool, writing);
        QFETCH(int, closeAfter);
        QFETCH(int, silentAfter);
        QFETCH(bool, cutRecord);
        QFETCH(int, replyGapMs);
        QFETCH(QString, message);
        VirtualRadioOptions o = radioWith(12);
        o.closeAfterRecords = closeAfter;
        o.silentAfterRecords = silentAfter;
        o.modelReplyGap = std::chrono::milliseconds(replyGapMs);
        if (cutRecord) {
            o.injectAtRecord = 5;
            o.injectOffset = kText + 10;
            o.injectReplaces = 1000;
        }
        // A read goes over an earlier backup; a write reads an image that must stay as it is.
        const QByteArray before = writing ? icfOf(o) : earlierBackup();
        QVERIFY(writeFile(path("image.icf"), before));
        connect(o);
        transfer(writing, path("image.icf"));

        QCOMPARE(m_user->messages(), QStringList{message});
        QVERIFY(!m_portOpenAtMessage);
        QCOMPARE(m_radio->cablePulled(), closeAfter >= 0);
        const int cutAt = closeAfter >= 0 ? closeAfter : silentAfter;
        if (writing && closeAfter >= 0)
            QCOMPARE(m_radio->recordsReceived(), cutAt);
        else if (!writing && replyGapMs < 0)
            QCOMPARE(m_radio->recordsSent(), cutAt);
        QCOMPARE(m_radio->readsFinished() + m_radio->writesFinished(), 0);
        QCOMPARE(fileBytes(path("image.icf")), before);
        QCOMPARE(filesIn(m_dir->path()), QStringList{"image.icf"});
        if (writing)
            return;

        // The user tries again, in the same window, with a radio that works: nothing the dead
        // line left half received may spoil it.
        const VirtualRadioOptions working = radioWith(12);
        m_radio = std::make_unique<VirtualRadio>(working);
        QVERIFY(m_radio->publishAs(*m_ports, 1));
        pinPortNames({{1, m_radio->devicePath()}});  // plugged in where the dead one was
        m_user->clear();
        transfer(false, path("image.icf"));
        QVERIFY2(m_user->messages().isEmpty(), qPrintable(m_user->messages().join(" | ")));
        QCOMPARE(fileBytes(path("image.icf")), icfOf(working));
    }
    void noiseInARecordNeverReachesTheFile_data()
    {
        QTest::addColumn<int>("recordSize");  // records of one byte start at 00FC, others at 0100
        QTest::addColumn<int>("atRecord");
        QTest::addColumn<int>("offset");    // into the record's frame
        QTest::addColumn<int>("replaces");  // bytes of the frame the injected ones stand in for
        QTest::addColumn<QByteArray>("injected");
        QTest::addColumn<QString>("message");  // empty: nothing was lost, the read succeeds
        QTest::addColumn<QString>("logged");   // a note the conversation log must hold, if any
        const QByteArray fd("\xFD", 1);
        const QString none;
        QTest::newRow("burst with FD inside the hex text")
            << 32 << 7 << kText + 20 << 0 << QByteArray("\x00\xFF\xFD\x1A\xFD\x7F", 6)
            << kBadChecksum << none;
        QTest::newRow("burst with FD inside the frame head")
            << 32 << 7 << 2 << 0 << QByteArray("\x11\xFD\x22", 3) << kCorrupted << kShortNote;
        QTest::newRow("burst ending in FD between two records is harmless")
            << 32 << 7 << 0 << 0 << QByteArray("\x13\xFD", 2) << none << kShortNote;
        QTest::newRow("FD in place of a hex digit")
            << 32 << 7 << kText + 10 << 1 << fd << kBadChecksum << none;
        QTest::newRow("FD added after an odd number of hex digits")
            << 32 << 12 << kText + 9 << 0 << fd << kBadChecksum << none;
        // Record 4 of one-byte records from 00FC is 00FF 01 xx cc: its head 00 FF 01 sums to
        // zero, so the piece before an FD there passes the checksum, and the three characters
        // after it are too short to be taken for a frame.
        QTest::newRow("FD behind a record head that sums to zero")
            << 1 << 4 << kText + 6 << 1 << fd << kBadChecksum << none;
        QTest::newRow("2,000 bytes of 00 between two records")
            << 32 << 9 << 0 << 0 << QByteArray(2000, '\0') << kCorrupted << kUnknownNote;
        // Zero bytes add nothing to the sum: only the count says the record is too long.
        QTest::newRow("2,000 zero digits inside the hex text")
            << 32 << 9 << kText + 6 << 0 << QByteArray(2000, '0') << kBadChecksum << none;
        QTest::newRow("5,000 bytes of 00, more than a frame may hold")
            << 32 << 9 << 0 << 0 << QByteArray(5000, '\0') << kCorrupted << kShortNote;
    }
    void noiseInARecordNeverReachesTheFile()
    {
        QFETCH(int, recordSize);
        QFETCH(int, atRecord);
        QFETCH(int, offset);
        QFETCH(int, replaces);
        QFETCH(QByteArray, injected);
        QFETCH(QString, message);
        QFETCH(QString, logged);
        VirtualRadioOptions o = radioWith(20, recordSize, recordSize == 1 ? 0x00FC : 0x0100);
        o.injectAtRecord = atRecord;
        o.injectOffset = offset;
        o.injectReplaces = replaces;
        o.injectBytes = injected;
        const QByteArray backup = earlierBackup();
        QVERIFY(writeFile(path("backup.icf"), backup));
        connect(o);
        transfer(false, path("backup.icf"));

        // The file first: a backup replaced by a damaged image is the worst outcome. The records
        // that came with a bad one restart no time-out (the idle window has both stopped).
        QCOMPARE(fileBytes(path("backup.icf")), message.isEmpty() ? icfOf(o) : backup);
        QCOMPARE(m_user->messages(), message.isEmpty() ? QStringList() : QStringList{message});
        QVERIFY(!m_portOpenAtMessage);
        QCOMPARE(m_radio->readsFinished(), message.isEmpty() ? 1 : 0);
        QCOMPARE(filesIn(m_dir->path()), QStringList{"backup.icf"});
        QVERIFY(m_rig->log.contains(logged));
    }
    void diskFillingMidReadKeepsTheOldFile()
    {
        // 1,000 records of 64 bytes make a file of about 136 KiB, twice what may be written.
        constexpr int kLimit = 64 * 1024;
        const VirtualRadioOptions o = radioWith(1000, 64);
        const QByteArray backup = earlierBackup();
        QVERIFY(writeFile(path("backup.icf"), backup));
        connect(o);
        {
            FileSizeLimit limit(kLimit);
            QVERIFY(limit.set());
            transfer(false, path("backup.icf"));
        }
        QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Unable to write to output file")});
        QVERIFY(!m_portOpenAtMessage);
        QCOMPARE(m_radio->readsFinished(), 0);
        QVERIFY(m_radio->recordsSent() > 0);
        QCOMPARE(fileBytes(path("backup.icf")), backup);
        QCOMPARE(filesIn(m_dir->path()), QStringList{"backup.icf"});
    }
    void fileCutDuringAWriteIsNeverReportedWritten_data()
    {
        QTest::addColumn<int>("into");  // bytes of line 203 left after the cut
        QTest::newRow("cut at a line end") << 0;
        QTest::newRow("cut inside a line") << 100;
    }
    void fileCutDuringAWriteIsNeverReportedWritten()
    {
        // 250 records of 255 bytes, 518 bytes a line: the reader holds only the first 126 or so
        // lines when the file is cut behind the 200th record, once 10 records are out.
        QFETCH(int, into);
        VirtualRadioOptions o = radioWith(250, 255, 0);
        const QByteArray image = icfOf(o);
        QVERIFY(writeFile(path("image.icf"), image));
        const qint64 cut = image.indexOf('\n', 10) + 1 + 200 * 518 + into;
        o.memory.clear();
        connect(o);
        int records = 0;
        QObject::connect(m_radio.get(), &VirtualRadio::frameFromTool, m_radio.get(),
                         [&](const QByteArray &f) {
                             if (f.at(4) == char(0xE4) && ++records == 10)
                                 QVERIFY(QFile::resize(path("image.icf"), cut));
                         });
        transfer(true, path("image.icf"));
        QCOMPARE(m_user->messages(),
                 QStringList{QStringLiteral("Input file is damaged at line 203")});
        QVERIFY(!m_portOpenAtMessage);
        QCOMPARE(m_radio->recordsReceived(), 200);
        QCOMPARE(m_radio->writesFinished(), 0);  // no EndOfData reached it
    }
};

QTEST_MAIN(FaultTest)
#include "test_faults.moc"
