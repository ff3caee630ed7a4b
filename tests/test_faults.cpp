// Faults on the line and on the disk, over the virtual radio on a pseudo-terminal: whatever
// happens, the transfer ends with the port closed, the time-outs stopped and the buttons back,
// an earlier file of the chosen name stays byte for byte, and no temporary file is left.

#include "serial/portnamespace.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/transferfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/resource.h>

namespace {
const QString kNoResponse = QStringLiteral("No response from radio.");
const QString kNoCable = QStringLiteral("Unable to locate interface cable.");
const QString kBadChecksum = QStringLiteral("Invalid Checksum - Data corrupted in transmission");
const QString kCorrupted = QStringLiteral("Data corrupted in transmission");
const QString kUnableToWrite = QStringLiteral("Unable to write to output file");
const QString kUnableToOpen = QStringLiteral("Unable to Open Output File");
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

// A tmpfs mounted for one test, taken down again however the test ends.
class ScratchMount {
public:
    ScratchMount(const QString &path, const char *options) : m_path(QFile::encodeName(path))
    {
        QDir().mkpath(path);
        m_mounted = ::mount("tmpfs", m_path.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
        if (!m_mounted)
            m_error = errno;
    }
    ~ScratchMount()
    {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    QString why() const { return QString::fromLocal8Bit(std::strerror(m_error)); }
    bool makeReadOnly()
    {
        return ::mount(nullptr, m_path.constData(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                       nullptr) == 0;
    }

private:
    QByteArray m_path;
    bool m_mounted = false;
    int m_error = 0;
};
} // namespace

class FaultTest : public TransferFixture {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void lineGoingDeadMidTransferEndsInTheIdleWindow_data();
    void lineGoingDeadMidTransferEndsInTheIdleWindow();
    void frameCutOffByADeadLineDoesNotSpoilTheNextRead_data();
    void frameCutOffByADeadLineDoesNotSpoilTheNextRead();
    void noiseWithFrameEndInARecordNeverReachesTheFile_data();
    void noiseWithFrameEndInARecordNeverReachesTheFile();
    void longRunWithoutFrameEndNeverReachesTheFile_data();
    void longRunWithoutFrameEndNeverReachesTheFile();
    void readOnlyFolderRefusesTheReadAndKeepsTheOldFile_data();
    void readOnlyFolderRefusesTheReadAndKeepsTheOldFile();
    void diskFillingMidReadKeepsTheOldFile_data();
    void diskFillingMidReadKeepsTheOldFile();

private:
    // Starts a transfer and waits for its end; notes whether the port was still open while
    // the transfer's closing message was up.
    void transfer(bool writing, const QString &file);
    void injectedRead();

    bool m_portOpenAtMessage = false;
};

void FaultTest::init() { setUpFixture(); }

void FaultTest::cleanup() { tearDownFixture(); }

void FaultTest::transfer(bool writing, const QString &file)
{
    m_portOpenAtMessage = false;
    auto noteAtMessage = [this] {
        m_user->whileNextShown([this] { m_portOpenAtMessage = m_window->MSComm1.PortOpen(); });
    };
    m_user->whileNextShown(noteAtMessage);  // the file dialog first, then the message
    if (writing) {
        m_user->answerOpen(file);
        m_window->cmdWrite->click();
    } else {
        m_user->answerSave(file);
        m_window->cmdRead->click();
    }
    waitIdle();
}

void FaultTest::lineGoingDeadMidTransferEndsInTheIdleWindow_data()
{
    QTest::addColumn<bool>("writing");
    QTest::addColumn<int>("closeAfter");   // records before the cable is pulled
    QTest::addColumn<int>("silentAfter");  // records before the radio stops answering
    QTest::addColumn<QString>("message");
    // A read learns of a dead line only from the radio's silence; a write from its own frame
    // not coming back.
    QTest::newRow("cable pulled before the first record of a read") << false << 0 << -1 << kNoResponse;
    QTest::newRow("cable pulled after 5 records of a read") << false << 5 << -1 << kNoResponse;
    QTest::newRow("cable pulled as a write begins") << true << 0 << -1 << kNoCable;
    QTest::newRow("cable pulled after 1 record of a write") << true << 1 << -1 << kNoCable;
    QTest::newRow("cable pulled after 5 records of a write") << true << 5 << -1 << kNoCable;
    QTest::newRow("radio silent before the first record of a read") << false << -1 << 0 << kNoResponse;
    QTest::newRow("radio silent after 5 records of a read") << false << -1 << 5 << kNoResponse;
    QTest::newRow("radio silent after 5 records of a write") << true << -1 << 5 << kNoResponse;
}

void FaultTest::lineGoingDeadMidTransferEndsInTheIdleWindow()
{
    QFETCH(bool, writing);
    QFETCH(int, closeAfter);
    QFETCH(int, silentAfter);
    QFETCH(QString, message);
    VirtualRadioOptions o = radioWith(12);
    o.closeAfterRecords = closeAfter;
    o.silentAfterRecords = silentAfter;
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
    else if (!writing)
        QCOMPARE(m_radio->recordsSent(), cutAt);
    QCOMPARE(m_radio->readsFinished() + m_radio->writesFinished(), 0);
    QCOMPARE(fileBytes(path("image.icf")), before);
    QCOMPARE(filesIn(m_dir->path()), QStringList{"image.icf"});
}

void FaultTest::frameCutOffByADeadLineDoesNotSpoilTheNextRead_data()
{
    QTest::addColumn<int>("closeAfter");
    QTest::addColumn<int>("silentAfter");
    QTest::addColumn<int>("replyGapMs");  // the model reply's second half comes this late
    // Record 5 stops after ten of its hex digits, and nothing follows it.
    QTest::newRow("cable pulled in the middle of a record") << 5 << -1 << -1;
    QTest::newRow("radio silent in the middle of a record") << -1 << 5 << -1;
    // Half a model reply, then nothing until the read has given up.
    QTest::newRow("model reply cut in half") << -1 << -1 << 3000;
}

void FaultTest::frameCutOffByADeadLineDoesNotSpoilTheNextRead()
{
    QFETCH(int, closeAfter);
    QFETCH(int, silentAfter);
    QFETCH(int, replyGapMs);
    VirtualRadioOptions dying = radioWith(12);
    dying.closeAfterRecords = closeAfter;
    dying.silentAfterRecords = silentAfter;
    if (replyGapMs < 0) {
        dying.injectAtRecord = 5;
        dying.injectOffset = kText + 10;
        dying.injectReplaces = 1000;
    }
    dying.modelReplyGap = std::chrono::milliseconds(replyGapMs);
    const QByteArray backup = earlierBackup();
    QVERIFY(writeFile(path("backup.icf"), backup));
    connect(dying);
    transfer(false, path("backup.icf"));
    QCOMPARE(m_user->messages(), QStringList{kNoResponse});
    QCOMPARE(fileBytes(path("backup.icf")), backup);

    // The user tries again, in the same window, with a radio that works.
    const VirtualRadioOptions working = radioWith(12);
    m_radio = std::make_unique<VirtualRadio>(working);
    QVERIFY(m_radio->publishAs(*m_ports, 1));
    pinPortNames({{1, m_radio->devicePath()}});  // plugged in where the dead one was
    m_user->clear();
    transfer(false, path("backup.icf"));
    QVERIFY2(m_user->messages().isEmpty(), qPrintable(m_user->messages().join(" | ")));
    QCOMPARE(fileBytes(path("backup.icf")), icfOf(working));
    QCOMPARE(filesIn(m_dir->path()), QStringList{"backup.icf"});
}

// Columns shared by the tests that put raw bytes into one record of a read.
static void injectionColumns()
{
    QTest::addColumn<int>("recordSize");
    QTest::addColumn<int>("startAddress");
    QTest::addColumn<int>("atRecord");
    QTest::addColumn<int>("offset");    // into the record's frame
    QTest::addColumn<int>("replaces");  // bytes of the frame the injected ones stand in for
    QTest::addColumn<QByteArray>("injected");
    QTest::addColumn<QString>("message");  // empty: nothing was lost, the read succeeds
    QTest::addColumn<QString>("logged");   // a note the conversation log must hold, if any
}

void FaultTest::injectedRead()
{
    QFETCH(int, recordSize);
    QFETCH(int, startAddress);
    QFETCH(int, atRecord);
    QFETCH(int, offset);
    QFETCH(int, replaces);
    QFETCH(QByteArray, injected);
    QFETCH(QString, message);
    QFETCH(QString, logged);
    VirtualRadioOptions o = radioWith(20, recordSize, quint16(startAddress));
    o.injectAtRecord = atRecord;
    o.injectOffset = offset;
    o.injectReplaces = replaces;
    o.injectBytes = injected;
    const QByteArray backup = earlierBackup();
    QVERIFY(writeFile(path("backup.icf"), backup));
    connect(o);

    transfer(false, path("backup.icf"));

    if (message.isEmpty()) {
        QCOMPARE(m_user->messages(), QStringList());
        QCOMPARE(fileBytes(path("backup.icf")), icfOf(o));
    } else {
        // The file first: a backup replaced by a damaged image is the worst outcome.
        QCOMPARE(fileBytes(path("backup.icf")), backup);
        QCOMPARE(m_user->messages(), QStringList{message});
        QVERIFY(!m_portOpenAtMessage);
        QCOMPARE(m_radio->readsFinished(), 0);
    }
    QCOMPARE(filesIn(m_dir->path()), QStringList{"backup.icf"});
    QVERIFY(m_window->txtDataReceived->toPlainText().contains(logged));
}

void FaultTest::noiseWithFrameEndInARecordNeverReachesTheFile_data()
{
    injectionColumns();
    const QByteArray fd("\xFD", 1);
    QTest::newRow("burst with FD inside the hex text")
        << 32 << 0x0100 << 7 << kText + 20 << 0 << QByteArray("\x00\xFF\xFD\x1A\xFD\x7F", 6)
        << kBadChecksum << QString();
    QTest::newRow("burst with FD inside the frame head")
        << 32 << 0x0100 << 7 << 2 << 0 << QByteArray("\x11\xFD\x22", 3) << kCorrupted << kShortNote;
    QTest::newRow("burst ending in FD between two records is harmless")
        << 32 << 0x0100 << 7 << 0 << 0 << QByteArray("\x13\xFD", 2) << QString() << kShortNote;
    QTest::newRow("FD in place of a hex digit") << 32 << 0x0100 << 7 << kText + 10 << 1 << fd
                                                << kBadChecksum << QString();
    QTest::newRow("FD added after an odd number of hex digits")
        << 32 << 0x0100 << 12 << kText + 9 << 0 << fd << kBadChecksum << QString();
    // Record 4 of one-byte records from 00FC is 00FF 01 xx cc: its head 00 FF 01 sums to
    // zero, so the piece before an FD there passes the checksum, and the three characters
    // after it are too short to be taken for a frame.
    QTest::newRow("FD behind a record head that sums to zero")
        << 1 << 0x00FC << 4 << kText + 6 << 1 << fd << kBadChecksum << QString();
}

void FaultTest::noiseWithFrameEndInARecordNeverReachesTheFile() { injectedRead(); }

void FaultTest::longRunWithoutFrameEndNeverReachesTheFile_data()
{
    injectionColumns();
    QTest::newRow("2,000 bytes of 00 between two records")
        << 32 << 0x0100 << 9 << 0 << 0 << QByteArray(2000, '\0') << kCorrupted << kUnknownNote;
    QTest::newRow("2,000 bytes of FF inside the hex text")
        << 32 << 0x0100 << 9 << kText + 8 << 0 << QByteArray(2000, '\xFF') << kBadChecksum << QString();
    // Zero bytes add nothing to the sum: only the count says the record is too long.
    QTest::newRow("2,000 zero digits inside the hex text")
        << 32 << 0x0100 << 9 << kText + 6 << 0 << QByteArray(2000, '0') << kBadChecksum << QString();
    QTest::newRow("2,000 spaces between two records are harmless")
        << 32 << 0x0100 << 9 << 0 << 0 << QByteArray(2000, ' ') << QString() << QString();
    QTest::newRow("5,000 bytes of 00, more than a frame may hold")
        << 32 << 0x0100 << 9 << 0 << 0 << QByteArray(5000, '\0') << kCorrupted << kShortNote;
}

void FaultTest::longRunWithoutFrameEndNeverReachesTheFile() { injectedRead(); }

void FaultTest::readOnlyFolderRefusesTheReadAndKeepsTheOldFile_data()
{
    QTest::addColumn<bool>("tmpfs");
    QTest::newRow("read-only tmpfs") << true;
    // /proc takes no new file even from root; /proc/version is a file already there.
    QTest::newRow("/proc") << false;
}

void FaultTest::readOnlyFolderRefusesTheReadAndKeepsTheOldFile()
{
    QFETCH(bool, tmpfs);
    std::unique_ptr<ScratchMount> mount;
    QString target = QStringLiteral("/proc/version");
    if (tmpfs) {
        mount = std::make_unique<ScratchMount>(path("ro"), "size=64k");
        if (!mount->mounted())
            QSKIP(qPrintable("no tmpfs can be mounted here (" + mount->why()
                             + "); the /proc row covers a read-only folder"));
        target = path("ro/backup.icf");
        QVERIFY(writeFile(target, earlierBackup()));
        QVERIFY(mount->makeReadOnly());
    }
    const QString folder = QFileInfo(target).absolutePath();
    const QByteArray before = fileBytes(target);
    const QStringList filesBefore = filesIn(folder);
    QVERIFY(!before.isEmpty() && before != "<missing>");
    connect(radioWith(12));
    m_user->answerQuestions({true});  // OK to the error report; Cancel would end the program

    transfer(false, target);

    QCOMPARE(m_user->messages(), QStringList{kUnableToOpen});
    QCOMPARE(m_radio->recordsSent(), 0);  // no record is asked for without a file to take it
    QCOMPARE(fileBytes(target), before);
    QCOMPARE(filesIn(folder), filesBefore);
    m_window.reset();  // nothing of ours may stay open on the mount
}

void FaultTest::diskFillingMidReadKeepsTheOldFile_data()
{
    QTest::addColumn<bool>("tmpfs");
    QTest::newRow("64 KiB tmpfs fills") << true;
    QTest::newRow("file size limit of 64 KiB") << false;
}

void FaultTest::diskFillingMidReadKeepsTheOldFile()
{
    QFETCH(bool, tmpfs);
    constexpr int kLimit = 64 * 1024;
    // 1,000 records of 64 bytes make a file of about 136 KiB, twice what fits.
    const VirtualRadioOptions o = radioWith(1000, 64);
    QVERIFY(icfOf(o).size() > 2 * kLimit);
    std::unique_ptr<ScratchMount> mount;
    QString folder = m_dir->path();
    if (tmpfs) {
        mount = std::make_unique<ScratchMount>(path("small"), "size=64k");
        if (!mount->mounted())
            QSKIP(qPrintable("no tmpfs can be mounted here (" + mount->why()
                             + "); the file size limit row covers a full disk"));
        folder = path("small");
    }
    const QString target = folder + QStringLiteral("/backup.icf");
    const QByteArray backup = earlierBackup();
    QVERIFY(writeFile(target, backup));
    connect(o);

    {
        std::unique_ptr<FileSizeLimit> limit;
        if (!tmpfs) {
            limit = std::make_unique<FileSizeLimit>(kLimit);
            QVERIFY(limit->set());
        }
        transfer(false, target);
    }

    QCOMPARE(m_user->messages(), QStringList{kUnableToWrite});
    QVERIFY(!m_portOpenAtMessage);
    QCOMPARE(m_radio->readsFinished(), 0);
    QVERIFY(m_radio->recordsSent() > 0);
    QCOMPARE(fileBytes(target), backup);
    QCOMPARE(filesIn(folder), QStringList{"backup.icf"});
    m_window.reset();
}

QTEST_MAIN(FaultTest)
#include "test_faults.moc"
