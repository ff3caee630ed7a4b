// The memory-image files: the ICF format rules, the image-file object on real files, and the
// file dialogs (scripted, and once through Qt's real dialog under the offscreen platform).

#include "app/misc.h"
#include "app/userseam.h"
#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "image/icfformat.h"
#include "tests/support/scriptedseam.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

// The stored-character table, written out by hand: data-line digit -> stored character.
constexpr char kDigits[] = "0123456789ABCDEF";
constexpr char kStored[] = "ghijklmnopxyz{|}";

QByteArray storedByTable(const QByteArray &dataLine)
{
    QByteArray stored;
    for (char c : dataLine)
        stored += kStored[QByteArray(kDigits).indexOf(c)];
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
QByteArray oldBackup()
{
    QByteArray bytes = icfFile({"0000040102030400", "0004040506070800"});
    bytes += QByteArray(8000, 'Z');
    return bytes;
}

// Watches a test that drives a real dialog: owns the pollers of onModal, so none outlives the
// test, and closes whatever modal widget is still up after 15 s so a stuck test fails instead
// of hanging.
class DialogDriver : public QObject {
public:
    DialogDriver()
    {
        m_watchdog.setInterval(15000);
        connect(&m_watchdog, &QTimer::timeout, this, [this] {
            m_fired = true;
            m_watchdog.setInterval(200);
            if (QWidget *widget = QApplication::activeModalWidget())
                widget->close();
        });
        m_watchdog.start();
    }
    bool fired() const { return m_fired; }

private:
    QTimer m_watchdog;
    bool m_fired = false;
};

// Runs action on the first visible modal widget of type W, polling from the event loop. Each
// call has its own timer, so it also fires inside a box opened by an earlier action.
template <typename W>
void onModal(DialogDriver &driver, std::function<void(W *)> action)
{
    auto *timer = new QTimer(&driver);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action] {
        auto *widget = qobject_cast<W *>(QApplication::activeModalWidget());
        if (!widget || !widget->isVisible())
            return;
        timer->stop();
        timer->deleteLater();
        action(widget);
    });
    timer->start();
}

// The dialog's Open or Save button.
QAbstractButton *acceptButton(QFileDialog *fileDialog)
{
    auto *buttons = fileDialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    if (buttons)
        for (QAbstractButton *button : buttons->buttons())
            if (buttons->buttonRole(button) == QDialogButtonBox::AcceptRole)
                return button;
    return nullptr;
}

// Clicks the dialog's Open or Save button, as the user would.
void clickAccept(QFileDialog *fileDialog)
{
    QAbstractButton *button = acceptButton(fileDialog);
    QVERIFY(button);
    QVERIFY(button->isEnabled());
    button->click();
}

// A seam that fails the way a broken dialog component would.
class ThrowingSeam final : public UserSeam {
public:
    ThrowingSeam() { setUserSeam(this); }
    ~ThrowingSeam() override { setUserSeam(nullptr); }
    void showMessage(const QString &, const QString &) override {}
    bool askOkCancel(const QString &, const QString &, bool) override { return false; }
    QString openFileName(const FileDialogRequest &) override { throw std::runtime_error("broken"); }
    QString saveFileName(const FileDialogRequest &) override { throw std::runtime_error("broken"); }
};

// Records the icon choice, which the scripted seam does not keep.
class IconSeam final : public UserSeam {
public:
    IconSeam() { setUserSeam(this); }
    ~IconSeam() override { setUserSeam(nullptr); }
    void showMessage(const QString &, const QString &) override {}
    bool askOkCancel(const QString &t, const QString &, bool warningIcon) override
    {
        title = t;
        icon = warningIcon;
        ++asked;
        return true;
    }
    QString openFileName(const FileDialogRequest &) override { return {}; }
    QString saveFileName(const FileDialogRequest &) override { return {}; }
    QString title;
    bool icon = true;
    int asked = 0;
};

#ifdef Q_OS_UNIX
// Makes every write past `bytes` of a file fail (EFBIG), as a full disk would, for its lifetime.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_ok = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    bool ok() const { return m_ok; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_ok = false;
};
#endif

// The ways a read can end without its image being kept.
enum FailedEnd { CloseWithoutCommit, DestroyWithoutCommit, LineWriteFails, CommitAfterFailedWrite };

} // namespace

class TestImage : public QObject {
    Q_OBJECT

private slots:
    void init() { SetAppTitle(QStringLiteral("Replix ICOM Radio")); }

    // ---- The format, on text alone ----

    void theWorkedExampleOfTheFormatHolds()
    {
        QCOMPARE(CheckChars("0120040A1B2C3D"), QByteArray("4D"));
        QCOMPARE(CheckSum("0120040A1B2C3D"), quint8(0x4D));
        QVERIFY(ValidCheckSum("0120040A1B2C3D4D"));
        QVERIFY(!ValidCheckSum("0120040A1B2C3D4E"));
        QByteArray line = "0120040A1B2C3D";
        QVERIFY(EncodeICFLine(line));
        QCOMPARE(line, QByteArray("ghiggkgxhyizj{"));
        QVERIFY(DecodeICFLine(line));
        QCOMPARE(line, QByteArray("0120040A1B2C3D"));
    }

    void everyDigitIsStoredAsTheTableSaysAndComesBack_data()
    {
        QTest::addColumn<QByteArray>("dataLine");
        for (int i = 0; i < 16; ++i) {
            const char d = kDigits[i];
            // Address d0d0, count 01, data dd: the digit in every field.
            QTest::newRow(QByteArray("digit ").append(d).constData())
                << (QByteArray() + d + '0' + d + '0' + "01" + d + d);
        }
    }
    void everyDigitIsStoredAsTheTableSaysAndComesBack()
    {
        QFETCH(QByteArray, dataLine);
        QByteArray line = dataLine;
        QVERIFY(EncodeICFLine(line));
        QCOMPARE(line, storedByTable(dataLine));
        QVERIFY(DecodeICFLine(line));
        QCOMPARE(line, dataLine);
    }

    void everyByteValueRoundTripsWithItsChecksum()
    {
        for (int b = 0; b < 256; ++b) {
            const QByteArray dataLine = "000001" + hexByte(b);
            QByteArray line = dataLine;
            QVERIFY(EncodeICFLine(line));
            QVERIFY(DecodeICFLine(line));
            QCOMPARE(line, dataLine);
            // Hand calculation: 00 + 00 + 01 + b, two's complement of the low byte.
            const QByteArray sum = hexByte((256 - ((1 + b) % 256)) % 256);
            QCOMPARE(CheckChars(dataLine), sum);
            QVERIFY(ValidCheckSum(dataLine + sum));
        }
    }

    void checksumIsZeroOrFFAtTheEdges_data()
    {
        QTest::addColumn<QByteArray>("dataLine");
        QTest::addColumn<QByteArray>("checksum");
        QTest::newRow("all zero") << QByteArray("000000") << QByteArray("00");
        QTest::newRow("sum 100: 02+80+7E") << QByteArray("00000280" "7E") << QByteArray("00");
        QTest::newRow("sum 200: 02+FF+FF") << QByteArray("000002FFFF") << QByteArray("00");
        QTest::newRow("sum 1") << QByteArray("000001") << QByteArray("FF");
        QTest::newRow("sum 101: 01+FF+01") << QByteArray("FF0001" "01") << QByteArray("FF");
        QTest::newRow("one digit pair, sum F0") << QByteArray("F0") << QByteArray("10");
    }
    void checksumIsZeroOrFFAtTheEdges()
    {
        QFETCH(QByteArray, dataLine);
        QFETCH(QByteArray, checksum);
        QCOMPARE(CheckChars(dataLine), checksum);
        QVERIFY(ValidCheckSum(dataLine + checksum));
    }

    void decoderRejectsWhatTheToolNeverStores_data()
    {
        QTest::addColumn<QByteArray>("stored");
        const QByteArray good = "ghiggkgxhyizj{";  // the worked example
        QTest::newRow("letter q") << QByteArray("ghiggkgxhyizjq");
        QTest::newRow("letter w") << QByteArray("ghiggkgxhywzj{");
        QTest::newRow("letter f") << QByteArray("fhiggkgxhyizj{");
        QTest::newRow("tilde") << QByteArray("ghiggkgxhyizj~");
        QTest::newRow("upper-case G") << QByteArray("Ghiggkgxhyizj{");
        QTest::newRow("plain hex") << QByteArray("0120040A1B2C3D");
        QTest::newRow("byte FF") << QByteArray("ghiggkgxhyizj\xff");
        QTest::newRow("one data character short") << good.chopped(1);
        QTest::newRow("one data character long") << good + "g";
        QTest::newRow("two data characters long") << good + "gg";
        QTest::newRow("space inside") << QByteArray("ghiggk gxhyizj{");
        QTest::newRow("tab at the end") << good + "\t";
        QTest::newRow("line end kept") << good + "\r";
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("spaces only") << QByteArray("   ");
        QTest::newRow("five characters") << QByteArray("ggggg");
        QTest::newRow("517 characters, count FF") << QByteArray("gggg}}") + QByteArray(511, 'g');
        QTest::newRow("64 KiB") << QByteArray("gggg}}") + QByteArray(65530, 'g');
    }
    void decoderRejectsWhatTheToolNeverStores()
    {
        QFETCH(QByteArray, stored);
        QByteArray line = stored;
        QVERIFY(!DecodeICFLine(line));
        QCOMPARE(line, stored);  // a rejected line is left as it was
    }

    void decoderAcceptsTheEdgesOfTheFormat_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QByteArray>("dataLine");
        QTest::newRow("count 00, no data") << QByteArray("gggggg") << QByteArray("000000");
        QTest::newRow("spaces around") << QByteArray("  ghiggkgxhyizj{   ")
                                       << QByteArray("0120040A1B2C3D");
        QTest::newRow("516 characters, count FF")
            << QByteArray("||||}}") + QByteArray(510, '}')
            << QByteArray("EEEEFF") + QByteArray(510, 'F');
    }
    void decoderAcceptsTheEdgesOfTheFormat()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QByteArray, dataLine);
        QByteArray line = stored;
        QVERIFY(DecodeICFLine(line));
        QCOMPARE(line, dataLine);
    }

    void noStoredLineLongerThan516IsEverValid()
    {
        // Whatever the count says, the data part of a longer line is too long for it.
        for (int count = 0; count < 256; ++count) {
            const QByteArray head = storedByTable("0000" + hexByte(count));
            for (qsizetype length = 517; length <= 530; ++length) {
                QByteArray line = head + QByteArray(length - 6, 'g');
                QVERIFY2(!DecodeICFLine(line), qPrintable(QStringLiteral("count %1, length %2")
                                                              .arg(count).arg(length)));
            }
        }
    }

    void encoderTrimsSpacesOnlyAndRefusesBytesWithoutAStoredForm()
    {
        QByteArray line = "  0120040A1B2C3D ";
        QVERIFY(EncodeICFLine(line));
        QCOMPARE(line, QByteArray("ghiggkgxhyizj{"));
        QByteArray tabbed = "\t00";
        QVERIFY(EncodeICFLine(tabbed));
        QCOMPARE(tabbed, QByteArray("@gg"));  // tab (9) + 55 = "@": kept, not trimmed
        QByteArray high = "00\xc9";           // 201 + 55 > 255
        QVERIFY(!EncodeICFLine(high));
        QCOMPARE(high, QByteArray("00\xc9"));
    }

    void validCheckSumRejectsMalformedRecords_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("two characters, checksum of nothing") << QByteArray("00");
        QTest::newRow("three characters") << QByteArray("FF0");
        QTest::newRow("odd length") << QByteArray("0120040A1B2C3D4D0");
        QTest::newRow("lower-case digits, checksum would match") << QByteArray("0120040a1b2c3d4d");
        QTest::newRow("lower-case checksum, would match") << QByteArray("F60a");
        QTest::newRow("trailing space") << QByteArray("0120040A1B2C3D4D ").append(' ');
        QTest::newRow("G is no hex digit") << QByteArray("0G00");
        QTest::newRow("checksum one low") << QByteArray("0120040A1B2C3D4C");
        QTest::newRow("checksum one high") << QByteArray("0120040A1B2C3D4E");
    }
    void validCheckSumRejectsMalformedRecords()
    {
        QFETCH(QByteArray, record);
        QVERIFY(!ValidCheckSum(record));
        clsICOMFiles files;
        QVERIFY(!files.ValidCheckSum(record));
    }

    // The count must agree with the length: a record stretched or cut by noise whose bytes
    // sum to nothing passes its checksum, never this.
    void recordLineCountMustMatchItsData_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("whole");
        QTest::newRow("worked example") << QByteArray("0120040A1B2C3D") << true;
        QTest::newRow("no data bytes") << QByteArray("012000") << true;
        QTest::newRow("one data byte short") << QByteArray("0120040A1B2C") << false;
        QTest::newRow("one data byte over") << QByteArray("0120040A1B2C3D00") << false;
        QTest::newRow("address only") << QByteArray("00FF") << false;
        QTest::newRow("count FF with 255 bytes") << QByteArray("0000FF") + QByteArray(510, '0') << true;
        QTest::newRow("count FF with 1000 zero bytes") << QByteArray("0000FF") + QByteArray(2000, '0') << false;
    }

    void recordLineCountMustMatchItsData()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, whole);
        QCOMPARE(ValidRecordLine(line), whole);
    }

    void validCheckSumAcceptsTheShortestRecord()
    {
        QVERIFY(ValidCheckSum("0000"));
        QVERIFY(ValidCheckSum("01FF"));
        clsICOMFiles files;
        QCOMPARE(files.CheckChars("0120040A1B2C3D"), QByteArray("4D"));
    }

    void validModelAsksOnlyForAnotherVersionOfTheSameModel_data()
    {
        QTest::addColumn<QByteArray>("fileModel");
        QTest::addColumn<QByteArray>("radioModel");
        QTest::addColumn<bool>("asks");
        QTest::addColumn<bool>("answerOk");
        QTest::addColumn<bool>("valid");
        QTest::newRow("same model and version") << QByteArray("2A5F0101") << QByteArray("2A5F0101") << false << false << true;
        QTest::newRow("other version, OK") << QByteArray("2A5F0101") << QByteArray("2A5F0202") << true << true << true;
        QTest::newRow("other version, Cancel") << QByteArray("2A5F0101") << QByteArray("2A5F0202") << true << false << false;
        QTest::newRow("other model") << QByteArray("2A600101") << QByteArray("2A5F0101") << false << true << false;
        QTest::newRow("model differs in case") << QByteArray("2a5f0101") << QByteArray("2A5F0101") << false << true << false;
        QTest::newRow("file model of seven") << QByteArray("2A5F010") << QByteArray("2A5F0101") << false << true << false;
        QTest::newRow("file model of nine") << QByteArray("2A5F01010") << QByteArray("2A5F0101") << false << true << false;
        QTest::newRow("radio model of nine") << QByteArray("2A5F0101") << QByteArray("2A5F01011") << false << true << false;
        QTest::newRow("both empty") << QByteArray() << QByteArray() << false << true << false;
    }
    void validModelAsksOnlyForAnotherVersionOfTheSameModel()
    {
        QFETCH(QByteArray, fileModel);
        QFETCH(QByteArray, radioModel);
        QFETCH(bool, asks);
        QFETCH(bool, answerOk);
        QFETCH(bool, valid);
        ScriptedSeam user;
        user.answerQuestions({answerOk});
        clsICOMFiles files;
        QCOMPARE(files.ValidModel(fileModel, radioModel), valid);
        if (asks) {
            QCOMPARE(user.shown().size(), 1);
            QCOMPARE(user.shown().first().kind, ScriptedSeam::Kind::Question);
            QCOMPARE(user.shown().first().title, QStringLiteral("Replix ICOM Radio"));
            QCOMPARE(user.shown().first().text,
                     QStringLiteral("Disk File is for a different version of this radio"));
            QCOMPARE(user.unscripted(), 0);
        } else {
            QVERIFY(user.shown().isEmpty());
        }
    }

    void theVersionQuestionHasNoIcon()
    {
        IconSeam user;
        clsICOMFiles files;
        QVERIFY(files.ValidModel("2A5F0101", "2A5F0102"));
        QCOMPARE(user.asked, 1);
        QVERIFY(!user.icon);
        QCOMPARE(user.title, AppTitle());
    }

    // ---- The image-file object on real files ----

    void aNewObjectHasNothingOpen()
    {
        ScriptedSeam user;
        clsICOMFiles files;
        QVERIFY(files.RadioModel().isEmpty());
        QVERIFY(!files.WriteALineToDisk("x"));
        QVERIFY(!files.WriteICFDataToDisk("000000"));
        QByteArray line = "junk";
        QVERIFY(!files.GetNextLineFromDisk(line));
        QVERIFY(line.isEmpty());
        line = "junk";
        QVERIFY(!files.GetNextICFLineFromDisk(line));
        QVERIFY(line.isEmpty());
        QCOMPARE(files.CheckICFData().outcome, clsICOMFiles::DataCheck::NoData);
        QVERIFY(!files.CommitOutputFile());
        files.CloseCurrentFile();
        files.CloseCurrentFile();
        QVERIFY(!files.inputOpen());
        QVERIFY(!files.outputOpen());
        QVERIFY(user.shown().isEmpty());
    }

    void aHeaderOnlyFileOpensAndYieldsNoRecords()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("header.icf");
        QVERIFY(writeFile(path, icfFile({})));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(path));
        QCOMPARE(files.RadioModel(), kModelLine);
        QCOMPARE(files.CommentLine(), kCommentLine);
        QCOMPARE(files.CheckICFData().outcome, clsICOMFiles::DataCheck::NoData);
        QByteArray line;
        QVERIFY(!files.GetNextICFLineFromDisk(line));
        QVERIFY(line.isEmpty());
        QVERIFY(!files.GetNextLineFromDisk(line));  // reading past the end stays false
        QVERIFY(files.inputOpen());
    }

    void aOneLineFileDoesNotOpenUntilTheObjectIsReset()
    {
        QTemporaryDir dir;
        const QString oneLine = dir.filePath("one.icf");
        const QString good = dir.filePath("good.icf");
        QVERIFY(writeFile(oneLine, kModelLine + "\r\n"));
        QVERIFY(writeFile(good, icfFile({"0120040A1B2C3D"})));
        clsICOMFiles files;
        QVERIFY(!files.OpenICFFileForRead(oneLine));
        QVERIFY(files.inputOpen());  // stays open until CloseCurrentFile, as the Part says
        QCOMPARE(files.CheckICFData().outcome, clsICOMFiles::DataCheck::NoData);
        QVERIFY(!files.OpenICFFileForRead(good));
        files.CloseCurrentFile();
        QVERIFY(files.RadioModel().isEmpty());
        QVERIFY(files.OpenICFFileForRead(good));
        QByteArray line;
        QVERIFY(files.GetNextICFLineFromDisk(line));
        QCOMPARE(line, QByteArray("0120040A1B2C3D"));
    }

    void missingEmptyAndSpecialFilesDoNotOpen()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("empty.icf"), {}));
        clsICOMFiles files;
        QVERIFY(!files.OpenICFFileForRead(dir.filePath("missing.icf")));
        QVERIFY(!files.inputOpen());
        QVERIFY(!files.OpenICFFileForRead(dir.path()));  // a folder
        QVERIFY(!files.OpenICFFileForRead(dir.filePath("empty.icf")));
        files.CloseCurrentFile();
#ifdef Q_OS_UNIX
        // A device never ends; it must not be read at all.
        QVERIFY(!files.OpenICFFileForRead(QStringLiteral("/dev/zero")));
        QVERIFY(!files.inputOpen());
#endif
    }

    void theNameToReadIsTrimmedOfSpacesOnly()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("a.icf"), icfFile({})));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead("  " + dir.filePath("a.icf") + "  "));
        files.CloseCurrentFile();
        QVERIFY(!files.OpenICFFileForRead("\t" + dir.filePath("a.icf")));
    }

    void linesEndAtCrLfOrALoneCr_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::newRow("CR LF") << QByteArray("A\r\nB\r\nC\r\n") << QList<QByteArray>{"A", "B", "C"};
        QTest::newRow("CR only") << QByteArray("A\rB\rC\r") << QList<QByteArray>{"A", "B", "C"};
        QTest::newRow("mixed") << QByteArray("A\rB\r\nC\r") << QList<QByteArray>{"A", "B", "C"};
        QTest::newRow("lone LF is a byte") << QByteArray("A\nB\r\n\nC\r\n")
                                           << QList<QByteArray>{"A\nB", "\nC"};
        QTest::newRow("LF CR is a byte and a line end") << QByteArray("A\n\rB")
                                                        << QList<QByteArray>{"A\n", "B"};
        QTest::newRow("CR CR is an empty line") << QByteArray("A\r\rB\r\n")
                                                << QList<QByteArray>{"A", "", "B"};
        QTest::newRow("no line end at the end") << QByteArray("A\r\nB") << QList<QByteArray>{"A", "B"};
        QTest::newRow("empty last line") << QByteArray("A\r\nB\r\n\r\n")
                                         << QList<QByteArray>{"A", "B", ""};
        QTest::newRow("NUL and 1A are bytes") << QByteArray("A\0\x1a\r\nB\x1a", 7)
                                              << QList<QByteArray>{QByteArray("A\0\x1a", 3), "B\x1a"};
        // The reader's buffer is 64 KiB: put a CR LF, and then a lone CR, across its edge.
        QTest::newRow("CR LF across the buffer edge")
            << QByteArray("A\r\n") + QByteArray(65532, 'x') + "\r\nB\r\n"
            << QList<QByteArray>{"A", QByteArray(65532, 'x'), "B"};
        QTest::newRow("lone CR at the buffer edge")
            << QByteArray("A\r\n") + QByteArray(65532, 'x') + "\rB\r\n"
            << QList<QByteArray>{"A", QByteArray(65532, 'x'), "B"};
    }
    void linesEndAtCrLfOrALoneCr()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<QByteArray>, lines);
        QTemporaryDir dir;
        const QString path = dir.filePath("lines.icf");
        QVERIFY(writeFile(path, bytes));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(path));
        QList<QByteArray> read{files.RadioModel(), files.CommentLine()};
        QByteArray line;
        while (files.GetNextLineFromDisk(line))
            read << line;
        QCOMPARE(read, lines);
    }

    void aCrOnlyFileReadsLikeACrLfFile()
    {
        QTemporaryDir dir;
        const QByteArray crlf = icfFile({"0120040A1B2C3D", "000000", "FFFF01AB"});
        QByteArray cr = crlf;
        cr.replace("\r\n", "\r");
        QVERIFY(writeFile(dir.filePath("crlf.icf"), crlf));
        QVERIFY(writeFile(dir.filePath("cr.icf"), cr));
        QList<QByteArray> results[2];
        for (int i = 0; i < 2; ++i) {
            clsICOMFiles files;
            QVERIFY(files.OpenICFFileForRead(dir.filePath(i ? "cr.icf" : "crlf.icf")));
            QCOMPARE(files.CheckICFData().outcome, clsICOMFiles::DataCheck::Sound);
            results[i] << files.RadioModel() << files.CommentLine();
            QByteArray line;
            while (files.GetNextICFLineFromDisk(line))
                results[i] << line;
        }
        QCOMPARE(results[1], results[0]);
        QCOMPARE(results[0].size(), 5);
    }

    void anOverlongLineIsKeptCutAndReadsAsInvalid()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("long.icf");
        const QByteArray huge(3 * 1024 * 1024, 'g');  // 3 MiB of stored characters, one line
        QVERIFY(writeFile(path, icfFile({}) + huge + "\r\n" + storedByTable("000000") + "\r\n"));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(path));
        const auto check = files.CheckICFData();
        QCOMPARE(check.outcome, clsICOMFiles::DataCheck::Damaged);
        QCOMPARE(check.line, 3);
        QByteArray line;
        QVERIFY(files.GetNextLineFromDisk(line));
        QCOMPARE(line.size(), qsizetype(64 * 1024));
        QVERIFY(files.GetNextICFLineFromDisk(line));  // the reader goes on after it
        QCOMPARE(line, QByteArray("000000"));
    }

    void theCommentLineComesBackByteForByte()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("comment.icf");
        // Every byte value but CR (a line end on reading), with 00, 1A, 80 and FF among them.
        QByteArray comment = "#";
        comment += QByteArray("\x00\x1a\x80\xff", 4);
        for (int b = 0; b < 256; ++b)
            if (b != '\r')
                comment += char(b);
        ScriptedSeam user;
        {
            clsICOMFiles files;
            QVERIFY(files.OpenICFFileForWrite(path));
            QVERIFY(files.WriteALineToDisk(kModelLine));
            QVERIFY(files.WriteALineToDisk(comment));
            QVERIFY(files.WriteICFDataToDisk("0120040A1B2C3D"));
            QVERIFY(files.CommitOutputFile());
        }
        QCOMPARE(readFile(path), kModelLine + "\r\n" + comment + "\r\nghiggkgxhyizj{\r\n");
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(path));
        QCOMPARE(files.CommentLine(), comment);
        QByteArray line;
        QVERIFY(files.GetNextICFLineFromDisk(line));
        QCOMPARE(line, QByteArray("0120040A1B2C3D"));
        QVERIFY(user.shown().isEmpty());
    }

    void aSecondOpenLeavesTheFirstFileWhereItWas()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("a.icf"), icfFile({"000000", "000101AA", "000201BB"})));
        QVERIFY(writeFile(dir.filePath("b.icf"), "FFFFFFFF\r\n#other\r\n" + storedByTable("123400") + "\r\n"));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(dir.filePath("a.icf")));
        QByteArray line;
        QVERIFY(files.GetNextICFLineFromDisk(line));
        QVERIFY(!files.OpenICFFileForRead(dir.filePath("b.icf")));
        QCOMPARE(files.RadioModel(), kModelLine);
        QCOMPARE(files.CommentLine(), kCommentLine);
        QVERIFY(files.GetNextICFLineFromDisk(line));
        QCOMPARE(line, QByteArray("000101AA"));
        files.CloseCurrentFile();
        QVERIFY(files.RadioModel().isEmpty());
        QVERIFY(files.CommentLine().isEmpty());
        QVERIFY(files.OpenICFFileForRead(dir.filePath("b.icf")));
        QCOMPARE(files.RadioModel(), QByteArray("FFFFFFFF"));
    }

    void theWholeFileCheckFindsTheFirstBadLineAndRewinds_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("badLine");
        using C = clsICOMFiles::DataCheck;
        const QByteArray a = storedByTable("0000020102");
        const QByteArray b = storedByTable("000202AABB");
        const QByteArray c = storedByTable("000400");
        const QByteArray head = kModelLine + "\r\n" + kCommentLine + "\r\n";
        QTest::newRow("three sound records") << head + a + "\r\n" + b + "\r\n" + c + "\r\n" << int(C::Sound) << 0;
        QTest::newRow("CR only") << head + a + "\r" + b + "\r" << int(C::Sound) << 0;
        QTest::newRow("last line without line end") << head + a + "\r\n" + b << int(C::Sound) << 0;
        QTest::newRow("spaces around a line") << head + "  " + a + " \r\n" << int(C::Sound) << 0;
        QTest::newRow("header only") << head << int(C::NoData) << 0;
        QTest::newRow("header without final line end") << kModelLine + "\r\n" + kCommentLine << int(C::NoData) << 0;
        QTest::newRow("first data line bad") << head + "q\r\n" + a + "\r\n" << int(C::Damaged) << 3;
        QTest::newRow("fifth line bad") << head + a + "\r\n" + b + "\r\n" + b.chopped(1) + "\r\n" + c + "\r\n" << int(C::Damaged) << 5;
        QTest::newRow("empty line in the middle") << head + a + "\r\n\r\n" + b + "\r\n" << int(C::Damaged) << 4;
        QTest::newRow("empty line at the end") << head + a + "\r\n" + b + "\r\n\r\n" << int(C::Damaged) << 5;
        QTest::newRow("only an empty data line") << head + "\r\n" << int(C::Damaged) << 3;
        QTest::newRow("stray LF at the end") << head + a + "\r\n\n" << int(C::Damaged) << 4;
        QTest::newRow("last line cut short") << head + a + "\r\n" + b.chopped(3) << int(C::Damaged) << 4;
        QTest::newRow("LF-only line ends") << head + a + "\n" + b + "\n" << int(C::Damaged) << 3;
        QTest::newRow("LF between model and comment") << kModelLine + "\n" + kCommentLine + "\r\n" + a + "\r\n" << int(C::NoData) << 0;
    }
    void theWholeFileCheckFindsTheFirstBadLineAndRewinds()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, outcome);
        QFETCH(int, badLine);
        QTemporaryDir dir;
        const QString path = dir.filePath("check.icf");
        QVERIFY(writeFile(path, bytes));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(path));
        // The reader's view, taken before the check: the data lines up to the first bad one.
        QByteArray first;
        const bool hasFirst = files.GetNextLineFromDisk(first);
        QByteArray line;
        files.GetNextLineFromDisk(line);  // leave the position somewhere in the middle

        const auto check = files.CheckICFData();
        QCOMPARE(int(check.outcome), outcome);
        QCOMPARE(check.line, badLine);
        // Again at the first data line, and the check can be repeated.
        QVERIFY(files.GetNextLineFromDisk(line) == hasFirst);
        QCOMPARE(line, first);
        QCOMPARE(int(files.CheckICFData().outcome), outcome);
        QByteArray decoded;
        const bool firstValid = files.GetNextICFLineFromDisk(decoded);
        QCOMPARE(firstValid, outcome == int(clsICOMFiles::DataCheck::Sound) || badLine > 3);
    }

    void aCheckedSoundFileIsReadToItsEnd()
    {
        QTemporaryDir dir;
        const QList<QByteArray> records{"0000020102", "000202AABB", "000400"};
        QVERIFY(writeFile(dir.filePath("s.icf"), icfFile(records)));
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(dir.filePath("s.icf")));
        QCOMPARE(files.CheckICFData().outcome, clsICOMFiles::DataCheck::Sound);
        QList<QByteArray> read;
        QByteArray line;
        while (files.GetNextICFLineFromDisk(line))
            read << line;
        QCOMPARE(read, records);
        QVERIFY(line.isEmpty());
    }

    void aLineIsWrittenWithCrLfAndEmptyLinesToo()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("w.icf");
        ScriptedSeam user;
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForWrite(path));
        QVERIFY(files.outputOpen());
        QVERIFY(files.WriteALineToDisk(""));
        QVERIFY(files.WriteALineToDisk(QByteArray(32765, 'a')));
        QVERIFY(!files.WriteALineToDisk(QByteArray(32766, 'b')));  // too long: nothing written
        QVERIFY(files.WriteICFDataToDisk(" 0120040A1B2C3D "));
        QVERIFY(files.CommitOutputFile());
        QVERIFY(!files.outputOpen());
        QCOMPARE(readFile(path), "\r\n" + QByteArray(32765, 'a') + "\r\nghiggkgxhyizj{\r\n");
        QVERIFY(user.shown().isEmpty());
    }

    void aLargerExistingFileIsReplacedWithNothingLeftBehind()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("radio.icf");
        QVERIFY(writeFile(path, oldBackup()));
        ScriptedSeam user;
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForWrite(path));
        QVERIFY(files.WriteALineToDisk(kModelLine));
        QVERIFY(files.WriteALineToDisk(kCommentLine));
        QVERIFY(files.WriteICFDataToDisk("000000"));
        QCOMPARE(readFile(path), oldBackup());  // untouched until the commit
        QVERIFY(files.CommitOutputFile());
        QCOMPARE(readFile(path), icfFile({"000000"}));
        QCOMPARE(folderEntries(dir.path()), QStringList{"radio.icf"});
        QVERIFY(user.shown().isEmpty());
    }

    void aNewFileIsCreatedOnlyByTheCommit()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("new.icf");
        ScriptedSeam user;
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForWrite(path));
        QVERIFY(files.WriteALineToDisk(kModelLine));
        QVERIFY(!QFile::exists(path));
        QVERIFY(files.WriteALineToDisk(kCommentLine));
        QVERIFY(files.CommitOutputFile());
        QCOMPARE(readFile(path), icfFile({}));
        QVERIFY(QFileInfo(path).permissions() & QFileDevice::ReadOther);  // an ordinary file
    }

    void everyFailedReadLeavesTheOldFileAsItWas_data()
    {
        QTest::addColumn<int>("end");
        QTest::newRow("closed without commit") << int(CloseWithoutCommit);
        QTest::newRow("object released without commit") << int(DestroyWithoutCommit);
        QTest::newRow("a line write fails, then closed") << int(LineWriteFails);
        QTest::newRow("a line write fails, then commit tried") << int(CommitAfterFailedWrite);
    }
    void everyFailedReadLeavesTheOldFileAsItWas()
    {
        QFETCH(int, end);
        QTemporaryDir dir;
        const QString path = dir.filePath("radio.icf");
        QVERIFY(writeFile(path, oldBackup()));
        ScriptedSeam user;
        auto files = std::make_unique<clsICOMFiles>();
        QVERIFY(files->OpenICFFileForWrite(path));
        QVERIFY(files->WriteALineToDisk(kModelLine));
        QVERIFY(files->WriteALineToDisk(kCommentLine));

        // 32-byte records, 72 bytes a line with CR LF; the header took 10 + 18 bytes.
        auto record = [](int i) { return hexByte(i >> 3) + hexByte((i & 7) << 5) + "20" + QByteArray(64, '5'); };
        if (end == LineWriteFails || end == CommitAfterFailedWrite) {
#ifdef Q_OS_UNIX
            constexpr int kLimit = 4096;
            const int firstFailing = (kLimit - 28) / 72;  // record 56 would cross 4096 bytes
            {
                FileSizeLimit limit(kLimit);
                QVERIFY(limit.ok());
                for (int i = 0; i < firstFailing; ++i)
                    QVERIFY2(files->WriteICFDataToDisk(record(i)), qPrintable(QString::number(i)));
                QVERIFY(!files->WriteICFDataToDisk(record(firstFailing)));  // seen at that line
            }
#else
            QSKIP("needs a file size limit");
#endif
            // Space again, but the image is broken: later lines are refused too.
            QVERIFY(!files->WriteICFDataToDisk(record(firstFailing + 1)));
            QVERIFY(!files->WriteALineToDisk(""));
        } else {
            for (int i = 0; i < 100; ++i)
                QVERIFY(files->WriteICFDataToDisk(record(i)));
        }

        if (end == CommitAfterFailedWrite) {
            user.answerQuestions({true});
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

        QCOMPARE(readFile(path), oldBackup());
        QCOMPARE(folderEntries(dir.path()), QStringList{"radio.icf"});
        QCOMPARE(user.unscripted(), 0);
    }

    void aCommitThatCannotRenameIsReportedAndLeavesNothing()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("vanishing");
        QVERIFY(QDir().mkpath(folder));
        ScriptedSeam user;
        user.answerQuestions({true});
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForWrite(folder + "/radio.icf"));
        QVERIFY(files.WriteALineToDisk(kModelLine));
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(!files.CommitOutputFile());
        QCOMPARE(user.shown().size(), 1);
        QCOMPARE(user.shown().first().title, QStringLiteral("Replix ICOM Radio Error"));
        QVERIFY(user.shown().first().text.startsWith("CloseFile("));
        QVERIFY(!files.outputOpen());
        QVERIFY(folderEntries(dir.path()).isEmpty());
    }

    void aMissingFolderCannotTakeTheOutputFile()
    {
        QTemporaryDir dir;
        ScriptedSeam user;
        user.answerQuestions({true});
        clsICOMFiles files;
        QVERIFY(!files.OpenICFFileForWrite(dir.filePath("no such folder/radio.icf")));
        QVERIFY(!files.outputOpen());
        QCOMPARE(user.messages(), QStringList{"Unable to Open Output File"});
        QCOMPARE(user.shown().first().title, QStringLiteral("Replix ICOM Radio Error"));
        QVERIFY(!files.WriteALineToDisk(kModelLine));
        QVERIFY(folderEntries(dir.path()).isEmpty());
    }

    void aSystemFolderNoOneCanWriteCannotTakeTheOutputFile()
    {
#ifdef Q_OS_LINUX
        // No one, root included, can create a file in /proc.
        ScriptedSeam user;
        user.answerQuestions({true});
        clsICOMFiles files;
        QVERIFY(!files.OpenICFFileForWrite(QStringLiteral("/proc/replix-test.icf")));
        QVERIFY(!files.outputOpen());
        QCOMPARE(user.messages(), QStringList{"Unable to Open Output File"});
        QCOMPARE(user.unscripted(), 0);
#else
        QSKIP("Linux only");
#endif
    }

    void aReadOnlyFolderCannotTakeTheOutputFileAndKeepsItsFile()
    {
#ifdef Q_OS_UNIX
        if (::geteuid() == 0)
            QSKIP("running as root: folder permissions do not stop root");
        QTemporaryDir dir;
        const QString path = dir.filePath("radio.icf");
        QVERIFY(writeFile(path, oldBackup()));
        ScriptedSeam user;
        user.answerQuestions({true});
        clsICOMFiles files;
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const bool opened = files.OpenICFFileForWrite(path);
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QVERIFY(!opened);
        QCOMPARE(user.messages(), QStringList{"Unable to Open Output File"});
        QCOMPARE(readFile(path), oldBackup());
        QCOMPARE(folderEntries(dir.path()), QStringList{"radio.icf"});
#else
        QSKIP("needs Unix permissions");
#endif
    }

    void aSecondOutputIsRefusedAndTheFirstGoesOn()
    {
        QTemporaryDir dir;
        ScriptedSeam user;
        user.answerQuestions({true});
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForWrite(dir.filePath("a.icf")));
        QVERIFY(files.WriteALineToDisk("first"));
        QVERIFY(!files.OpenICFFileForWrite(dir.filePath("b.icf")));
        QCOMPARE(user.messages().size(), 1);
        QVERIFY(user.messages().first().startsWith("OpenFile(" + dir.filePath("b.icf") + "):"));
        QVERIFY(files.WriteALineToDisk("second"));
        QVERIFY(files.CommitOutputFile());
        QCOMPARE(readFile(dir.filePath("a.icf")), QByteArray("first\r\nsecond\r\n"));
        QVERIFY(!QFile::exists(dir.filePath("b.icf")));
    }

    void inputAndOutputAreIndependentAndBothClose()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("in.icf"), icfFile({"000000"})));
        ScriptedSeam user;
        clsICOMFiles files;
        QVERIFY(files.OpenICFFileForRead(dir.filePath("in.icf")));
        QVERIFY(files.OpenICFFileForWrite(dir.filePath("out.icf")));
        QVERIFY(files.WriteALineToDisk(files.RadioModel()));
        files.CloseCurrentFile();
        QVERIFY(!files.inputOpen());
        QVERIFY(!files.outputOpen());
        QVERIFY(!QFile::exists(dir.filePath("out.icf")));
    }

    // ---- File dialogs ----

    void qtFilterFromClassic_data()
    {
        QTest::addColumn<QString>("classic");
        QTest::addColumn<QString>("qt");
        QTest::newRow("the ICF filter") << QString(kIcfFilter) << QStringLiteral("(*.icf) (*.icf)");
        QTest::newRow("two entries") << QStringLiteral("ICF files|*.icf|All files|*.*")
                                     << QStringLiteral("ICF files (*.icf);;All files (*.*)");
        QTest::newRow("two patterns") << QStringLiteral("Images|*.icf;*.ICF")
                                      << QStringLiteral("Images (*.icf *.ICF)");
        QTest::newRow("empty") << QString() << QString();
    }
    void qtFilterFromClassic()
    {
        QFETCH(QString, classic);
        QFETCH(QString, qt);
        QCOMPARE(::qtFilterFromClassic(classic), qt);
    }

    void theOpenDialogAsksForAnExistingIcfFile()
    {
        ScriptedSeam user;
        user.answerOpen(QStringLiteral("/radios/ic-test.icf"));
        CommonDialog dialog;
        QString path = QStringLiteral("/previous.icf");
        QVERIFY(ShowOpenDialog(path, kIcfFilter, dialog));
        QCOMPARE(path, QStringLiteral("/radios/ic-test.icf"));
        QCOMPARE(user.shown().size(), 1);
        const auto &shown = user.shown().first();
        QCOMPARE(shown.kind, ScriptedSeam::Kind::OpenDialog);
        QCOMPARE(shown.request.title, QStringLiteral("Replix ICOM Radio   Open file"));
        QVERIFY(shown.request.fileName.isEmpty());
        QCOMPARE(shown.request.filter, QStringLiteral("(*.icf) (*.icf)"));
        QCOMPARE(shown.request.flags, 0x281806);
        QCOMPARE(shown.request.flags, 2627590);
    }

    void theSaveDialogOffersTheLastFileAndAddsIcf()
    {
        ScriptedSeam user;
        user.answerSave(QStringLiteral("/radios/new.icf"));
        CommonDialog dialog;
        QString path = QStringLiteral("/radios/last.icf");
        QVERIFY(ShowSaveDialog(path, kIcfFilter, dialog));
        QCOMPARE(path, QStringLiteral("/radios/new.icf"));
        const auto &shown = user.shown().first();
        QCOMPARE(shown.kind, ScriptedSeam::Kind::SaveDialog);
        QCOMPARE(shown.request.title, QStringLiteral("Replix ICOM Radio   Save file"));
        QCOMPARE(shown.request.fileName, QStringLiteral("/radios/last.icf"));
        QCOMPARE(shown.request.filter, QStringLiteral("(*.icf) (*.icf)"));
        QCOMPARE(shown.request.flags, 0x281806);
        QCOMPARE(shown.request.defaultExt, QStringLiteral("icf"));
    }

    void cancellingEitherDialogGivesFalseAndAnEmptyPath()
    {
        ScriptedSeam user;
        user.answerOpen(QString());
        user.answerSave(QString());
        CommonDialog dialog;
        QString path = QStringLiteral("/radios/last.icf");
        QVERIFY(!ShowOpenDialog(path, kIcfFilter, dialog));
        QVERIFY(path.isEmpty());
        path = QStringLiteral("/radios/last.icf");
        QVERIFY(!ShowSaveDialog(path, kIcfFilter, dialog));
        QVERIFY(path.isEmpty());
        QCOMPARE(user.shown().last().request.fileName, QStringLiteral("/radios/last.icf"));
        QCOMPARE(user.unscripted(), 0);
        QVERIFY(user.messages().isEmpty());
    }

    void theTitlesFollowTheApplicationTitle()
    {
        SetAppTitle(QStringLiteral("Other"));
        ScriptedSeam user;
        CommonDialog dialog;
        QString path;
        ShowOpenDialog(path, kIcfFilter, dialog);
        ShowSaveDialog(path, kIcfFilter, dialog);
        QCOMPARE(user.shown().at(0).title, QStringLiteral("Other   Open file"));
        QCOMPARE(user.shown().at(1).title, QStringLiteral("Other   Save file"));
    }

    void aFailingDialogGivesFalseAndAnEmptyPath()
    {
        ThrowingSeam broken;
        CommonDialog dialog;
        QString path = QStringLiteral("/radios/last.icf");
        QVERIFY(!ShowSaveDialog(path, kIcfFilter, dialog));
        QVERIFY(path.isEmpty());
        path = QStringLiteral("x");
        QVERIFY(!ShowOpenDialog(path, kIcfFilter, dialog));
        QVERIFY(path.isEmpty());
    }

    // Qt's own dialog, through the seam's Qt implementation (offscreen, no native dialog).
    void theRealSaveDialogAddsIcfToATypedName()
    {
        QTemporaryDir dir;
        DialogDriver driver;
        QString title;
        onModal<QFileDialog>(driver, [&](QFileDialog *fileDialog) {
            auto *edit = fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(edit);
            title = fileDialog->windowTitle();
            edit->selectAll();  // typed over: an emptied name would select the folder itself
            QTest::keyClicks(edit, QStringLiteral("backup"));
            clickAccept(fileDialog);
        });
        CommonDialog dialog;
        QString path = dir.filePath("offered.icf");
        QVERIFY(ShowSaveDialog(path, kIcfFilter, dialog));
        QCOMPARE(QFileInfo(path).absoluteFilePath(), QFileInfo(dir.filePath("backup.icf")).absoluteFilePath());
        QCOMPARE(title, QStringLiteral("Replix ICOM Radio   Save file"));
        QVERIFY(!driver.fired());
    }

    void theRealSaveDialogAsksBeforeReplacingAFile()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("exists.icf"), oldBackup()));
        DialogDriver driver;
        QString question;
        bool stillOpenAfterNo = false;
        onModal<QFileDialog>(driver, [&](QFileDialog *fileDialog) {
            auto *edit = fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(edit);
            edit->selectAll();  // typed over: an emptied name would select the folder itself
            QTest::keyClicks(edit, QStringLiteral("exists"));  // the suffix is added, then asked
            onModal<QMessageBox>(driver, [&](QMessageBox *box) {
                question = box->text();
                box->button(QMessageBox::No)->click();
            });
            clickAccept(fileDialog);  // returns when the question is answered
            stillOpenAfterNo = fileDialog->isVisible();
            fileDialog->reject();
        });
        CommonDialog dialog;
        QString path = dir.filePath("exists.icf");
        QVERIFY(!ShowSaveDialog(path, kIcfFilter, dialog));
        QVERIFY(path.isEmpty());
        QVERIFY2(question.contains(QStringLiteral("exists.icf")), qPrintable(question));
        QVERIFY(stillOpenAfterNo);
        QCOMPARE(readFile(dir.filePath("exists.icf")), oldBackup());
        QVERIFY(!driver.fired());
    }

    void theRealOpenDialogTakesOnlyAnExistingFile()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("there.icf"), icfFile({})));
        DialogDriver driver;
        bool missingRefused = false;
        onModal<QFileDialog>(driver, [&](QFileDialog *fileDialog) {
            fileDialog->setDirectory(dir.path());
            auto *edit = fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(edit);
            QVERIFY(acceptButton(fileDialog));
            QTest::keyClicks(edit, QStringLiteral("missing.icf"));
            missingRefused = !acceptButton(fileDialog)->isEnabled();
            edit->selectAll();  // typed over: an emptied name would select the folder itself
            QTest::keyClicks(edit, QStringLiteral("there.icf"));
            clickAccept(fileDialog);
        });
        CommonDialog dialog;
        QString path;
        QVERIFY(ShowOpenDialog(path, kIcfFilter, dialog));
        QCOMPARE(QFileInfo(path).absoluteFilePath(), QFileInfo(dir.filePath("there.icf")).absoluteFilePath());
        QVERIFY(missingRefused);
        QVERIFY(!driver.fired());
    }
};

QTEST_MAIN(TestImage)
#include "test_image.moc"
