// replix-cli as a user runs it: the built program in a child process with no display, on files
// made here and against the virtual radio on a pseudo-terminal.

#include "cli/filecommands.h"
#include "tests/support/transferfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

RadioImage imageOf(int records, int recordSize = 32, quint16 start = 0x0100)
{
    const VirtualRadioOptions o = radioWith(records, recordSize, start);
    return {o.modelCode, o.comment, o.memory};
}

using Run = CommandResult;  // here of a whole replix-cli process

} // namespace

Q_DECLARE_METATYPE(VirtualRadioOptions)

class TestCli : public TransferFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup() { tearDownFixture(); }
    void fileCommands_data();
    void fileCommands();
    void exportThenImportGivesTheSameFile();
    void helpOfAVerbIsOneTextOnStandardOutput();
    void aFailedWriteIsAFailureAndKeepsTheEarlierFile();
    void transfers_data();
    void transfers();

private:
    // Runs replix-cli in folder m_dir with no display; the event loop turns meanwhile, so a
    // radio in this process answers.
    Run cli(const QStringList &args, const QString &standardOutput = {});
    void make(const QString &name, const QByteArray &content) { QVERIFY(writeFile(path(name), content)); }
};

void TestCli::init()
{
    setUpFixture();
    RadioImage whole = imageOf(4);
    make("whole.icf", RadioMemory::icfText(whole));
    make("crlf-as-cr.icf", RadioMemory::icfText(whole).replace("\r\n", "\r"));
    RadioImage changed = whole;
    changed.records[0].bytes[5] = char(changed.records[0].bytes[5] ^ 0x40);
    make("changed.icf", RadioMemory::icfText(changed));
    RadioImage missing = whole;
    missing.records.removeAt(2);
    make("missing.icf", RadioMemory::icfText(missing));
    RadioImage other = whole;
    other.modelCode[3] = 0x03;
    make("other-version.icf", RadioMemory::icfText(other));
    QList<QByteArray> lines = RadioMemory::icfText(whole).split('\n');
    lines[3].insert(4, 'Z');  // in line 4, a data line
    make("damaged.icf", lines.join('\n'));
    make("empty.icf", "");
    make("header.icf", "5A170002\r\n#VR-5A17 Ver 1.02\r\n");
    // Two records with a gap: 0100 4 bytes, 0123 2 bytes.
    make("gaps.icf", "5A170002\r\n#\r\n" + RadioMemory::encodeLine("0100044142437E") + "\r\n"
                         + RadioMemory::encodeLine("0123020010") + "\r\n");
    make("repeated.icf", RadioMemory::icfText(whole) + lines[2] + '\n');
    make("mixed.icf", RadioMemory::icfText(whole).replace("\r\n", "\n").replace("2\n#", "2\r#"));
    make("zeros.icf", "5A170002\r\n#\r\n" + RadioMemory::encodeLine("010000") + "\r\n");
    make("garbage.icf", QByteArray(300, '\x01') + "\r\n#" + QByteArray(5000, '~') + "\r\n");
    QVERIFY(QDir(m_dir->path()).mkdir("folder.icf"));
}

Run TestCli::cli(const QStringList &args, const QString &standardOutput)
{
    QProcess p;
    if (!standardOutput.isEmpty())
        p.setStandardOutputFile(standardOutput);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    env.insert("REPLIX_PORT_DIR", m_ports->path());
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(m_dir->path());
    QSignalSpy finished(&p, &QProcess::finished);
    p.start(QCoreApplication::applicationDirPath() + "/../cli/replix-cli", args);
    if (!p.waitForStarted() || !finished.wait(kTransferLimitMs))
        return {-1, {}, {}};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

void TestCli::fileCommands_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out");  // the whole of standard output
    QTest::addColumn<QByteArray>("err");  // the whole of standard error

    QTest::newRow("info of a whole file")
        << QStringList{"info", "whole.icf"} << 0
        << QByteArray("file: whole.icf\nmodel: 5A170002\ncomment: VR-5A17 Ver 1.02\nrecords: 4\n"
                      "record size: 32\naddresses: 0x0100-0x017F\ndata bytes: 128\nverdict: ok\n")
        << QByteArray();
    QTest::newRow("info: sizes, gap, escaped empty comment")
        << QStringList{"info", "gaps.icf"} << 0
        << QByteArray("file: gaps.icf\nmodel: 5A170002\ncomment: \nrecords: 2\nrecord size: 2, 4\n"
                      "addresses: 0x0100-0x0124\ndata bytes: 6\nverdict: ok\n") << QByteArray();
    QTest::newRow("info of an empty file, then a missing one and a folder")
        << QStringList{"info", "empty.icf", "nothing.icf", "folder.icf"} << 2
        << QByteArray("file: empty.icf\nmodel: \ncomment: \nverdict: damaged at line 1: no model line\n")
        << QByteArray("replix-cli: nothing.icf: No such file or directory\n"
                      "replix-cli: folder.icf: Is a directory\n");
    QTest::newRow("check: one verdict a file, 1 when one is not whole")
        << QStringList{"check", "whole.icf", "damaged.icf", "header.icf"} << 1
        << QByteArray("whole.icf: ok\ndamaged.icf: damaged at line 4, column 5: 'Z' is not a hex digit\nheader.icf: no memory records\n")
        << QByteArray();
    QTest::newRow("check: a record repeated, LF-only and mixed line ends")
        << QStringList{"check", "repeated.icf", "mixed.icf"} << 1
        << QByteArray("repeated.icf: damaged at line 7: addresses 0x0100-0x011F overlap line 3\n"
                      "mixed.icf: ok\n") << QByteArray();
    QTest::newRow("info: records without data, a garbage header cut short")
        << QStringList{"info", "zeros.icf", "garbage.icf"} << 0
        << "file: zeros.icf\nmodel: 5A170002\ncomment: \nrecords: 1\nrecord size: 0\n"
           "addresses: none (no record holds a byte)\ndata bytes: 0\nverdict: ok\n\n"
           "file: garbage.icf\nmodel: " + QByteArray("\\x01").repeated(64) + "... (300 bytes)\ncomment: "
           + QByteArray(64, '~') + "... (5000 bytes)\nverdict: no memory records\n" << QByteArray();
    QTest::newRow("export of records without data")
        << QStringList{"export", "zeros.icf", "--raw", "out.bin"} << 2 << QByteArray()
        << QByteArray("replix-cli: zeros.icf: no data bytes to export (its records hold none)\n");
    QTest::newRow("check of whole files") << QStringList{"check", "--", "whole.icf", "gaps.icf"} << 0
                                          << QByteArray("whole.icf: ok\ngaps.icf: ok\n") << QByteArray();
    QTest::newRow("diff: a changed byte")
        << QStringList{"diff", "whole.icf", "changed.icf"} << 1
        << QByteArray("0x0105-0x0105: 1 byte differs\nsummary: different: 1 byte differs in 1 range\n")
        << QByteArray();
    QTest::newRow("diff: a missing record")
        << QStringList{"diff", "whole.icf", "missing.icf"} << 1
        << QByteArray("0x0140-0x015F: 32 bytes only in whole.icf\n"
                      "summary: different: 32 bytes only in whole.icf\n") << QByteArray();
    QTest::newRow("diff: another model")
        << QStringList{"diff", "other-version.icf", "whole.icf"} << 1
        << QByteArray("model: 5A170003 | 5A170002\nsummary: different: model\n") << QByteArray();
    QTest::newRow("diff: the same image with lone CR line ends")
        << QStringList{"diff", "whole.icf", "crlf-as-cr.icf"} << 0
        << QByteArray("summary: identical: 128 bytes\n") << QByteArray();
    QTest::newRow("diff with a damaged file")
        << QStringList{"diff", "damaged.icf", "whole.icf"} << 2 << QByteArray()
        << QByteArray("replix-cli: damaged.icf: damaged at line 4, column 5: 'Z' is not a hex digit\n");
    QTest::newRow("dump: gaps are no bytes")
        << QStringList{"dump", "gaps.icf"} << 0
        << QByteArray("0100  41 42 43 7E -- -- -- --  -- -- -- -- -- -- -- --  |ABC~            |\n"
                      "0120  -- -- -- 00 10 -- -- --  -- -- -- -- -- -- -- --  |   ..           |\n")
        << QByteArray();
    QTest::newRow("unknown command")
        << QStringList{"inf", "whole.icf"} << 2 << QByteArray()
        << QByteArray("replix-cli: inf: unknown command (see replix-cli --help)\n");
    QTest::newRow("unknown option")
        << QStringList{"diff", "--brief", "a", "b"} << 2 << QByteArray()
        << QByteArray("replix-cli: --brief: unknown option of diff (see replix-cli diff --help)\n");
    QTest::newRow("write a damaged file: refused before any port")
        << QStringList{"write", "--port", "7", "damaged.icf"} << 2 << QByteArray()
        << QByteArray("replix-cli: damaged.icf: damaged at line 4, column 5: 'Z' is not a hex digit\n");
    QTest::newRow("no such port") << QStringList{"read", "--port", "COM7", "new.icf"} << 2
                                  << QByteArray() << QByteArray("replix-cli: COM7: no such port\n");

    const QStringList import{"import", "in.bin", "--model", "5A170002", "--comment", "c",
                             "--record-size", "32"};
    auto with = [&import](int at, const QString &value) {
        QStringList args = import;
        args[at] = value;
        return args << "out.icf";
    };
    auto refused = [](const QString &text) { return ("replix-cli: " + text + '\n').toUtf8(); };
    const QString size = QStringLiteral("--record-size: \"%1\" is not a number from 1 to 255");
    QTest::newRow("import: model of 7 digits")
        << with(3, "5A17000") << 2 << QByteArray()
        << refused("--model: \"5A17000\" is not 8 hex digits");
    QTest::newRow("import: comment of 17 bytes")
        << with(5, "0123456789abcdef\\x00") << 2 << QByteArray()
        << refused("--comment: 17 bytes, longer than 16");
    QTest::newRow("import: record size 0")
        << with(7, "0") << 2 << QByteArray() << refused(size.arg(0));
    QTest::newRow("import: record size 256")
        << with(7, "256") << 2 << QByteArray() << refused(size.arg(256));
    QTest::newRow("import: missing input") << with(1, "gone.bin") << 2 << QByteArray()
                                           << refused("gone.bin: No such file or directory");
    // A save over a device or a pipe would put a plain file in its place.
    QTest::newRow("export onto a pipe")
        << QStringList{"export", "whole.icf", "--raw", "pipe"} << 2 << QByteArray()
        << refused("pipe: not a regular file; only files are replaced");
    QTest::newRow("export of a damaged file")
        << QStringList{"export", "damaged.icf", "--raw", "out.icf"} << 2 << QByteArray()
        << refused("damaged.icf: damaged at line 4, column 5: 'Z' is not a hex digit");
}

void TestCli::fileCommands()
{
    QFETCH(QStringList, args);
    make("in.bin", QByteArray(100, 'x'));
    QVERIFY(::mkfifo(QFile::encodeName(path("pipe")).constData(), 0600) == 0);
    const QStringList before = filesIn(m_dir->path());
    const Run run = cli(args);
    QTEST(run.out, "out");
    QTEST(run.err, "err");
    QTEST(run.status, "status");
    QCOMPARE(filesIn(m_dir->path()), before);  // none writes, nor does a refused import or export
}

void TestCli::exportThenImportGivesTheSameFile()
{
    // A comment with a NUL, a backslash and a byte above 127; a short last record.
    RadioImage image = imageOf(5, 24, 0x0010);
    image.comment = QByteArray("A\0\\\xE9 b", 6);
    image.records.last().bytes.chop(7);
    make("odd.icf", RadioMemory::icfText(image));
    const Run exported = cli({"export", "odd.icf", "--raw", "odd.bin", "--fill", "00"});
    QCOMPARE(exported.out, QByteArray("model: 5A170002\ncomment: A\\x00\\x5C\\xE9 b\nstart: 0x0010\n"
                                      "record size: 24\nbytes: 113\n"));
    const Run imported = cli({"import", "odd.bin", "--model", "5A170002", "--comment",
                              "A\\x00\\x5C\\xE9 b", "--record-size", "24", "--start", "0x0010",
                              "copy.icf"});
    QCOMPARE(imported.err, QByteArray());
    QCOMPARE(fileBytes(path("copy.icf")), fileBytes(path("odd.icf")));
}

void TestCli::helpOfAVerbIsOneTextOnStandardOutput()
{
    const Run asked = cli({"help", "verify"});
    const Run flag = cli({"verify", "--port", "1", "--help"});
    QVERIFY2(asked.out.startsWith("Usage: replix-cli verify --port P"), asked.out.constData());
    QCOMPARE(flag.out, asked.out);
    QCOMPARE(asked.err + flag.err, QByteArray());
    QCOMPARE(asked.status + flag.status, 0);
}

void TestCli::aFailedWriteIsAFailureAndKeepsTheEarlierFile()
{
    for (const char *command : {"dump", "info", "check"}) {
        const Run run = cli({command, "whole.icf"}, "/dev/full");
        QCOMPARE(run.err, QByteArray("replix-cli: standard output: No space left on device\n"));
        QCOMPARE(run.status, 2);
    }
    if (::geteuid() != 0)
        QSKIP("a small full file system is mounted only when the tests run as root");
    const QString full = path("full");
    QVERIFY(QDir().mkdir(full));
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "replix-test", full}) != 0)
        QSKIP("mount refused a small tmpfs here (a container without the right to mount)");
    const auto unmount = qScopeGuard([&full] { QProcess::execute("umount", {full}); });
    const QByteArray earlier = "an earlier file\r\n";
    QFile filler(full + "/filler");
    QVERIFY(writeFile(full + "/old.bin", earlier) && writeFile(full + "/old.icf", earlier));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(512, 'f')) == 512) {}

    const Run exported = cli({"export", "whole.icf", "--raw", "full/old.bin"});
    QCOMPARE(exported.err, QByteArray("replix-cli: full/old.bin: No space left on device\n"));
    QCOMPARE(exported.status, 2);
    make("in.bin", QByteArray(100, 'x'));
    const Run imported = cli({"import", "in.bin", "--model", "5A170002", "--comment", "c",
                              "--record-size", "32", "full/old.icf"});
    QCOMPARE(imported.err, QByteArray("replix-cli: full/old.icf: No space left on device\n"));
    QCOMPARE(imported.status, 2);
    // The window's read, saved through the same kind of temporary file.
    connect(radioWith(40));
    transfer(false, full + "/old.icf");
    QCOMPARE(m_user->messages(), QStringList{"Unable to write to output file"});
    QCOMPARE(fileBytes(full + "/old.bin") + fileBytes(full + "/old.icf"), earlier + earlier);
    QCOMPARE(filesIn(full), (QStringList{"filler", "old.bin", "old.icf"}));
}

void TestCli::transfers_data()
{
    QTest::addColumn<VirtualRadioOptions>("radio");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("err");  // the last line of standard error
    QTest::addColumn<QByteArray>("out");

    const VirtualRadioOptions radio = radioWith(4);
    VirtualRadioOptions off = radio;
    off.radioOn = false;
    const QStringList write1{"write", "--port", "1"}, verify1{"verify", "--port", "1"};
    const QByteArray noResponse = "replix-cli: No response from radio.";
    QTest::newRow("read") << radio << QStringList{"read", "--port", "1", "old.icf"} << 0
                          << QByteArray("read: 4 records, 128 bytes") << QByteArray();
    QTest::newRow("read of a radio with no record: the old file stays")
        << radioWith(0) << QStringList{"read", "--port", "1", "old.icf"} << 1
        << QByteArray("replix-cli: The radio sent no memory records") << QByteArray();
    QTest::newRow("read, radio off: the old file stays")
        << off << QStringList{"read", "--port=COM1", "old.icf"} << 1 << noResponse << QByteArray();
    QTest::newRow("write of another version: no unless asked")
        << radio << write1 + QStringList{"other-version.icf"} << 1
        << QByteArray("replix-cli: Input file is for a different radio") << QByteArray();
    QTest::newRow("write of another version, accepted, at 19200") << radio
        << write1 + QStringList{"--accept-version", "--speed", "19200", "other-version.icf"}
        << 0 << QByteArray("replix-cli: Successful Write") << QByteArray();
    // verify compares as diff does; only the name of the radio's side is its own.
    QTest::newRow("verify, the same")
        << radio << verify1 + QStringList{"whole.icf"} << 0
        << QByteArray("verify: 4 records, 128 bytes")
        << QByteArray("summary: identical: 128 bytes\n");
    QTest::newRow("verify, a missing record")
        << radio << verify1 + QStringList{"--quiet", "missing.icf"} << 1 << QByteArray()
        << QByteArray("0x0140-0x015F: 32 bytes only in the radio\n"
                      "summary: different: 32 bytes only in the radio\n");
    QTest::newRow("verify, radio off")
        << off << verify1 + QStringList{"whole.icf"} << 1 << noResponse << QByteArray();
}

void TestCli::transfers()
{
    QFETCH(VirtualRadioOptions, radio);
    QFETCH(QStringList, args);
    const QByteArray old = "an earlier backup\r\n";
    make("old.icf", old);
    m_radio = std::make_unique<VirtualRadio>(radio);
    QVERIFY(m_radio->publishAs(*m_ports, 1));
    const QStringList before = filesIn(m_dir->path());
    const Run run = cli(args);
    const QList<QByteArray> errLines = run.err.trimmed().split('\n');
    QFETCH(QByteArray, err);
    QVERIFY2(err.isEmpty() ? run.err.isEmpty() : errLines.last().startsWith(err), run.err.constData());
    QTEST(run.out, "out");
    QTEST(run.status, "status");
    const QByteArray written = fileBytes(path(args.last()));
    if (args.first() == "read")  // the radio's image, or after a failure the old file as it was
        QCOMPARE(written, run.status == 0 ? icfOf(radio) : old);
    if (args.first() == "write" && run.status == 0)
        QCOMPARE(m_radio->writtenRecords(), RadioMemory::parseIcf(written)->records);
    QCOMPARE(filesIn(m_dir->path()), before);  // verify leaves nothing behind, nor does a read
}

QTEST_MAIN(TestCli)
#include "test_cli.moc"
