// The memory-image files: the ICF format rules, the image-file object on real files, and the
// file dialogs as the scripted user sees them.

#include "app/misc.h"
#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "image/icfformat.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/scriptedseam.h"
#include "tests/support/transferfixture.h"

#include <QtTest>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Check = clsICOMFiles::DataCheck;

const QByteArray kModelLine = "2A5F0101";

// A whole ICF file as the tool writes it: header lines, then the stored data lines.
QByteArray icfFile(const QList<QByteArray> &storedLines)
{
    QByteArray bytes = kModelLine + "\r\n#IC-TEST 0123456\r\n";
    for (const QByteArray &line : storedLines)
        bytes += line + "\r\n";
    return bytes;
}

// An old backup that must survive every failed read: larger than any image written here.
QByteArray oldBackup()
{
    return icfFile({"gggggkghgigjgkgg"}) + QByteArray(8000, 'Z');
}

// The system's read and seek for one file, failing on demand as a failing disk or a pulled
// stick makes them fail: its reads from an offset on, its seeks after the first few.
struct FailingDisk {
    ino_t inode = 0;
    off_t readsFrom = -1;  // -1: reads never fail
    int seeksLeft = -1;    // seeks that still work; -1: all
} failing;

bool isFailingFile(int fd)
{
    struct stat s {};
    return failing.inode != 0 && ::fstat(fd, &s) == 0 && s.st_ino == failing.inode;
}

// While a name is watched, what each fsync made durable: a folder, or a file under a name
// that is not yet the watched one (its inode either way).
QByteArray watchedName;
QStringList synced;

QString inodeOf(const QString &name, const char *kind)
{
    struct stat s {};
    return ::stat(QFile::encodeName(name).constData(), &s) == 0 ? kind + QString::number(s.st_ino)
                                                                : QString();
}

enum End { Committed, CloseWithoutCommit, DestroyWithoutCommit, LineWriteFails, CommitFails };

}  // namespace

extern "C" ssize_t read(int fd, void *buffer, size_t size)
{
    if (failing.readsFrom >= 0 && isFailingFile(fd)
        && ::syscall(SYS_lseek, fd, 0, SEEK_CUR) >= failing.readsFrom)
        return errno = EIO, -1;
    return ::syscall(SYS_read, fd, buffer, size);
}

extern "C" int fsync(int fd)
{
    struct stat s {};
    struct stat named {};
    if (!watchedName.isEmpty() && ::fstat(fd, &s) == 0) {
        const bool inPlace =
            ::stat(watchedName.constData(), &named) == 0 && named.st_ino == s.st_ino;
        synced << (S_ISDIR(s.st_mode) ? "folder "
                   : inPlace          ? "file in place "
                                      : "file ")
                      + QString::number(s.st_ino);
    }
    return int(::syscall(SYS_fsync, fd));
}

extern "C" off64_t lseek64(int fd, off64_t offset, int whence) noexcept
{
    if (failing.seeksLeft >= 0 && isFailingFile(fd) && failing.seeksLeft-- == 0)
        return errno = EIO, -1;
    return ::syscall(SYS_lseek, fd, offset, whence);
}

extern "C" off_t lseek(int fd, off_t offset, int whence) noexcept
{
    return lseek64(fd, offset, whence);
}

class TestImage : public TransferFixture {
    Q_OBJECT

private slots:
    void init()
    {
        SetAppTitle(QStringLiteral("Replix ICOM Radio"));
        setUpFixture();
    }
    void cleanup() { tearDownFixture(); }

    // dataLine empty: the stored line is rejected and left as it was. A stored line that is
    // accepted is also what encoding its data line gives, spaces around it trimmed.
    void storedLinesAreDataLinesMovedUpBy55_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QByteArray>("dataLine");
        const QByteArray good = "ghiggkgxhyizj{";  // the worked example
        QTest::newRow("worked example") << good << QByteArray("0120040A1B2C3D");
        QTest::newRow("all sixteen digits")
            << QByteArray("klmngoghijklmnopxyz{|}") << QByteArray("4567080123456789ABCDEF");
        QTest::newRow("spaces around") << "  " + good + " " << QByteArray("0120040A1B2C3D");
        QTest::newRow("count 00, no data") << QByteArray("gggggg") << QByteArray("000000");
        QTest::newRow("516 characters, count FF")
            << "||||}}" + QByteArray(510, '}') << "EEEEFF" + QByteArray(510, 'F');
        QTest::newRow("f, below g") << "f" + good.mid(1) << QByteArray();
        QTest::newRow("q, between p and x") << good.chopped(1) + "q" << QByteArray();
        QTest::newRow("w, just below x") << good.chopped(1) + "w" << QByteArray();
        QTest::newRow("tilde, above }") << good.chopped(1) + "~" << QByteArray();
        QTest::newRow("byte FF") << good.chopped(1) + "\xff" << QByteArray();
        QTest::newRow("one data character short") << good.chopped(1) << QByteArray();
        QTest::newRow("one data character long") << good + "g" << QByteArray();
        QTest::newRow("space inside") << QByteArray("ghiggk gxhyizj{") << QByteArray();
        QTest::newRow("five characters") << QByteArray("ggggg") << QByteArray();
        QTest::newRow("517 characters, count FF")
            << "gggg}}" + QByteArray(511, 'g') << QByteArray();
    }
    void storedLinesAreDataLinesMovedUpBy55()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QByteArray, dataLine);
        QByteArray line = stored;
        QCOMPARE(DecodeICFLine(line), !dataLine.isEmpty());
        QCOMPARE(line, dataLine.isEmpty() ? stored : dataLine);
        if (!dataLine.isEmpty()) {
            QVERIFY(EncodeICFLine(line = " " + dataLine + "  "));
            QCOMPARE(line, stored.trimmed());
        }
    }

    // Checksums worked by hand. A record stretched or cut by noise whose bytes sum to nothing
    // passes its checksum; the count check (on the record without its checksum) catches it.
    void recordsAreCheckedBySumAndByCount_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<bool>("sumValid");
        QTest::addColumn<bool>("whole");
        QTest::newRow("worked example") << QByteArray("0120040A1B2C3D4D") << true << true;
        QTest::newRow("all sixteen digits, sum 474")
            << QByteArray("4567080123456789ABCDEF8C") << true << true;
        QTest::newRow("no data bytes") << QByteArray("012000DF") << true << true;
        QTest::newRow("count FF, 255 bytes")
            << "0000FF" + QByteArray(510, '0') + "01" << true << true;
        QTest::newRow("one data byte short") << QByteArray("0120040A1B2C8A") << true << false;
        QTest::newRow("one zero byte over") << QByteArray("0120040A1B2C3D004D") << true << false;
        QTest::newRow("address only") << QByteArray("00FF01") << true << false;
        QTest::newRow("checksum 00: sum 200 wraps") << QByteArray("000002FFFF00") << true << true;
        QTest::newRow("checksum FF: sum 101") << QByteArray("FF000101FF") << true << true;
        QTest::newRow("shortest") << QByteArray("0000") << true << false;
        QTest::newRow("checksum one high") << QByteArray("0120040A1B2C3D4E") << false << true;
        QTest::newRow("empty") << QByteArray() << false << false;
        QTest::newRow("checksum of nothing") << QByteArray("00") << false << false;
        QTest::newRow("odd length, sum would match") << QByteArray("00000") << false << false;
        QTest::newRow("lower-case, sum would match")
            << QByteArray("0120040a1b2c3d4d") << false << true;
        QTest::newRow("G is no hex digit") << QByteArray("0G00") << false << false;
    }
    void recordsAreCheckedBySumAndByCount()
    {
        QFETCH(QByteArray, record);
        QFETCH(bool, sumValid);
        const clsICOMFiles files;
        QCOMPARE(files.ValidCheckSum(record), sumValid);
        if (sumValid)
            QCOMPARE(files.CheckChars(record.chopped(2)), record.right(2));
        QTEST(ValidRecordLine(record.chopped(qMin(record.size(), qsizetype(2)))), "whole");
    }

    void validModelAsksOnlyForAnotherVersionOfTheSameModel_data()
    {
        QTest::addColumn<QByteArray>("fileModel");
        QTest::addColumn<QByteArray>("radioModel");
        QTest::addColumn<bool>("answerOk");
        QTest::addColumn<bool>("asks");
        QTest::addColumn<bool>("valid");
        QTest::newRow("same model and version")
            << QByteArray("2A5F0101") << QByteArray("2A5F0101") << false << false << true;
        QTest::newRow("other version, OK")
            << QByteArray("2A5F0101") << QByteArray("2A5F0202") << true << true << true;
        QTest::newRow("other version, Cancel")
            << QByteArray("2A5F0101") << QByteArray("2A5F0202") << false << true << false;
        QTest::newRow("other model")
            << QByteArray("2A600101") << QByteArray("2A5F0101") << true << false << false;
        QTest::newRow("model differs in case")
            << QByteArray("2a5f0101") << QByteArray("2A5F0101") << true << false << false;
        QTest::newRow("file model of seven")
            << QByteArray("2A5F010") << QByteArray("2A5F0101") << true << false << false;
    }
    void validModelAsksOnlyForAnotherVersionOfTheSameModel()
    {
        QFETCH(QByteArray, fileModel);
        QFETCH(QByteArray, radioModel);
        QFETCH(bool, answerOk);
        QFETCH(bool, asks);
        m_user->answerQuestions({answerOk});
        QTEST(clsICOMFiles().ValidModel(fileModel, radioModel), "valid");
        QCOMPARE(m_user->messages(),
                 asks ? QStringList{"Disk File is for a different version of this radio"}
                      : QStringList{});
    }

    // After a failed open and CloseCurrentFile the object takes a good file; a second open is
    // refused until that one is closed, and leaves it where it was.
    void onlyAFileWithTwoHeaderLinesOpensAndOnlyOneAtATime_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << QStringLiteral("missing.icf");
        QTest::newRow("a folder") << QString();
        QTest::newRow("empty") << QStringLiteral("empty.icf");
        QTest::newRow("one line") << QStringLiteral("one.icf");
        QTest::newRow("a pipe holding a whole image") << QStringLiteral("pipe");
    }
    void onlyAFileWithTwoHeaderLinesOpensAndOnlyOneAtATime()
    {
        QFETCH(QString, name);
        QVERIFY(writeFile(path("empty.icf"), {}));
        QVERIFY(writeFile(path("one.icf"), "FFFFFFFF\r\n"));
        const QByteArray good = icfFile({"gggggg", "ggghghxx"});
        QVERIFY(writeFile(path("good.icf"), good));
        int fds[2] = {-1, -1};  // a pipe (or a device) may never end and cannot be read twice
        if (name == "pipe" && ::pipe(fds) == 0
            && ::write(fds[1], good.data(), good.size()) == good.size())
            name = QStringLiteral("/dev/fd/%1").arg(fds[0]), ::close(fds[1]);
        clsICOMFiles files;
        QVERIFY(!files.OpenICFFileForRead(QDir(m_dir->path()).filePath(name)));
        ::close(fds[0]);
        QCOMPARE(files.CheckICFData().outcome, Check::NoData);
        files.CloseCurrentFile();
        QVERIFY(files.RadioModel().isEmpty() && files.CommentLine().isEmpty());
        QByteArray none = "x";
        QVERIFY(!files.GetNextLineFromDisk(none) && none.isEmpty());
        QVERIFY(files.OpenICFFileForRead(path("good.icf")));
        QByteArray line;
        QVERIFY(files.GetNextICFLineFromDisk(line));
        QVERIFY(!files.OpenICFFileForRead(path("one.icf")));
        QCOMPARE(files.RadioModel(), kModelLine);
        QVERIFY(files.GetNextICFLineFromDisk(line));
        QCOMPARE(line, QByteArray("000101AA"));
    }

    void linesEndAtCrLfOrALoneCrOrLf_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<QByteArray>>("lines");
        const QByteArray x(65532, 'x');  // the reader's buffer is 64 KiB: line ends at its edge
        QTest::newRow("CR LF") << QByteArray("A\r\nB\r\nC\r\n") << QList<QByteArray>{"A", "B", "C"};
        QTest::newRow("CR only") << QByteArray("A\rB\rC\r") << QList<QByteArray>{"A", "B", "C"};
        QTest::newRow("LF only and mixed")
            << QByteArray("A\nB\r\n\nC\n\rD") << QList<QByteArray>{"A", "B", "", "C", "", "D"};
        QTest::newRow("CR CR is an empty line")
            << QByteArray("A\r\rB\r\n") << QList<QByteArray>{"A", "", "B"};
        QTest::newRow("no line end at the end")
            << QByteArray("A\r\nB") << QList<QByteArray>{"A", "B"};
        QTest::newRow("CR LF across the buffer edge") << "A\r\n" + x + "\r\nB\r\n"
                                                      << QList<QByteArray>{"A", x, "B"};
        QTest::newRow("lone CR at the buffer edge") << "A\r\n" + x + "\rB\r\n"
                                                    << QList<QByteArray>{"A", x, "B"};
    }
    void linesEndAtCrLfOrALoneCrOrLf()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(writeFile(path("lines.icf"), bytes));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead("  " + path("lines.icf") + " "));  // trimmed
        QList<QByteArray> read{files.RadioModel(), files.CommentLine()};
        QByteArray line;
        while (files.GetNextLineFromDisk(line))
            read << line;
        QTEST(read, "lines");
    }

    void theWholeFileCheckFindsTheFirstBadLineAndRewinds_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("badLine");
        QTest::addColumn<QString>("reason");
        const QByteArray a = "gggggighgi";  // 0000020102
        const QByteArray b = "gggigixxyy";  // 000202AABB
        const QByteArray head = icfFile({});
        const QByteArray longHead = kModelLine + "\r\n#" + QByteArray(70000, 'c') + "\n";
        // A bad line, or none: the file is sound.
        const auto row = [](const char *name, const QByteArray &bytes, int badLine = 0,
                            const QString &reason = {}) {
            QTest::newRow(name) << bytes << int(badLine ? Check::Damaged : Check::Sound) << badLine
                                << reason;
        };
        row("sound", head + a + "\r\n" + b + "\r\n");
        row("LF only, comment longer than the buffer", longHead + a + "\n" + b + "\n");
        row("records out of order", head + b + "\r\n" + a + "\r\n", 4,
            "line 4: addresses 0x0000-0x0001 go back before those of line 3");
        row("last line without line end", head + a + "\r\n" + b);
        row("first data line bad", head + "  gq\r\n" + a + "\r\n", 3,
            "line 3, column 4: 'q' is not a hex digit");
        row("fifth line bad", head + a + "\r\n" + b + "\r\n" + "gggkgigg\x7Fg" + "\r\n", 5,
            "line 5, column 9: '\\x7F' is not a hex digit");
        row("empty line in the middle", head + a + "\r\n\r\n" + b + "\r\n", 4,
            "line 4: empty line between records");
        row("empty lines before the records", head + "\r\n\n" + a + "\r\n", 3,
            "line 3: empty line before the records");
        row("empty lines at the end, CR, LF", head + a + "\r\n\r\n\r\n");
        row("last line cut short", head + a + "\r\n" + b.chopped(3), 4,
            "line 4: record cut short (7 of 10 characters)");
        row("a count and no data", head + "gggghg\r\n", 3,
            "line 3: record cut short (6 of 38 characters)");  // 0x10 bytes wanted
        row("a line of five", head + "ggggg\r\n", 3,
            "line 3: record cut short (5 of at least 6 characters)");
        row("over-long line", head + a + "\r\n" + QByteArray(100000, 'g') + "\r\n", 4,
            "line 4: record too long (65536 of 6 characters)");
        row("a record repeated", head + a + "\r\n" + b + "\r\n" + a + "\r\n", 5,
            "line 5: addresses 0x0000-0x0001 overlap line 3");
        row("overlapping by one byte", head + b + "\r\n" + "ggghgizz{{\r\n", 4,
            "line 4: addresses 0x0001-0x0002 overlap line 3");
        row("a one-byte record on the last byte of one before", head + b + "\r\n" + "gggjghzz\r\n",
            4, "line 4: addresses 0x0003-0x0003 overlap line 3");
        row("a record over a one-byte record before it", head + "gggjghzz\r\n" + b + "\r\n", 4,
            "line 4: addresses 0x0002-0x0003 overlap line 3");
        row("past 0xFFFF", head + "}}}}gighgi\r\n", 3,
            "line 3: addresses 0xFFFF-0x10000 run past 0xFFFF");
        row("no data bytes, inside an earlier record", head + a + "\r\ngggggg\r\n");
        row("no data bytes, twice", head + "gggggg\r\ngggggg\r\n");
    }
    void theWholeFileCheckFindsTheFirstBadLineAndRewinds()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(writeFile(path("check.icf"), bytes));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(path("check.icf")));
        QByteArray first, line;
        const bool hasFirst = files.GetNextLineFromDisk(first);
        files.GetNextLineFromDisk(line);           // leave the position somewhere in the middle
        for (int round = 0; round < 2; ++round) {  // the check can be repeated
            const Check check = files.CheckICFData();
            QTEST(int(check.outcome), "outcome");
            QTEST(check.line, "badLine");
            QTEST(check.reason, "reason");
        }
        QCOMPARE(files.GetNextLineFromDisk(line), hasFirst);  // again at the first data line
        QCOMPARE(line, first);
        while (files.GetNextICFLineFromDisk(line)) {}
        QCOMPARE(line, QByteArray());  // nothing of a line that does not decode is given out
    }

    // A disk that fails while the file is read: the check names the line the failure struck and
    // never calls the file whole, the lines stop there with that line named, and once the disk
    // reads again, so does the file. A seek back to the records that fails, at the start of the
    // check or at its end, leaves a file that cannot be read from its first record.
    void aFileTheDiskStopsReadingIsNeverWhole()
    {
        const QByteArray bytes = icfOf(radioWith(1200));  // past one read of 64 KiB
        QVERIFY(writeFile(path("failing.icf"), bytes));
        struct stat s {};
        QVERIFY(::stat(QFile::encodeName(path("failing.icf")).constData(), &s) == 0);
        const auto healed = qScopeGuard([] { failing = {}; });
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(path("failing.icf")));
        failing = {s.st_ino, 65536, -1};
        // The failure strikes the line holding byte 65536, or the next (the reads count from
        // the first record, a line on).
        int struck = int(bytes.left(65536).count('\n')) + 1;
        const Check check = files.CheckICFData();
        const auto failed = [](int line) {
            return QStringLiteral("line %1: cannot be read").arg(line);
        };
        struck += check.reason == failed(struck + 1);
        QCOMPARE(int(check.outcome), int(Check::Damaged));
        QCOMPARE(check.reason, failed(struck));
        QByteArray line;
        int lines = 0;
        while (files.GetNextICFLineFromDisk(line))
            ++lines;
        QCOMPARE(lines, struck - 3);
        QCOMPARE(files.damagedLine(), struck);
        for (const int seeks : {-1, 0, 1}) {
            failing = {s.st_ino, -1, seeks};
            const Check again = files.CheckICFData();
            QCOMPARE(again.reason,
                     seeks < 0 ? QString() : QStringLiteral("line 3: cannot be read"));
        }
    }

    // A program started without standard input: the image's temporary file may get descriptor
    // 0, and is written and committed as any other.
    void aSaveOnDescriptorZeroIsASave()
    {
        const int input = ::dup(STDIN_FILENO);
        ::close(STDIN_FILENO);
        const auto back = qScopeGuard([input] { ::dup2(input, STDIN_FILENO), ::close(input); });
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForWrite(path("zero.icf")));
        QVERIFY(files.WriteALineToDisk(kModelLine) && files.CommitOutputFile());
        QCOMPARE(fileBytes(path("zero.icf")), kModelLine + "\r\n");
    }

    // Until the end the chosen name keeps its old file (or stays absent); a commit puts the new
    // image there byte for byte, any other end leaves the old file as it was. No temporary file
    // survives, and nothing is shown: the read that meets a failure tells the user.
    void theImageReplacesTheOldFileOnlyWhenCommitted_data()
    {
        QTest::addColumn<bool>("oldFile");
        QTest::addColumn<int>("end");
        QTest::newRow("committed as a new file") << false << int(Committed);
        QTest::newRow("committed over a larger file") << true << int(Committed);
        QTest::newRow("closed without commit") << true << int(CloseWithoutCommit);
        QTest::newRow("object released without commit") << true << int(DestroyWithoutCommit);
        QTest::newRow("disk full at a line, commit refused") << true << int(LineWriteFails);
        QTest::newRow("commit fails: a folder took the name") << true << int(CommitFails);
    }
    void theImageReplacesTheOldFileOnlyWhenCommitted()
    {
        QFETCH(bool, oldFile);
        QFETCH(int, end);
        const QString target = path("radio.icf");
        QVERIFY(!oldFile || writeFile(target, oldBackup()));
        // Every byte value but CR and LF (line ends on reading), with 00, 1A, 80 and FF up front.
        QByteArray comment = QByteArray("#\x00\x1a\x80\xff", 5);
        for (int b = 0; b < 256; ++b)
            comment += b == '\r' || b == '\n' ? QByteArray() : QByteArray(1, char(b));
        comment = comment.leftJustified(32765, 'c');  // the longest line that is written
        const QByteArray image = kModelLine + "\r\n" + comment + "\r\nghiggkgxhyizj{\r\n";
        auto files = std::make_unique<clsICOMFiles>();
        QVERIFY(files->OpenICFFileForWrite(target));
        QVERIFY(files->WriteALineToDisk(kModelLine) && files->WriteALineToDisk(comment));
        QVERIFY(!files->WriteALineToDisk(QByteArray(32766, 'b')));  // too long: not written
        QVERIFY(!files->WriteICFDataToDisk("00\xc9"));  // 201 + 55 > 255: no stored form
        QVERIFY(files->WriteICFDataToDisk(" 0120040A1B2C3D "));
        if (end == LineWriteFails) {
            {
                FileSizeLimit limit(image.size() + 4096);  // the disk is full from here on
                QVERIFY(limit.set());
                qint64 size = image.size();  // each record below is 72 bytes with CR LF
                for (; files->WriteICFDataToDisk("000020" + QByteArray(64, '5')); size += 72) {}
                QVERIFY2(size <= image.size() + 4096 && size + 72 > image.size() + 4096,
                         "the failure shows at the line that does not fit");
            }
            QVERIFY(!files->WriteICFDataToDisk("000000"));  // space again, but a failure is final
        }
        QCOMPARE(fileBytes(target), oldFile ? oldBackup() : QByteArray("<missing>"));
        if (end == CommitFails)
            QVERIFY(QFile::remove(target) && QDir().mkdir(target));
        if (end == Committed || end == LineWriteFails || end == CommitFails) {
            watchedName = QFile::encodeName(target);
            const auto unwatch = qScopeGuard([] { watchedName.clear(), synced.clear(); });
            QCOMPARE(files->CommitOutputFile(), end == Committed);
            QVERIFY(!files->outputOpen());
            if (end == Committed)  // the data on disk before it takes the name, then the name
                QCOMPARE(synced, QStringList({inodeOf(target, "file "),
                                              inodeOf(m_dir->path(), "folder ")}));
        }
        if (end == LineWriteFails)  // the reason the user is given is the disk's
            QCOMPARE(files->outputError(), QString::fromLocal8Bit(std::strerror(EFBIG)));
        end == DestroyWithoutCommit ? files.reset() : files->CloseCurrentFile();
        QVERIFY(m_user->shown().isEmpty());
        QCOMPARE(filesIn(m_dir->path()),
                 end == CommitFails ? QStringList{} : QStringList{"radio.icf"});
        QCOMPARE(fileBytes(target), end == Committed     ? image
                                    : end == CommitFails ? QByteArray("<missing>")
                                                         : oldBackup());
        if (end == Committed) {
            QVERIFY(QFileInfo(target).permissions() & QFileDevice::ReadOther);
            QVERIFY(files->OpenICFFileForRead(target));
            QCOMPARE(files->CommentLine(), comment);
        }
    }

    // A second output while one is open is refused with the error box; the first goes on.
    void aSecondOutputIsRefusedAndTheFirstKept()
    {
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForWrite(path("first.icf")));
        QVERIFY(!files.OpenICFFileForWrite(path("second.icf")));
        QCOMPARE(m_user->messages(), QStringList{"OpenFile(" + path("second.icf")
                                                 + "):An output file is already open:0"});
        QVERIFY(files.WriteALineToDisk(kModelLine) && files.WriteALineToDisk("#")
                && files.CommitOutputFile());
        QCOMPARE(filesIn(m_dir->path()), QStringList{"first.icf"});
    }

    // A backup kept private stays private, and a link the user keeps to it stays a link.
    void theImageTakesThePlaceOfTheFileALinkNames()
    {
        const QString target = QDir(m_dir->path()).filePath("radio.icf");
        const QString link = QDir(m_dir->path()).filePath("latest.icf");
        QVERIFY(writeFile(target, oldBackup()) && QFile::link("radio.icf", link));
        QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForWrite(link) && files.WriteALineToDisk(kModelLine)
                && files.WriteALineToDisk("#") && files.CommitOutputFile());
        QCOMPARE(QFileInfo(link).symLinkTarget(), target);
        QCOMPARE(fileBytes(target), kModelLine + "\r\n#\r\n");
        struct stat status {};
        QVERIFY(::stat(QFile::encodeName(target).constData(), &status) == 0);
        QCOMPARE(status.st_mode & 0777, 0640u);
        QCOMPARE(filesIn(m_dir->path()), (QStringList{"latest.icf", "radio.icf"}));
    }

    void aFolderThatCannotTakeTheOutputIsReportedAndKeepsItsFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("folder does not exist") << QStringLiteral("no such folder/radio.icf");
        // No one, not even root, may add a file to /proc; /proc/version is one already there.
        QTest::newRow("a file in a folder no one may write") << QStringLiteral("/proc/version");
        QTest::newRow("a pipe of that name, which must stay one") << QStringLiteral("pipe.icf");
    }
    void aFolderThatCannotTakeTheOutputIsReportedAndKeepsItsFile()
    {
        QFETCH(QString, name);
        const QString target = QDir(m_dir->path()).filePath(name);  // an absolute name stays
        const bool pipe = name == QLatin1String("pipe.icf");
        QVERIFY(!pipe || ::mkfifo(QFile::encodeName(target).constData(), 0600) == 0);
        const QByteArray before = pipe ? QByteArray() : fileBytes(target);
        m_user->answerQuestions({true});
        clsICOMFiles files;
        QVERIFY(!files.OpenICFFileForWrite(target));
        QCOMPARE(m_user->messages(), QStringList{"Unable to Open Output File"});
        QCOMPARE(m_user->shown().first().title, QStringLiteral("Replix ICOM Radio Error"));
        QVERIFY(!files.WriteALineToDisk(kModelLine));
        // A pipe is not read back: that would wait for a writer.
        QVERIFY(pipe ? QFileInfo(target).exists() && !QFileInfo(target).isFile()
                     : fileBytes(target) == before);
        if (pipe)
            return;
        QVERIFY(filesIn(m_dir->path()).isEmpty());
    }

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
        save ? m_user->answerSave(answer) : m_user->answerOpen(answer);
        CommonDialog dialog;
        QString chosen = QStringLiteral("/radios/last.icf");
        QCOMPARE(save ? ShowSaveDialog(chosen, kIcfFilter, dialog)
                      : ShowOpenDialog(chosen, kIcfFilter, dialog),
                 !answer.isEmpty());
        QCOMPARE(chosen, answer);
        QCOMPARE(m_user->shown().size(), 1);
        const FileDialogRequest &request = m_user->shown().first().request;
        QCOMPARE(QStringList({request.title, request.fileName, request.filter, request.defaultExt}),
                 save
                     ? QStringList({"Replix ICOM Radio   Save file", "/radios/last.icf",
                                    "ICF files (*.icf)", "icf"})
                     : QStringList({"Replix ICOM Radio   Open file", "", "ICF files (*.icf)", ""}));
        QCOMPARE(request.flags, 0x281806);
    }
};

QTEST_MAIN(TestImage)
#include "test_image.moc"
