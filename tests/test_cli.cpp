// replix-cli as a user runs it: the built program in a child process with no display, on files
// made here and against the virtual radio on a pseudo-terminal.

#include "cli/filecommands.h"
#include "tests/support/transferfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

RadioImage imageOf(int records, int recordSize = 32, quint16 start = 0x0100)
{
    const VirtualRadioOptions o = radioWith(records, recordSize, start);
    return {o.modelCode, o.comment, o.memory};
}

using Run = CommandResult;  // here of a whole replix-cli process

}  // namespace

Q_DECLARE_METATYPE(VirtualRadioOptions)

class TestCli : public TransferFixture {
    Q_OBJECT

private slots:
    void init();
    void cleanup() { tearDownFixture(); }
    void fileCommands_data();
    void fileCommands();
    void fileCommandsAgreeWithAModel();
    void importAndExportAtTheirLimits();
    void helpOfAVerbIsOneTextOnStandardOutput();
    void aFailedWriteIsAFailureAndKeepsTheEarlierFile();
    void namesAreBytesToTheSystem();
    void transfers_data();
    void transfers();
    void portsBackupsAndCtrlC();
    void manyRadiosAtOnce();

private:
    // Runs replix-cli in folder m_dir with no display; the event loop turns meanwhile, so a
    // radio in this process answers. Leading "NAME=VALUE" arguments go to its environment, a
    // leading "<FILE" is its standard input; during runs once the program has started; standard
    // output may go to a file.
    Run cli(QStringList args, const std::function<void(QProcess &)> &during = {},
            const QString &standardOutput = {});
    void make(const QString &name, const QByteArray &content)
    {
        QVERIFY(writeFile(path(name), content));
    }
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
    RadioImage twoChanged = changed;  // and 0x0110-0x0111 too
    twoChanged.records[0].bytes.replace(16, 2, "\x01\x02");
    make("changes.icf", RadioMemory::icfText(twoChanged));
    for (char &c : changed.records[2].bytes)
        c = char(~c);
    make("inverted.icf", RadioMemory::icfText(changed));
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
    for (const char *name : {"at0-a.icf", "at0-b.icf"})  // the second byte at 0x0001 differs
        make(name, "5A170002\r\n#\r\n"
                       + RadioMemory::encodeLine(name[4] == 'a' ? "000002AA55" : "000002AA56")
                       + "\r\n");
    make("mixed.icf", RadioMemory::icfText(whole).replace("\r\n", "\n").replace("2\n#", "2\r#"));
    make("zeros.icf", "5A170002\r\n#\r\n" + RadioMemory::encodeLine("010000") + "\r\n");
    make("garbage.icf", QByteArray(300, '\x01') + "\r\n#" + QByteArray(5000, '~') + "\r\n");
    make("blank.icf", "   \r\n#\r\n");
    make("edges.icf", "5A170002\r\n#\r\n" + RadioMemory::encodeLine("FFFC041F207E7F")
                          + "\r\n");  // a model line of spaces only is an empty model
    QVERIFY(QDir(m_dir->path()).mkdir("folder.icf"));
}

Run TestCli::cli(QStringList args, const std::function<void(QProcess &)> &during,
                 const QString &standardOutput)
{
    QProcess p;
    if (!standardOutput.isEmpty())
        p.setStandardOutputFile(standardOutput);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    env.insert("REPLIX_PORT_DIR", m_ports->path());
    while (!args.isEmpty() && args.first().contains(u'=') && !args.first().startsWith(u'-')) {
        const QString setting = args.takeFirst();
        env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
    }
    if (!args.isEmpty() && args.first().startsWith(u'<'))
        p.setStandardInputFile(path(args.takeFirst().mid(1)));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(m_dir->path());
    QSignalSpy finished(&p, &QProcess::finished);
    const QString program = QCoreApplication::applicationDirPath() + "/../cli/replix-cli";
    // QProcess passes arguments as UTF-8; one holding a byte that is none (U+DC80-U+DCFF here
    // stands for the byte) goes through the shell's printf, byte for byte.
    const auto isByte = [](QChar c) { return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF; };
    if (std::any_of(args.begin(), args.end(),
                    [&](const QString &a) { return std::any_of(a.begin(), a.end(), isByte); })) {
        QString script = "exec \"$0\"";
        for (const QString &arg : args) {
            QByteArray bytes;
            for (qsizetype i = 0; i < arg.size(); ++i) {
                const qsizetype run = i;
                while (i < arg.size() && !isByte(arg[i]))
                    ++i;
                bytes += arg.mid(run, i - run).toUtf8();
                if (i < arg.size())
                    bytes += char(arg[i].unicode() - 0xDC00);
            }
            script += " \"$(printf '";
            for (const char b : bytes)
                script += QString("\\%1").arg(quint8(b), 3, 8, QChar('0'));
            script += "')\"";
        }
        p.start("/bin/sh", {"-c", script, program});
    } else {
        p.start(program, args);
    }
    const bool started = p.waitForStarted();
    if (started && during)
        during(p);
    if (!started || (finished.isEmpty() && !finished.wait(kTransferLimitMs)))
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

    // The cases as a user reads them, in tests/cli-files.txt.
    QFile cases(QFINDTESTDATA("cli-files.txt"));
    QVERIFY(cases.open(QIODevice::ReadOnly));
    QByteArray name, out, err;
    QStringList args;
    for (const QByteArray &line : cases.readAll().split('\n')) {
        const QByteArray text = line.mid(2);
        if (line.startsWith("== "))
            name = line.mid(3), out.clear(), err.clear();
        else if (line.startsWith("$ "))
            args = QString::fromUtf8(text).split(u' ');
        else if (line.startsWith('|') || line.startsWith('!'))
            (line.startsWith('|') ? out : err) += text + '\n';
        else if (line.startsWith("status "))
            QTest::newRow(name.constData()) << args << line.mid(7).toInt() << out << err;
    }
    QTest::newRow("export to standard output, the values beside it")
        << QStringList{"export", "gaps.icf", "--raw", "-", "--fill", "00"} << 0
        << QByteArray::fromHex("4142437E") + QByteArray(31, '\0') + QByteArray::fromHex("0010")
        << QByteArray("model: 5A170002\ncomment: \nstart: 0x0100\nrecord size: 4\nbytes: 37\n"
                      "replix-cli: gaps.icf: its records are not one run of equal size from the "
                      "lowest address; import will not give back the same file\n");
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

void TestCli::fileCommandsAgreeWithAModel()
{
    // Small random images (gaps, short records, records without data, bytes 00 7F FF, a last
    // byte at FFFF), each against a copy with changed and missing bytes. The model: a map of
    // address to byte, later records over earlier ones, and the outputs written from it here.
    QRandomGenerator random(20);
    const QByteArray odd("\x00\x7F\xFF\x20\x7E\x5C\x41\x80", 8);
    auto byte = [&] {
        return random.bounded(3) ? odd.at(random.bounded(8)) : char(random.bounded(256));
    };
    for (int round = 0; round < 6; ++round) {
        RadioImage a{QByteArray::fromHex("5A170002"), {}, {}};
        for (int n = random.bounded(17); n > 0; --n)
            a.comment +=
                random.bounded(2) ? odd.at(random.bounded(8)) : char(0x80 + random.bounded(128));
        int at = round % 2 ? 0x10000 - random.bounded(40, 90) : random.bounded(0x30);
        if (round == 0)  // a record without data before a gap
            a.records << RadioRecord{quint16(at), {}};
        at += round == 0 ? 3 : 0;
        for (int n = 1 + random.bounded(5); n > 0 && at < 0x10000; --n) {
            const int size = std::min(random.bounded(1, 20), 0x10000 - at);
            RadioRecord r{quint16(at), {}};
            for (int i = 0; i < size; ++i)
                r.bytes += byte();
            a.records << r;
            at += size + (random.bounded(3) ? 0 : random.bounded(1, 40));
        }
        RadioRecord &last =
            a.records.last();  // its last byte at FFFF, or alone on the dump's last line
        const int end = last.address + int(last.bytes.size());
        last.bytes += QByteArray(round % 2    ? 0x10000 - end
                                 : round == 2 ? (16 - end % 16) % 16 + 1
                                              : 0,
                                 '\x7F');
        RadioImage b = a;
        b.records.removeAt(random.bounded(int(b.records.size())));
        for (RadioRecord &r : b.records)
            if (!r.bytes.isEmpty())
                r.bytes[random.bounded(int(r.bytes.size()))] = byte();
        make("a.icf", RadioMemory::icfText(a));
        make("b.icf", RadioMemory::icfText(b));
        auto mapOf = [](const RadioImage &image) {
            QMap<int, char> map;
            for (const RadioRecord &r : image.records)
                for (int i = 0; i < r.bytes.size(); ++i)
                    map[r.address + i] = r.bytes.at(i);
            return map;
        };
        const QMap<int, char> ma = mapOf(a), mb = mapOf(b);
        QByteArray dump, raw, comment;
        for (int row = ma.firstKey() & ~15, last = row - 16; row <= ma.lastKey(); row += 16) {
            QByteArray hex = QByteArray::number(row, 16).toUpper().rightJustified(4, '0') + ' ',
                       text;
            for (int i = 0; i < 16; ++i) {
                hex += i == 8 ? "  " : " ";
                hex += ma.contains(row + i) ? QByteArray(1, ma[row + i]).toHex().toUpper() : "--";
                const uchar c = ma.value(row + i, ' ');
                text += c >= ' ' && c <= '~' ? char(c) : '.';
            }
            if (hex.count("--") == 16)
                continue;
            dump += (row > last + 16 ? "*\n" : "") + hex + "  |" + text + "|\n";
            last = row;
        }
        for (int i = ma.firstKey(); i <= ma.lastKey(); ++i)
            raw += ma.value(i, '\0');
        for (const char c : a.comment)
            comment += uchar(c) >= ' ' && uchar(c) <= '~' && c != '\\'
                           ? QByteArray(1, c)
                           : "\\x" + QByteArray(1, c).toHex().toUpper();
        QCOMPARE(cli({"dump", "a.icf"}).out, "model: 5A170002\ncomment: " + comment + '\n' + dump);
        const QList<QByteArray> info = cli({"info", "a.icf"}).out.split('\n');
        QCOMPARE(
            info.mid(2, 2),
            QList<QByteArray>(
                {"comment: " + comment,
                 QByteArray("records: %1").replace("%1", QByteArray::number(a.records.size()))}));
        QCOMPARE(
            info.at(5),
            QString::asprintf("addresses: 0x%04X-0x%04X", ma.firstKey(), ma.lastKey()).toLatin1());
        QCOMPARE(info.at(6),
                 "data bytes: "
                     + QByteArray::number(std::accumulate(
                         a.records.begin(), a.records.end(), 0,
                         [](int n, const RadioRecord &r) { return n + int(r.bytes.size()); })));
        // diff's summary: bytes that differ and their runs, bytes held by one side only.
        int differ = 0, ranges = 0, onlyA = 0;
        for (int i = 0; i < 0x10000; ++i) {
            const bool d = ma.contains(i) && mb.contains(i) && ma[i] != mb[i];
            differ += d;
            ranges += d && !(ma.contains(i - 1) && mb.contains(i - 1) && ma[i - 1] != mb[i - 1]);
            onlyA += ma.contains(i) && !mb.contains(i);
        }
        QStringList summary;
        if (differ)
            summary << QStringLiteral("%1 byte%2 in %3 range%4")
                           .arg(differ)
                           .arg(differ == 1 ? " differs" : "s differ")
                           .arg(ranges)
                           .arg(ranges == 1 ? "" : "s");
        if (onlyA)
            summary
                << QStringLiteral("%1 byte%2 only in a.icf").arg(onlyA).arg(onlyA == 1 ? "" : "s");
        const Run diff = cli({"diff", "a.icf", "b.icf"});
        QCOMPARE(diff.out.split('\n').at(diff.out.count('\n') - 1),
                 (summary.isEmpty() ? QStringLiteral("summary: identical: %1 bytes").arg(ma.size())
                                    : "summary: different: " + summary.join(", "))
                     .toUtf8());
        // export gives the bytes from the lowest address to the highest, gaps as the fill,
        // and the values with which import gives them back.
        const QList<QByteArray> values =
            cli({"export", "a.icf", "--raw", "a.bin", "--fill", "00"}).out.split('\n');
        QCOMPARE(fileBytes(path("a.bin")), raw);
        QCOMPARE(values.at(1), "comment: " + comment);
        const Run imported =
            cli({"<a.bin", "import", "-", "--model", "5A170002", "--comment", values.at(1).mid(9),
                 "--record-size", "16", "--start", values.at(2).mid(7), "c.icf"});
        QCOMPARE(imported.err, QByteArray());
        const QList<QByteArray> infoC = cli({"info", "c.icf"}).out.split('\n');
        QCOMPARE(infoC.at(2) + infoC.at(5), info.at(2) + info.at(5));  // comment and addresses
        QCOMPARE(cli({"export", "c.icf", "--raw", "c.bin"}).status, 0);
        QCOMPARE(fileBytes(path("c.bin")), raw);
    }
}

// The largest record size, the last address, a comment of 16 bytes, a raw file of 64 KiB
// exactly and of one byte more; an image whose last record is shorter than the others.
void TestCli::importAndExportAtTheirLimits()
{
    const QStringList import{
        "import",        "--model", "5a170002", "--comment", "0123456789ABCDE\\xFF",
        "--record-size", "255"};
    make("one.bin", "Z");
    QCOMPARE(cli(import + QStringList{"--start", "0xffff", "one.bin", "top.icf"}).err,
             QByteArray());
    QCOMPARE(
        cli({"info", "top.icf"}).out,
        QByteArray("file: top.icf\nmodel: 5A170002\ncomment: 0123456789ABCDE\\xFF\nrecords: 1\n"
                   "record size: 1\naddresses: 0xFFFF-0xFFFF\ndata bytes: 1\nverdict: ok\n"));
    QCOMPARE(cli({"export", "top.icf", "--raw", "top.bin"}).status, 0);  // a write of one byte
    QCOMPARE(fileBytes(path("top.bin")), QByteArray("Z"));
    const QByteArray raw = QByteArray::fromHex("00FF7F3A").repeated(0x4000);
    make("all.bin", raw);
    QCOMPARE(cli(import + QStringList{"all.bin", "all.icf"}).err, QByteArray());
    // 257 records of 255 bytes and a last one of 1: export finds no fault in a short last record.
    QCOMPARE(cli({"info", "all.icf"}).out.split('\n').mid(3, 4),
             QList<QByteArray>({"records: 258", "record size: 1, 255", "addresses: 0x0000-0xFFFF",
                                "data bytes: 65536"}));
    const Run exported = cli({"export", "all.icf", "--raw", "back.bin"});
    QCOMPARE(exported.err, QByteArray());
    QVERIFY(exported.out.endsWith("start: 0x0000\nrecord size: 255\nbytes: 65536\n"));
    QCOMPARE(fileBytes(path("back.bin")), raw);
    make("over.bin", raw + 'Z');
    const Run over = cli(import + QStringList{"over.bin", "over.icf"});
    QCOMPARE(over.err,
             QByteArray("replix-cli: over.bin: 65537 bytes from 0x0000 run past address 0xFFFF\n"));
    QVERIFY(over.status == 2 && !QFile::exists(path("over.icf")));
}

void TestCli::helpOfAVerbIsOneTextOnStandardOutput()
{
    const Run asked = cli({"help", "verify"});
    const Run flag = cli({"verify", "--port", "1", "--help"});
    QVERIFY2(asked.out.startsWith("Usage: replix-cli verify --port P"), asked.out.constData());
    // The texts themselves are kept in tests/cli-help.txt (the shell test): here, the three
    // ways of asking give the one text, on standard output.
    QCOMPARE(flag.out, asked.out);
    QCOMPARE(cli({"-h", "verify"}).out, asked.out);
    QCOMPARE(asked.err + flag.err, QByteArray());
    QCOMPARE(asked.status + flag.status, 0);
    const Run unknown = cli({"help", "veryfy"});
    QCOMPARE(unknown.err.left(unknown.err.indexOf('(')),
             QByteArray("replix-cli: veryfy: unknown command "));
    QCOMPARE(unknown.out + QByteArray::number(unknown.status), QByteArray("2"));
}

void TestCli::aFailedWriteIsAFailureAndKeepsTheEarlierFile()
{
    // Every answer on standard output is checked; export makes no raw file without its values.
    for (const QStringList &args : {QStringList{"dump", "whole.icf"},
                                    {"info", "whole.icf"},
                                    {"check", "whole.icf"},
                                    {"ports", "--json"},
                                    {"--version"},
                                    {"help"},
                                    {"export", "whole.icf", "--raw", "e.bin"}}) {
        const Run run = cli(args, {}, "/dev/full");
        QCOMPARE(run.err, QByteArray("replix-cli: standard output: No space left on device\n"));
        QCOMPARE(run.status, 2);
    }
    QVERIFY(!QFile::exists(path("e.bin")));
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
    m_radio = std::make_unique<VirtualRadio>(radioWith(40));
    QVERIFY(m_radio->publishAs(*m_ports, 1));
    QCOMPARE(cli({"read", "--port", "1", "--quiet", "--backup-dir", "full"}).err,
             QByteArray("replix-cli: full: No space left on device\n"));
    // The window's read, saved through the same kind of temporary file.
    connect(radioWith(40));
    transfer(false, full + "/old.icf");
    QCOMPARE(m_user->messages(), QStringList{"Unable to write to output file"});
    QCOMPARE(fileBytes(full + "/old.bin") + fileBytes(full + "/old.icf"), earlier + earlier);
    QCOMPARE(filesIn(full), (QStringList{"filler", "old.bin", "old.icf"}));
}

void TestCli::namesAreBytesToTheSystem()
{
    // A name made under a Latin-1 locale ("\xE9" is its e acute) is no UTF-8: the file named is
    // the one read, a new file gets exactly the bytes given, and messages show them as \xNN.
    // In the arguments here U+DC00 + b stands for the byte b.
    const QByteArray folder = QFile::encodeName(m_dir->path()) + '/';
    // Qt could not remove these names with the folder.
    const auto remove = qScopeGuard([&folder] {
        for (const char *name : {"lat\xE9.icf", "raw\xFF", "out\xE9.icf"})
            ::unlink(folder + name);
    });
    QVERIFY(::link(folder + "whole.icf", folder + "lat\xE9.icf") == 0);
    const QString latin = QString("lat") + QChar(0xDCE9) + ".icf";
    const Run check = cli({"check", latin});
    QCOMPARE(check.status, 0);
    QCOMPARE(check.out.left(check.out.indexOf(':')), QByteArray("lat\\xE9.icf"));
    const Run refused = cli({"import", "whole.icf", "--model", "5A170002", "--comment", "c",
                             "--record-size", "16", latin});
    QCOMPARE(refused.err, QByteArray("replix-cli: lat\\xE9.icf: is both the file to write and the "
                                     "raw input (whole.icf)\n"));
    QCOMPARE(cli({"export", latin, "--raw", QString("raw") + QChar(0xDCFF)}).status, 0);
    // What is UTF-8 shows as it is (two, three and four bytes, and the last character there is,
    // U+10FFFF); an overlong form, a surrogate, a character past U+10FFFF and a lead byte
    // without its follower are bytes.
    const auto bytes = [](const char *text) {
        QString carried;
        for (const char *c = text; *c; ++c)
            carried += QChar(char16_t(0xDC00 + quint8(*c)));
        return carried;
    };
    QCOMPARE(cli({"check",
                  "a" + bytes("\xC0\x80") + "b" + bytes("\xED\xA0\x80") + "c"
                      + QString::fromUcs4(U"\U0010FFFF") + "d" + bytes("\xF4\x90\x80\x80")
                      + QString::fromUcs4(U"\u00E9\u20AC\U0001F600") + bytes("\xC1\xBF\xC3") + "A"
                      + QString::fromUcs4(U"\uF000")
                      + bytes("\xF0\x8F\xBF\xBF\xF5\x80\x80\x80\xC3\xC0\xE2\x82\xC0\xE0\x9F\xBF")
                      + "BC" + QChar(0x20AC) + QChar(0xFF)})
                 .err,
             QByteArray("replix-cli: a\\xC0\\x80b\\xED\\xA0\\x80c\xF4\x8F\xBF\xBF"
                        "d\\xF4\\x90\\x80\\x80\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\\xC1\\xBF\\xC3A"
                        "\xEF\x80\x80\\xF0\\x8F\\xBF\\xBF\\xF5\\x80\\x80\\x80\\xC3\\xC0"
                        "\\xE2\\x82\\xC0\\xE0\\x9F\\xBFBC\xE2\x82\xAC\xC3\xBF: "
                        "No such file or directory\n"));
    QCOMPARE(fileBytes(path("whole.icf")), RadioMemory::icfText(imageOf(4)));

    m_radio = std::make_unique<VirtualRadio>(radioWith(4));
    QVERIFY(m_radio->publishAs(*m_ports, 1));
    const Run read = cli({"read", "--port", "1", QString("out") + QChar(0xDCE9) + ".icf"});
    QCOMPARE(read.status, 0);
    QVERIFY2(read.err.endsWith(": out\\xE9.icf\n"), read.err.constData());
    QCOMPARE(fileBytes(path("whole.icf")), RadioMemory::icfText(imageOf(4)));
    QFile made;
    const int handle = ::open(folder + "out\xE9.icf", O_RDONLY);
    QVERIFY(handle >= 0 && made.open(handle, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
    QCOMPARE(made.readAll(), icfOf(radioWith(4)));
    // Nothing else was made: the names given, as bytes, are the only new ones.
    QList<QByteArray> names;
    DIR *listing = ::opendir(folder.constData());
    QVERIFY(listing);
    while (const dirent *entry = ::readdir(listing))
        if (QByteArray name(entry->d_name);
            name.startsWith("out") || name.startsWith("raw") || name.startsWith("lat"))
            names << name;
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    QCOMPARE(names, (QList<QByteArray>{"lat\xE9.icf", "out\xE9.icf", "raw\xFF"}));
}

void TestCli::transfers_data()
{
    QTest::addColumn<VirtualRadioOptions>("radio");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("err");  // a pattern of the whole of standard error
    QTest::addColumn<QByteArray>("out");

    const VirtualRadioOptions radio = radioWith(4);
    VirtualRadioOptions off = radio;
    off.radioOn = false;
    const QStringList write1{"write", "--port", "1"}, verify1{"verify", "--port", "1"};
    const QString noResponse = "replix-cli: /dev/pts/[0-9]+: No response from radio\\.\n";
    const auto row = [](const char *name, const VirtualRadioOptions &radio, const QStringList &args,
                        int status, const QString &err, const QByteArray &out = {}) {
        QTest::newRow(name) << radio << args << status << err << out;
    };
    row("read, its last line", radio, {"read", "--port", "1", "old.icf"}, 0,
        "(read old.icf: [1-4] records?, .*\n)*read: 4 records, 128 bytes in [0-9]+\\.[0-9] s: "
        "old.icf\n");
    row("read of a radio with no record: the old file stays", radioWith(0),
        {"read", "--port", "1", "old.icf"}, 4,
        "replix-cli: /dev/pts/[0-9]+: The radio sent no memory records\n");
    row("read, radio off: the old file stays", off, {"read", "--port=COM1", "old.icf"}, 4,
        noResponse);
    row("write of another version: no unless asked, one line", radio,
        write1 + QStringList{"other-version.icf"}, 1,
        "replix-cli: other-version.icf: made for 5A170003, the radio is 5A170002 \\(other "
        "version\\): --accept-version writes it\n");
    row("write of another version, accepted, at 19200, progress", radio,
        write1 + QStringList{"--accept-version", "--speed", "19200", "other-version.icf"}, 0,
        "replix-cli: .*writing it \\(--accept-version\\)\nwrite other-version.icf: 1 of 4 records, "
        "25%, [0-9]+ s left\n(write .*\n)*write: 4 records, 128 bytes in .*\n");
    // verify compares as diff does; only the name of the radio's side is its own.
    row("verify, the same", radio, verify1 + QStringList{"whole.icf"}, 0,
        "(verify whole.icf: .*\n)*verify: 4 records, 128 bytes in .* s: whole.icf\n",
        QByteArray("summary: identical: 128 bytes\n"));
    row("verify, a changed byte", radio, verify1 + QStringList{"--quiet", "changed.icf"}, 1, "",
        QByteArray("0x0105: F9 -> B9\nsummary: different: 1 byte differs in 1 range\n"));
    VirtualRadioOptions lossy = radio;
    lossy.dropRecord = 3;  // a frame lost on the line: no whole image, the old file stays
    row("read of a radio that loses a record", lossy, {"read", "--port", "1", "--quiet", "old.icf"},
        4, "replix-cli: /dev/pts/[0-9]+: Data corrupted in transmission\n");
    VirtualRadioOptions silent = radio;
    silent.silentAfterRecords = 2;
    row("write that fails midway: the radio may hold a mix", silent,
        write1 + QStringList{"--quiet", "whole.icf"}, 4,
        noResponse
            + "replix-cli: whole.icf: The radio may now hold part of the new image and part of the "
              "old: a whole write of this file, or a write of the backup, puts it right\\.\n");
    row("write with its own file as the backup", radio,
        write1 + QStringList{"--backup", "./whole.icf", "whole.icf"}, 2,
        "replix-cli: \\./whole\\.icf: is both the backup and the file to write "
        "\\(whole\\.icf\\)\n");
    row("verify, radio off", off, verify1 + QStringList{"whole.icf"}, 4, noResponse);
    row("write, its backup read fails: one line", off,
        write1 + QStringList{"--backup", "new.icf", "whole.icf"}, 4,
        noResponse.chopped(1) + " \\(the backup read into new\\.icf; whole\\.icf not written\\)\n");
    row("write refused after its backup: the backup's note is not said", radio,
        write1 + QStringList{"--backup", "old.icf", "other-version.icf"}, 1,
        "(read old.icf: .*\n)*read: 4 records, 128 bytes in .*: old.icf\nreplix-cli: "
        "other-version.icf: made for 5A170003, the radio is 5A170002 \\(other version\\): "
        "--accept-version writes it\n");
    row("trace: each frame, sent > and received <, no trailing space", radio,
        {"read", "--port", "1", "--quiet", "--trace", "old.icf"}, 0,
        "> FE FE EE EF E0 00 00 00 00 FD\n< FE FE EE EF E0 00 00 00 00 FD\n"
        "(([<>] [0-9A-F]{2})( [0-9A-F]{2})*\n)+");
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
    QFETCH(QString, err);
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(err)).match(run.err).hasMatch(),
             run.err.constData());
    QTEST(run.out, "out");
    QTEST(run.status, "status");
    const QByteArray written = fileBytes(path(args.last()));
    if (args.first() == "read")  // the radio's image, or after a failure the old file as it was
        QCOMPARE(written, run.status == 0 ? icfOf(radio) : old);
    if (args.first() == "write" && run.status == 0)
        QCOMPARE(m_radio->writtenRecords(), RadioMemory::parseIcf(written)->records);
    QCOMPARE(filesIn(m_dir->path()), before);  // verify leaves nothing behind, nor does a read
}

void TestCli::portsBackupsAndCtrlC()
{
    const VirtualRadioOptions radio = radioWith(4);
    m_radio = std::make_unique<VirtualRadio>(radio);
    QVERIFY(m_radio->publishAs(*m_ports, 1));
    QVERIFY(QFile::link("/no/such/device", m_ports->path() + "/COM2"));
    QVERIFY(writeFile(m_ports->path() + "/COM100", "tcp://radio.invalid:7001\n"));
    QVERIFY(writeFile(m_ports->path() + "/COM101", "rfc2217://\n"));
    const Run ports = cli({"ports"});
    QCOMPARE(ports.out, ("1 " + m_radio->devicePath() + ": free\n2 " + m_ports->path()
                         + "/COM2: missing: No such device\n"
                           "100 tcp://radio.invalid:7001: address, not probed\n101 rfc2217://: not "
                           "openable: not an address of the form rfc2217://HOST:PORT or "
                           "tcp://HOST:PORT\n")
                            .toUtf8());
    const QJsonDocument json = QJsonDocument::fromJson(cli({"ports", "--json"}).out);
    QCOMPARE(json[1]["port"].toInt() + json[0]["port"].toInt(), 3);
    QCOMPARE(json[1]["state"].toString() + json[0]["device"].toString(),
             "missing" + m_radio->devicePath());

    // Backups: a new name each time, never over another file; a write only after its backup.
    QVERIFY(QDir(m_dir->path()).mkdir("bk"));
    const Run first = cli({"read", "--port", "1", "--quiet", "--backup-dir", "bk"});
    const Run second = cli({"read", "--port", "1", "--quiet", "--backup-dir", "bk"});
    QVERIFY2(QRegularExpression("bk/5A170002-[0-9]{8}-[0-9]{4}(-2)?\\.icf\n")
                 .match(first.out + second.out)
                 .hasMatch(),
             first.err);
    QCOMPARE(filesIn(path("bk")).size(), 2);
    for (const QString &name : filesIn(path("bk")))
        QCOMPARE(fileBytes(path("bk/" + name)), icfOf(radio));
    make("before.icf", "old");
    QCOMPARE(
        cli({"write", "--port", "1", "--quiet", "--backup", "before.icf", "changed.icf"}).status,
        0);
    QCOMPARE(fileBytes(path("before.icf")), icfOf(radio));
    QCOMPARE(m_radio->writtenRecords(),
             RadioMemory::parseIcf(fileBytes(path("changed.icf")))->records);
    // An editor's byte-order mark and spaces around the model: check and write agree, both take it.
    make("bom.icf", "\xEF\xBB\xBF" + fileBytes(path("whole.icf")).replace("02\r\n#", "02  \r\n#"));
    QCOMPARE(cli({"check", "bom.icf"}).out, QByteArray("bom.icf: ok\n"));
    QCOMPARE(cli({"write", "--port", "1", "--quiet", "bom.icf"}).status, 0);
    QCOMPARE(m_radio->writtenRecords(),
             RadioMemory::parseIcf(fileBytes(path("whole.icf")))->records);

    // With --json, one object tells how the transfer went, on which device, into which file.
    const Run asJson = cli({"read", "--port", "1", "--quiet", "--json", "json.icf"});
    const QJsonObject said = QJsonDocument::fromJson(asJson.out).object();
    QCOMPARE(said["file"].toString() + said["port"].toString() + said["device"].toString()
                 + said["reason"].toString(),
             "json.icf1" + m_radio->devicePath());
    QCOMPARE(said["status"].toInt(-1) + asJson.status, 0);
    QCOMPARE(fileBytes(path("json.icf")), icfOf(radio));

    VirtualRadioOptions silent = radio;
    silent.silentAfterRecords = 2;  // a backup read that does not end: no write
    m_radio = std::make_unique<VirtualRadio>(silent);
    QVERIFY(m_radio->publishAs(*m_ports, 1));
    const QStringList before = filesIn(m_dir->path());
    for (const auto &[signal, said] :
         {std::pair{SIGTERM, "terminated"}, {SIGHUP, "hung up"}, {SIGINT, "interrupted"}}) {
        const Run stopped =
            cli({"write", "--port", "1", "--backup", "before.icf", "whole.icf"},
                [signal = signal](QProcess &p) {
                    p.setReadChannel(QProcess::StandardError);
                    QTRY_VERIFY_WITH_TIMEOUT(p.peek(100).startsWith("read before.icf: 1 record,"),
                                             kTransferLimitMs);
                    QVERIFY(::kill(pid_t(p.processId()), signal) == 0);
                });
        // The radio heard no write: nothing to say of a part-written image.
        QVERIFY2(stopped.status == 128 + signal
                     && stopped.err.endsWith("\nreplix-cli: " + QByteArray(said) + "\n")
                     && !stopped.err.contains("may now hold"),
                 stopped.err.constData());
        QCOMPARE(fileBytes(path("before.icf")), icfOf(radio));
        QCOMPARE(m_radio->writtenRecords(), QList<RadioRecord>());
        QCOMPARE(filesIn(m_dir->path()), before);
    }

    // A server that closes the connection at the first frame: named, not taken for the cable.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
        QTcpSocket *s = server.nextPendingConnection();
        QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->close(); });
    });
    const QString address = QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort());
    const Run closed = cli({"read", "--port", address, "--quiet", "gone.icf"});
    QCOMPARE(closed.err, "replix-cli: " + address.toUtf8()
                             + ": the connection closed during the transfer (Unable to locate "
                               "interface cable.)\n");
    QCOMPARE(closed.status, 4);
}

// One conversation a port, all at once: each radio gets the whole file, a radio that is off
// fails alone and sets the status, a port named twice stops everything before it starts.
void TestCli::manyRadiosAtOnce()
{
    const QList<RadioRecord> records = RadioMemory::parseIcf(fileBytes(path("whole.icf")))->records;
    std::vector<std::unique_ptr<VirtualRadio>> radios;
    for (int n = 1; n <= 4; ++n) {
        VirtualRadioOptions o = radioWith(4);
        o.memory.clear();
        o.radioOn = n != 3;
        radios.push_back(std::make_unique<VirtualRadio>(o));
        QVERIFY(radios.back()->publishAs(*m_ports, n));
    }
    const Run twice = cli({"write", "--port", "2,COM2", "whole.icf"});
    QCOMPARE(twice.status, 2);
    QVERIFY(twice.err.startsWith("replix-cli: --port: 2 and COM2 are the same port"));
    QVERIFY(radios[1]->framesFromTool().isEmpty());

    const Run run = cli({"write", "--port", "1-4", "--quiet", "whole.icf"});
    QCOMPARE(run.status, 4);
    QVERIFY2(run.err.endsWith("port 3: write failed: No response from radio.\n"
                              "write: 3 of 4 radios written; port 3: No response from radio\n"),
             run.err.constData());
    for (int n : {0, 1, 3})
        QCOMPARE(radios[n]->writtenRecords(), records);
    QCOMPARE(radios[2]->writtenRecords(), QList<RadioRecord>());

    // Backups of one model made in the same minute carry their port.
    QVERIFY(QDir(m_dir->path()).mkdir("bk"));
    const Run read = cli({"read", "--port", "1,2", "--quiet", "--backup-dir", "bk", "--json"});
    QCOMPARE(read.status, 0);
    QCOMPARE(filesIn(path("bk")).size(), 2);
    for (const QString &name : filesIn(path("bk"))) {
        QVERIFY2(
            QRegularExpression("5A170002-[0-9]{8}-[0-9]{4}-port[12]\\.icf").match(name).hasMatch(),
            qPrintable(name));
        QCOMPARE(RadioMemory::parseIcf(fileBytes(path("bk/" + name)))->records, records);
    }

    // Each radio is held against the file on its own: the one that differs fails alone.
    QCOMPARE(cli({"write", "--port", "4", "--quiet", "changed.icf"}).status, 0);
    const Run verify = cli({"verify", "--port", "1,4", "--quiet", "--json", "changed.icf"});
    QCOMPARE(verify.status, 1);
    QVERIFY2(verify.err.endsWith("verify: 1 of 2 radios verified; port 1: differs from "
                                 "changed.icf\n"),
             verify.err.constData());
    const QList<QByteArray> lines = verify.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    const QJsonObject first = QJsonDocument::fromJson(lines[0]).object(),
                      second = QJsonDocument::fromJson(lines[1]).object();
    QCOMPARE(first["port"].toString() + second["port"].toString(), QString("14"));
    QCOMPARE(first["status"].toInt() * 10 + second["status"].toInt(), 10);
    QCOMPARE(first["comparison"]["bytes_differ"].toInt() * 10
                 + second["comparison"]["bytes_differ"].toInt(),
             10);
    QVERIFY(second["comparison"]["identical"].toBool()
            && first["reason"] == "differs from changed.icf");
}

QTEST_MAIN(TestCli)
#include "test_cli.moc"
