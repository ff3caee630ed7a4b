// The memory-image files: the ICF format rules, the image-file object on real files, and the
// file dialogs (scripted, and once through Qt's real dialog under the offscreen platform).

#include "app/misc.h"
#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "image/icfformat.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/scriptedseam.h"

#include <QPushButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Check = clsICOMFiles::DataCheck;

// The stored form written out by hand, digit by digit: "0".."9" -> "g".."p", "A".."F" -> "x".."}".
QByteArray storedByTable(const QByteArray &dataLine)
{
    QByteArray stored;
    for (char c : dataLine)
        stored += "ghijklmnopxyz{|}"[QByteArray("0123456789ABCDEF").indexOf(c)];
    return stored;
}

QByteArray hexByte(int value) { return QByteArray::number(value, 16).toUpper().rightJustified(2, '0'); }

const QByteArray kModelLine = "2A5F0101";
const QByteArray kCommentLine = "#IC-TEST 0123456";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Everything in the folder, hidden files included: a temporary file left behind shows here.
QStringList folderEntries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// A whole ICF file as the tool writes it: header lines, then the stored data lines.
QByteArray icfFile(const QList<QByteArray> &dataLines)
{
    QByteArray bytes = kModelLine + "\r\n" + kCommentLine + "\r\n";
    for (const QByteArray &line : dataLines)
        bytes += storedByTable(line) + "\r\n";
    return bytes;
}

// An old backup that must survive every failed read: larger than any image written here.
QByteArray oldBackup() { return icfFile({"0000040102030400"}) + QByteArray(8000, 'Z'); }


enum FailedEnd { CloseWithoutCommit, DestroyWithoutCommit, LineWriteFails, CommitAfterFailedWrite, CommitFails };

} // namespace

class TestImage : public QObject {
    Q_OBJECT

private slots:
    void init() { SetAppTitle(QStringLiteral("Replix ICOM Radio")); }

    // ---- The format, on text alone ----

    void theWorkedExampleOfTheFormatHolds()
    {
        QCOMPARE(CheckChars("0120040A1B2C3D"), QByteArray("4D"));
        QCOMPARE(clsICOMFiles().CheckChars("0120040A1B2C3D"), QByteArray("4D"));
        QByteArray line = "  0120040A1B2C3D ";  // spaces around are trimmed
        QVERIFY(EncodeICFLine(line));
        QCOMPARE(line, QByteArray("ghiggkgxhyizj{"));
        QVERIFY(DecodeICFLine(line));
        QCOMPARE(line, QByteArray("0120040A1B2C3D"));
        QByteArray high = "00\xc9";  // 201 + 55 > 255: no stored form, refused and left alone
        QVERIFY(!EncodeICFLine(high));
        QCOMPARE(high, QByteArray("00\xc9"));
    }

    // Every digit in address, count and data fields, and every byte value's checksum, worked
    // by hand: the sum is b + b + 01 + b.
    void everyDigitAndByteValueRoundTripsWithItsChecksum()
    {
        for (int b = 0; b < 256; ++b) {
            const QByteArray dataLine = hexByte(b) + hexByte(b) + "01" + hexByte(b);
            QByteArray line = dataLine;
            QVERIFY(EncodeICFLine(line));
            QCOMPARE(line, storedByTable(dataLine));
            QVERIFY(DecodeICFLine(line));
            QCOMPARE(line, dataLine);
            const QByteArray sum = hexByte((256 - (3 * b + 1) % 256) % 256);
            QVERIFY2(CheckChars(dataLine) == sum, dataLine.constData());
        }
    }

    // dataLine empty: the stored line is rejected and left as it was.
    void decodeAcceptsOnlyWhatTheToolStores_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QByteArray>("dataLine");
        const QByteArray good = "ghiggkgxhyizj{";  // the worked example
        QTest::newRow("count 00, no data") << QByteArray("gggggg") << QByteArray("000000");
        QTest::newRow("516 characters, count FF") << "||||}}" + QByteArray(510, '}')
                                                  << "EEEEFF" + QByteArray(510, 'F');
        QTest::newRow("f, below g") << "f" + good.mid(1) << QByteArray();
        QTest::newRow("q, between p and x") << good.chopped(1) + "q" << QByteArray();
        QTest::newRow("w, just below x") << good.chopped(1) + "w" << QByteArray();
        QTest::newRow("tilde, above }") << good.chopped(1) + "~" << QByteArray();
        QTest::newRow("byte FF") << good.chopped(1) + "\xff" << QByteArray();
        QTest::newRow("one data character short") << good.chopped(1) << QByteArray();
        QTest::newRow("one data character long") << good + "g" << QByteArray();
        QTest::newRow("space inside") << QByteArray("ghiggk gxhyizj{") << QByteArray();
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("five characters") << QByteArray("ggggg") << QByteArray();
        QTest::newRow("517 characters, count FF") << "gggg}}" + QByteArray(511, 'g') << QByteArray();
        QTest::newRow("518 characters, count FF") << "gggg}}" + QByteArray(512, 'g') << QByteArray();
    }
    void decodeAcceptsOnlyWhatTheToolStores()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QByteArray, dataLine);
        QByteArray line = stored;
        QCOMPARE(DecodeICFLine(line), !dataLine.isEmpty());
        QCOMPARE(line, dataLine.isEmpty() ? stored : dataLine);
    }

    // A record stretched or cut by noise whose bytes sum to nothing passes its checksum; the
    // count check (on the record without its checksum) catches it.
    void recordsAreCheckedBySumAndByCount_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<bool>("sumValid");
        QTest::addColumn<bool>("whole");
        QTest::newRow("worked example") << QByteArray("0120040A1B2C3D4D") << true << true;
        QTest::newRow("no data bytes") << QByteArray("012000DF") << true << true;
        QTest::newRow("count FF, 255 bytes") << "0000FF" + QByteArray(510, '0') + "01" << true << true;
        QTest::newRow("one data byte short") << QByteArray("0120040A1B2C8A") << true << false;
        QTest::newRow("one zero byte over") << QByteArray("0120040A1B2C3D004D") << true << false;
        QTest::newRow("address only") << QByteArray("00FF01") << true << false;
        QTest::newRow("checksum 00: all zero") << QByteArray("00000000") << true << true;
        QTest::newRow("checksum 00: sum 200 wraps") << QByteArray("000002FFFF00") << true << true;
        QTest::newRow("checksum FF: sum 1") << QByteArray("000001FF") << true << false;
        QTest::newRow("checksum FF: sum 101") << QByteArray("FF000101FF") << true << true;
        QTest::newRow("shortest") << QByteArray("0000") << true << false;
        QTest::newRow("checksum one low") << QByteArray("0120040A1B2C3D4C") << false << true;
        QTest::newRow("checksum one high") << QByteArray("0120040A1B2C3D4E") << false << true;
        QTest::newRow("empty") << QByteArray() << false << false;
        QTest::newRow("checksum of nothing") << QByteArray("00") << false << false;
        QTest::newRow("odd length") << QByteArray("0120040A1B2C3D4D0") << false << false;
        QTest::newRow("lower-case, sum would match") << QByteArray("0120040a1b2c3d4d") << false << true;
        QTest::newRow("G is no hex digit") << QByteArray("0G00") << false << false;
    }
    void recordsAreCheckedBySumAndByCount()
    {
        QFETCH(QByteArray, record);
        QFETCH(bool, sumValid);
        QFETCH(bool, whole);
        QCOMPARE(ValidCheckSum(record), sumValid);
        if (sumValid)
            QCOMPARE(CheckChars(record.chopped(2)), record.right(2));
        QCOMPARE(clsICOMFiles().ValidCheckSum(record), sumValid);
        QCOMPARE(ValidRecordLine(record.chopped(qMin(record.size(), qsizetype(2)))), whole);
    }

    void validModelAsksOnlyForAnotherVersionOfTheSameModel_data()
    {
        QTest::addColumn<QByteArray>("fileModel");
        QTest::addColumn<QByteArray>("radioModel");
        QTest::addColumn<bool>("answerOk");
        QTest::addColumn<bool>("asks");
        QTest::addColumn<bool>("valid");
        QTest::newRow("same model and version") << QByteArray("2A5F0101") << QByteArray("2A5F0101") << false << false << true;
        QTest::newRow("other version, OK") << QByteArray("2A5F0101") << QByteArray("2A5F0202") << true << true << true;
        QTest::newRow("other version, Cancel") << QByteArray("2A5F0101") << QByteArray("2A5F0202") << false << true << false;
        QTest::newRow("other model") << QByteArray("2A600101") << QByteArray("2A5F0101") << true << false << false;
        QTest::newRow("model differs in case") << QByteArray("2a5f0101") << QByteArray("2A5F0101") << true << false << false;
        QTest::newRow("file model of seven") << QByteArray("2A5F010") << QByteArray("2A5F0101") << true << false << false;
    }
    void validModelAsksOnlyForAnotherVersionOfTheSameModel()
    {
        QFETCH(QByteArray, fileModel);
        QFETCH(QByteArray, radioModel);
        QFETCH(bool, answerOk);
        QFETCH(bool, asks);
        QFETCH(bool, valid);
        ScriptedSeam user;
        user.answerQuestions({answerOk});
        QCOMPARE(clsICOMFiles().ValidModel(fileModel, radioModel), valid);
        QCOMPARE(user.messages(), asks ? QStringList{"Disk File is for a different version of this radio"}
                                       : QStringList{});
    }

    // ---- The image-file object on real files ----

    void filesWithoutTwoHeaderLinesDoNotOpen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << QStringLiteral("missing.icf");
        QTest::newRow("a folder") << QString();
        QTest::newRow("empty") << QStringLiteral("empty.icf");
        QTest::newRow("one line") << QStringLiteral("one.icf");
        QTest::newRow("a device that never ends") << QStringLiteral("/dev/zero");
    }
    void filesWithoutTwoHeaderLinesDoNotOpen()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("empty.icf"), {}));
        QVERIFY(writeFile(dir.filePath("one.icf"), kModelLine + "\r\n"));
        QVERIFY(writeFile(dir.filePath("good.icf"), icfFile({"0120040A1B2C3D"})));
        clsICOMFiles files;
        QVERIFY(!files.OpenICFFileForRead(dir.filePath(name)));
        QCOMPARE(files.CheckICFData().outcome, Check::NoData);
        files.CloseCurrentFile();  // then the object takes a good file
        QVERIFY(files.OpenICFFileForRead(dir.filePath("good.icf")));
    }

    void linesEndAtCrLfOrALoneCr_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<QByteArray>>("lines");
        const QByteArray x(65532, 'x');  // the reader's buffer is 64 KiB: line ends at its edge
        QTest::newRow("header only") << QByteArray("A\r\nB\r\n") << QList<QByteArray>{"A", "B"};
        QTest::newRow("CR LF") << QByteArray("A\r\nB\r\nC\r\n") << QList<QByteArray>{"A", "B", "C"};
        QTest::newRow("CR only") << QByteArray("A\rB\rC\r") << QList<QByteArray>{"A", "B", "C"};
        QTest::newRow("mixed") << QByteArray("A\rB\r\nC\r") << QList<QByteArray>{"A", "B", "C"};
        QTest::newRow("lone LF is a byte") << QByteArray("A\nB\r\n\nC\r\n") << QList<QByteArray>{"A\nB", "\nC"};
        QTest::newRow("CR CR is an empty line") << QByteArray("A\r\rB\r\n") << QList<QByteArray>{"A", "", "B"};
        QTest::newRow("no line end at the end") << QByteArray("A\r\nB") << QList<QByteArray>{"A", "B"};
        QTest::newRow("CR LF across the buffer edge") << "A\r\n" + x + "\r\nB\r\n" << QList<QByteArray>{"A", x, "B"};
        QTest::newRow("lone CR at the buffer edge") << "A\r\n" + x + "\rB\r\n" << QList<QByteArray>{"A", x, "B"};
    }
    void linesEndAtCrLfOrALoneCr()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<QByteArray>, lines);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("lines.icf"), bytes));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead("  " + dir.filePath("lines.icf") + " "));  // trimmed
        QList<QByteArray> read{files.RadioModel(), files.CommentLine()};
        QByteArray line;
        while (files.GetNextLineFromDisk(line))
            read << line;
        QCOMPARE(read, lines);
    }

    void aSecondOpenLeavesTheFirstFileWhereItWas()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("a.icf"), icfFile({"000000", "000101AA"})));
        QVERIFY(writeFile(dir.filePath("b.icf"), "FFFFFFFF\r\n#other\r\n"));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(dir.filePath("a.icf")));
        QByteArray line;
        QVERIFY(files.GetNextICFLineFromDisk(line));
        QVERIFY(!files.OpenICFFileForRead(dir.filePath("b.icf")));
        QCOMPARE(files.RadioModel(), kModelLine);
        QVERIFY(files.GetNextICFLineFromDisk(line));
        QCOMPARE(line, QByteArray("000101AA"));
    }

    void theWholeFileCheckFindsTheFirstBadLineAndRewinds_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("badLine");
        const QByteArray a = storedByTable("0000020102");
        const QByteArray b = storedByTable("000202AABB");
        const QByteArray head = icfFile({});
        QTest::newRow("sound") << head + a + "\r\n" + b + "\r\n" + a + "\r\n" << int(Check::Sound) << 0;
        QTest::newRow("CR only") << head + a + "\r" + b + "\r" << int(Check::Sound) << 0;
        QTest::newRow("last line without line end") << head + a + "\r\n" + b << int(Check::Sound) << 0;
        QTest::newRow("header only") << head << int(Check::NoData) << 0;
        QTest::newRow("first data line bad") << head + "q\r\n" + a + "\r\n" << int(Check::Damaged) << 3;
        QTest::newRow("fifth line bad") << head + a + "\r\n" + b + "\r\n" + b.chopped(1) + "\r\n" + a + "\r\n" << int(Check::Damaged) << 5;
        QTest::newRow("empty line in the middle") << head + a + "\r\n\r\n" + b + "\r\n" << int(Check::Damaged) << 4;
        QTest::newRow("empty lines at the end") << head + a + "\r\n\r\n\r" << int(Check::Sound) << 0;
        QTest::newRow("stray LF at the end") << head + a + "\r\n\n" << int(Check::Damaged) << 4;
        QTest::newRow("last line cut short") << head + a + "\r\n" + b.chopped(3) << int(Check::Damaged) << 4;
        QTest::newRow("over-long line") << head + a + "\r\n" + QByteArray(100000, 'g') + "\r\n" << int(Check::Damaged) << 4;
    }
    void theWholeFileCheckFindsTheFirstBadLineAndRewinds()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, outcome);
        QFETCH(int, badLine);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("check.icf"), bytes));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(dir.filePath("check.icf")));
        QByteArray first, line;
        const bool hasFirst = files.GetNextLineFromDisk(first);
        files.GetNextLineFromDisk(line);  // leave the position somewhere in the middle
        for (int round = 0; round < 2; ++round) {  // the check can be repeated
            const Check check = files.CheckICFData();
            QCOMPARE(int(check.outcome), outcome);
            QCOMPARE(check.line, badLine);
        }
        QCOMPARE(files.GetNextLineFromDisk(line), hasFirst);  // again at the first data line
        QCOMPARE(line, first);
    }

    // Until the commit the chosen name is untouched (or absent); after it, it holds the new
    // image only, with the comment line byte for byte, and no temporary file is left.
    void theCommittedImageReplacesTheOldFileByteForByte_data()
    {
        QTest::addColumn<bool>("oldFile");
        QTest::newRow("new file") << false;
        QTest::newRow("a larger file replaced") << true;
    }
    void theCommittedImageReplacesTheOldFileByteForByte()
    {
        QFETCH(bool, oldFile);
        QTemporaryDir dir;
        const QString path = dir.filePath("radio.icf");
        QVERIFY(!oldFile || writeFile(path, oldBackup()));
        // Every byte value but CR (a line end on reading), with 00, 1A, 80 and FF up front.
        QByteArray comment = QByteArray("#\x00\x1a\x80\xff", 5);
        for (int b = 0; b < 256; ++b)
            comment += b == '\r' ? QByteArray() : QByteArray(1, char(b));
        ScriptedSeam user;
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForWrite(path));
        QVERIFY(files.WriteALineToDisk(kModelLine));
        QVERIFY(files.WriteALineToDisk(comment));
        QVERIFY(!files.WriteALineToDisk(QByteArray(32766, 'b')));  // too long: not written
        QVERIFY(files.WriteICFDataToDisk(" 0120040A1B2C3D "));
        QCOMPARE(readFile(path), oldFile ? oldBackup() : QByteArray("<unreadable>"));
        QVERIFY(files.CommitOutputFile());
        QCOMPARE(readFile(path), kModelLine + "\r\n" + comment + "\r\nghiggkgxhyizj{\r\n");
        QCOMPARE(folderEntries(dir.path()), QStringList{"radio.icf"});
        QVERIFY(QFileInfo(path).permissions() & QFileDevice::ReadOther);
        QVERIFY(files.OpenICFFileForRead(path));
        QCOMPARE(files.CommentLine(), comment);
        QVERIFY(user.shown().isEmpty());
    }

    void everyFailedReadLeavesTheOldFileAsItWas_data()
    {
        QTest::addColumn<int>("end");
        QTest::newRow("closed without commit") << int(CloseWithoutCommit);
        QTest::newRow("object released without commit") << int(DestroyWithoutCommit);
        QTest::newRow("a line write fails, then closed") << int(LineWriteFails);
        QTest::newRow("a line write fails, then commit tried") << int(CommitAfterFailedWrite);
        QTest::newRow("the commit fails: folder gone") << int(CommitFails);
    }
    void everyFailedReadLeavesTheOldFileAsItWas()
    {
        QFETCH(int, end);
        QTemporaryDir dir;
        const QString folder = dir.filePath("images"), path = folder + "/radio.icf";
        QVERIFY(QDir().mkpath(folder) && writeFile(path, oldBackup()));
        ScriptedSeam user;
        user.answerQuestions({true});
        auto files = std::make_unique<clsICOMFiles>();
        QVERIFY(files->OpenICFFileForWrite(path));
        const QByteArray record = "000020" + QByteArray(64, '5');  // 72 bytes a line with CR LF
        if (end == LineWriteFails || end == CommitAfterFailedWrite) {
            {
                FileSizeLimit limit(4096);
                QVERIFY(limit.set());
                for (int i = 0; i < 56; ++i)  // 56 * 72 = 4032 bytes fit
                    QVERIFY(files->WriteICFDataToDisk(record));
                QVERIFY(!files->WriteICFDataToDisk(record));  // seen at that line
            }
            QVERIFY(!files->WriteICFDataToDisk(record));  // space again, but the image is broken
        } else {
            for (int i = 0; i < 100; ++i)
                QVERIFY(files->WriteICFDataToDisk(record));
        }
        if (end == CommitFails)
            QVERIFY(QDir(folder).removeRecursively());
        if (end == CommitAfterFailedWrite || end == CommitFails) {
            QVERIFY(!files->CommitOutputFile());
            QCOMPARE(user.shown().size(), 1);
            QCOMPARE(user.shown().first().title, QStringLiteral("Replix ICOM Radio Error"));
            QVERIFY(user.shown().first().text.startsWith("CloseFile("));
            QVERIFY(!files->outputOpen());
        } else {
            QVERIFY(user.shown().isEmpty());
        }
        if (end == DestroyWithoutCommit)
            files.reset();
        else
            files->CloseCurrentFile();
        QCOMPARE(folderEntries(dir.path()), end == CommitFails ? QStringList{} : QStringList{"images"});
        if (end != CommitFails) {
            QCOMPARE(readFile(path), oldBackup());
            QCOMPARE(folderEntries(folder), QStringList{"radio.icf"});
        }
    }

    void aFolderThatCannotTakeTheOutputIsReportedAndKeepsItsFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("folder does not exist") << QStringLiteral("no such folder/radio.icf") << false;
        QTest::newRow("/proc, which no one can write") << QStringLiteral("/proc/replix-test.icf") << false;
        QTest::newRow("read-only folder with a file") << QStringLiteral("radio.icf") << true;
    }
    void aFolderThatCannotTakeTheOutputIsReportedAndKeepsItsFile()
    {
        QFETCH(QString, name);
        QFETCH(bool, readOnly);
        if (readOnly && ::geteuid() == 0)
            QSKIP("running as root: folder permissions do not stop root");
        QTemporaryDir dir;
        const QString path = QDir(dir.path()).filePath(name);  // an absolute name stays as it is
        QVERIFY(!readOnly || writeFile(path, oldBackup()));
        if (readOnly)
            QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        ScriptedSeam user;
        user.answerQuestions({true});
        clsICOMFiles files;
        const bool opened = files.OpenICFFileForWrite(path);
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(!opened);
        QCOMPARE(user.messages(), QStringList{"Unable to Open Output File"});
        QCOMPARE(user.shown().first().title, QStringLiteral("Replix ICOM Radio Error"));
        QVERIFY(!files.WriteALineToDisk(kModelLine));
        QCOMPARE(folderEntries(dir.path()), readOnly ? QStringList{"radio.icf"} : QStringList{});
        QCOMPARE(readFile(path), readOnly ? oldBackup() : QByteArray("<unreadable>"));
    }

    // ---- File dialogs ----

    // answer empty: the user cancels, and the path is emptied.
    void theDialogsAskForAnIcfFile_data()
    {
        QTest::addColumn<bool>("save");
        QTest::addColumn<QString>("answer");
        QTest::newRow("open") << false << QStringLiteral("/radios/ic-test.icf");
        QTest::newRow("open, cancelled") << false << QString();
        QTest::newRow("save") << true << QStringLiteral("/radios/new.icf");
        QTest::newRow("save, cancelled") << true << QString();
    }
    void theDialogsAskForAnIcfFile()
    {
        QFETCH(bool, save);
        QFETCH(QString, answer);
        ScriptedSeam user;
        save ? user.answerSave(answer) : user.answerOpen(answer);
        CommonDialog dialog;
        QString path = QStringLiteral("/radios/last.icf");
        QCOMPARE(save ? ShowSaveDialog(path, kIcfFilter, dialog) : ShowOpenDialog(path, kIcfFilter, dialog),
                 !answer.isEmpty());
        QCOMPARE(path, answer);
        QCOMPARE(user.shown().size(), 1);
        const FileDialogRequest &request = user.shown().first().request;
        QCOMPARE(request.title, QStringLiteral("Replix ICOM Radio   ") + (save ? "Save file" : "Open file"));
        QCOMPARE(request.fileName, save ? QStringLiteral("/radios/last.icf") : QString());
        QCOMPARE(request.filter, QStringLiteral("(*.icf) (*.icf)"));
        QCOMPARE(request.flags, 0x281806);
        if (save)
            QCOMPARE(request.defaultExt, QStringLiteral("icf"));
        QCOMPARE(user.unscripted(), 0);
    }

    // Qt's own dialog, through the seam's Qt implementation (offscreen, no native dialog): a
    // typed name gets ".icf", and replacing the file of that name is confirmed first.
    void theRealSaveDialogAddsIcfAndAsksBeforeReplacing()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("backup.icf"), oldBackup()));
        QString title, question;
        QTimer poll;  // acts on each modal widget as it comes up, and closes a stuck one
        QElapsedTimer clock;
        clock.start();
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                question = box->text();
                box->button(QMessageBox::Yes)->click();
            } else if (auto *fileDialog = qobject_cast<QFileDialog *>(modal); fileDialog && title.isEmpty()) {
                title = fileDialog->windowTitle();
                auto *edit = fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
                auto *buttons = fileDialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
                QVERIFY(edit && buttons);
                edit->selectAll();  // typed over: an emptied name would select the folder itself
                QTest::keyClicks(edit, QStringLiteral("backup"));
                QTimer::singleShot(0, buttons->button(QDialogButtonBox::Save), &QPushButton::click);
            } else if (modal && clock.elapsed() > 15000) {
                modal->close();
            }
        });
        poll.start(10);
        CommonDialog dialog;
        QString path = dir.filePath("offered.icf");
        QVERIFY(ShowSaveDialog(path, kIcfFilter, dialog));
        QCOMPARE(QFileInfo(path).absoluteFilePath(), QFileInfo(dir.filePath("backup.icf")).absoluteFilePath());
        QCOMPARE(title, QStringLiteral("Replix ICOM Radio   Save file"));
        QVERIFY2(question.contains(QStringLiteral("backup.icf")), qPrintable(question));
    }
};

QTEST_MAIN(TestImage)
#include "test_image.moc"
