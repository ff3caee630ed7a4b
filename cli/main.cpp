// replix-cli: the command line companion of Replix. File commands look at, compare and convert
// ICF files; transfer commands run the window's own read and write without showing a window.

#include "cli/filecommands.h"
#include "cli/transfercommands.h"
#include "serial/serialcontrol.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Option {
    const char *name;   // without the leading "--"
    const char *value;  // the value's name, or nullptr for a switch
    const char *help;
};

struct Command {
    const char *name;
    const char *synopsis;
    const char *summary;
    QList<Option> options;
    int leastFiles;
    int mostFiles;  // -1: any number
};

const Option kPort{"port", "P",
                   "port number as the window lists it (1, COM1; see ports), or a device path"};
const Option kSpeed{"speed", "BPS", "line speed in bit/s (default 9600):"};
const Option kJson{"json", nullptr,
                   "the result as JSON (keys under \"JSON output\" in replix-cli --help)"};
const Option kQuiet{"quiet", nullptr, "no progress on standard error"};
const Option kTrace{"trace", nullptr, "the conversation log on standard error as it happens"};

const QList<Command> &commands()
{
    static const QList<Command> list{
        {"info",
         "[--json] FILE...",
         "model, comment, records, record sizes, addresses, data bytes and verdict of each file",
         {kJson},
         1,
         -1},
        {"check",
         "[--json] FILE...",
         "one verdict a file (ok, damaged at line N, no memory records); status 0 only when all "
         "are whole",
         {kJson},
         1,
         -1},
        {"diff",
         "[--json] A B",
         "model, comment and changed address ranges of two images with their byte values (old -> "
         "new, 16 a range and a count of the rest); status 0 same, 1 different, 2 trouble",
         {kJson},
         2,
         2},
        {"dump",
         "FILE",
         "the memory image as a hex dump, 16 bytes a line; a line \"*\" where lines are skipped",
         {},
         1,
         1},
        {"export",
         "FILE --raw OUT.bin [--fill HH]",
         "the image as raw bytes from its lowest address, with the values import needs",
         {{"raw", "OUT.bin", "the raw file to write"},
          {"fill", "HH", "byte for addresses no record holds (default FF)"}},
         1,
         1},
        {"import",
         "IN.bin --model HEX --comment TEXT --record-size N [--start ADDR] OUT.icf",
         "raw bytes back into an ICF file",
         {{"model", "HEX", "model code, 8 hex digits"},
          {"comment", "TEXT", "comment, up to 16 bytes; \\xNN for any byte"},
          {"record-size", "N", "data bytes a record, 1 to 255"},
          {"start", "ADDR", "address of the first byte, decimal or 0x hex (default 0)"}},
         2,
         2},
        {"read",
         "--port P [--speed BPS] (OUT.icf | --backup-dir DIR)",
         "read the radio's memory into OUT.icf (an earlier file stays as it was if the read fails)",
         {kPort,
          kSpeed,
          {"backup-dir", "DIR",
           "save to a new file in DIR named from the model and the time "
           "(5A170002-20261207-1432.icf), never replacing one; prints its name"},
          kQuiet,
          kTrace},
         0,
         1},
        {"write",
         "--port P [--speed BPS] [--accept-version] [--backup FILE] IN.icf",
         "write IN.icf into the radio",
         {kPort,
          kSpeed,
          {"accept-version", nullptr, "write a file made for another version of the radio's model"},
          {"backup", "FILE",
           "read the radio into FILE first; write only when that read succeeded whole"},
          kQuiet,
          kTrace},
         1,
         1},
        {"verify",
         "--port P [--speed BPS] [--json] FILE.icf",
         "read the radio and compare it with FILE.icf as diff does; leaves no file",
         {kPort, kSpeed, kJson, kQuiet, kTrace},
         1,
         1},
        {"ports",
         "[--json]",
         "each port number with its device: free, in use, missing, or not openable and why",
         {kJson},
         0,
         0},
    };
    return list;
}

const Command *findCommand(const QString &name)
{
    for (const Command &c : commands())
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

void print(FILE *to, const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), to);
    std::fflush(to);
}

// Standard output for a command's answer: 0 when all of it went out, else 2 with the reason
// (a full disk, a closed output) on standard error.
int printOut(const QByteArray &text)
{
    QString reason;
    if (writeAll(stdout, text, &reason))
        return ExitStatus::kOk;
    print(stderr, errorLine(QStringLiteral("standard output: ") + reason));
    return ExitStatus::kTrouble;
}

QByteArray optionHelp(const Option &o)
{
    QByteArray text = QByteArray("  --") + o.name
                      + (o.value ? QByteArray(" ") + o.value : QByteArray()) + "\n      " + o.help;
    if (qstrcmp(o.name, "speed") == 0)
        for (int speed : SerialControl::supportedSpeeds())
            text += ' ' + QByteArray::number(speed);
    return text + '\n';
}

QByteArray programHelp()
{
    QByteArray text =
        "Usage: replix-cli COMMAND [OPTION]... [FILE]...\n"
        "Look at, compare and convert ICF memory-image files of ICOM radios, and read,\n"
        "write and verify a radio over a serial interface cable without a window.\n"
        "\nCommands:\n";
    for (const Command &c : commands())
        text += QByteArray("  ") + c.name + ' ' + c.synopsis + "\n      " + c.summary + "\n";
    for (const Command &c : commands()) {
        text += QByteArray("\nOptions of ") + c.name + ":\n";
        if (c.options.isEmpty())
            text += "  (none)\n";
        for (const Option &o : c.options)
            text += optionHelp(o);
    }
    text += "\nOptions of every command:\n"
            "  -h, --help [COMMAND]\n      show this help, or that command's (as COMMAND --help)\n"
            "  -V, --version\n      show the version\n"
            "  --\n      ends the options; what follows are files\n"
            "\nEach option is given at most once. Errors go to standard error as\n"
            "\"replix-cli: NAME: reason\", NAME being the file, port or option at fault; a\n"
            "transfer prints its progress there too, and a last line such as\n"
            "\"read: 128 records, 4096 bytes in 10.5 s: FILE\".\n"
            "\nJSON output:\n"
            "  info     a list of objects: file, model, comment, verdict; of a whole file also\n"
            "           records, record_sizes, lowest, highest, data_bytes\n"
            "  check    a list of objects: file, whole, verdict\n"
            "  diff, verify\n"
            "           one object: identical, model_a, model_b, comment_a, comment_b, ranges\n"
            "           (each first, last, kind \"differ\", \"only_a\" or \"only_b\", old, new),\n"
            "           bytes_differ, ranges_differ, bytes_only_a, bytes_only_b\n"
            "  ports    a list of objects: port, device, state, reason\n"
            "Addresses are numbers, byte values two hex digits each, separated by spaces.\n"
            "\nExit status:\n"
            "  0    success; the files are the same; every file is whole\n"
            "  1    the files differ; a file is not whole; the file is for another radio;\n"
            "       no serial port (ports)\n"
            "  2    bad usage; an input file unreadable or damaged; an output file that\n"
            "       cannot be written; REPLIX_PORT_DIR names no readable folder\n"
            "  3    no such port, or it cannot be opened (in use, no permission)\n"
            "  4    the radio did not answer, or the transfer failed\n"
            "  128+N  ended by signal N: 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP; a read saves\n"
            "       nothing\n"
            "\nEnvironment:\n"
            "  REPLIX_PORT_DIR\n"
            "       a folder of links COM1, COM2, ... to devices: when set, these are all the\n"
            "       ports there are, as in the window\n"
            "\nFiles:\n"
            "  *.icf  memory images: a model line, a comment line and records, CR LF ends\n"
            "\nExamples:\n"
            "  replix-cli ports\n"
            "  replix-cli read --port 1 --backup-dir ~/radio\n"
            "  replix-cli write --port 1 --backup before.icf new.icf\n"
            "  replix-cli diff old.icf new.icf\n"
            "  replix-cli info --json radio.icf | python3 -m json.tool\n";
    return text;
}

QByteArray commandHelp(const Command &c)
{
    QByteArray text =
        QByteArray("Usage: replix-cli ") + c.name + ' ' + c.synopsis + "\n" + c.summary + ".\n";
    if (!c.options.isEmpty())
        text += "\nOptions:\n";
    for (const Option &o : c.options)
        text += optionHelp(o);
    text += "  -h, --help\n      show this help\n";
    return text;
}

int usageError(const QString &text, const char *command)
{
    print(stderr,
          errorLine(text
                    + QStringLiteral(" (see replix-cli %1--help)")
                          .arg(command ? QLatin1String(command) + QLatin1Char(' ') : QString())));
    return ExitStatus::kTrouble;
}

bool name_is(const Command &c, const char *name)
{
    return qstrcmp(c.name, name) == 0;
}

int run(const Command &c, const QHash<QString, QString> &values, const QStringList &files, int argc,
        char *argv[])
{
    const auto has = [&values](const char *name) { return values.contains(QLatin1String(name)); };
    const auto value = [&values](const char *name) { return values.value(QLatin1String(name)); };
    if (name_is(c, "read") && has("backup-dir") == !files.isEmpty())
        return usageError(QStringLiteral("read: wants OUT.icf or --backup-dir DIR, one of them"),
                          c.name);
    for (const char *required : {"raw", "model", "comment", "record-size", "port"}) {
        const bool needed = std::any_of(c.options.begin(), c.options.end(), [&](const Option &o) {
            return qstrcmp(o.name, required) == 0;
        });
        if (needed && !has(required))
            return usageError(QStringLiteral("%1: --%2 is missing")
                                  .arg(QLatin1String(c.name), QLatin1String(required)),
                              c.name);
    }
    const QString name = QLatin1String(c.name);
    CommandResult result;
    if (name == QLatin1String("ports")) {
        QCoreApplication app(argc, argv);
        return portsCommand(has("json"));
    }
    if (name == QLatin1String("info")) {
        result = infoCommand(files, has("json"));
    } else if (name == QLatin1String("check")) {
        result = checkCommand(files, has("json"));
    } else if (name == QLatin1String("diff")) {
        result = diffCommand(files.at(0), files.at(1), has("json"));
    } else if (name == QLatin1String("dump")) {
        result = dumpCommand(files.at(0));
    } else if (name == QLatin1String("export")) {
        result = exportCommand(files.at(0), value("raw"),
                               has("fill") ? value("fill") : QStringLiteral("FF"), stdout);
    } else if (name == QLatin1String("import")) {
        ImportOptions options{value("model"), value("comment"), value("record-size"),
                              has("start") ? value("start") : QStringLiteral("0")};
        result = importCommand(files.at(0), options, files.at(1));
    } else {
        TransferRequest request;
        request.kind = name == QLatin1String("read")    ? TransferRequest::Kind::Read
                       : name == QLatin1String("write") ? TransferRequest::Kind::Write
                                                        : TransferRequest::Kind::Verify;
        request.port = value("port");
        if (has("speed"))
            request.speed = value("speed");
        request.file = files.value(0);
        request.backupDir = value("backup-dir");
        request.backupFile = value("backup");
        request.json = has("json");
        request.acceptVersion = has("accept-version");
        request.quiet = has("quiet");
        request.trace = has("trace");
        // The window's own code runs the transfer; it needs no screen.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Qt's remarks on the missing desktop (no runtime folder, no fonts) are not the user's
        // business; its critical errors still show.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                print(stderr, errorLine(text));
        });
        QApplication app(argc, argv);
        return runTransfer(request);
    }
    QString reason;
    const bool outWritten = result.out.isEmpty() || writeAll(stdout, result.out, &reason);
    print(stderr, result.err);
    if (!outWritten) {
        print(stderr, errorLine(QStringLiteral("standard output: ") + reason));
        return ExitStatus::kTrouble;
    }
    return result.status;
}

// A standard stream the caller closed would hand its number to the next file opened (a port,
// an image), and output meant for the user would land there. Each closed one is held by
// /dev/null opened the wrong way round, so that a write to it fails as it should.
void holdClosedStreams()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
            if (held >= 0 && held != fd) {
                ::dup2(held, fd);
                ::close(held);
            }
        }
}

}  // namespace

int main(int argc, char *argv[])
{
    holdClosedStreams();
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        if (const QString fault = unsayableName(argv[i]); !fault.isEmpty()) {
            print(stderr, errorLine(fault));
            return ExitStatus::kTrouble;
        }
        args << QFile::decodeName(argv[i]);
    }
    if (args.isEmpty())
        return usageError(QStringLiteral("no command"), nullptr);
    const QString first = args.takeFirst();
    if (first == QLatin1String("--version") || first == QLatin1String("-V")) {
        if (!args.isEmpty())
            return usageError(first + QStringLiteral(": takes no arguments"), nullptr);
        return printOut("replix-cli (Replix) " REPLIX_VERSION "\n");
    }
    if (first == QLatin1String("help") || first == QLatin1String("--help")
        || first == QLatin1String("-h")) {
        if (args.size() > 1)
            return usageError(first + QStringLiteral(": takes one command at most"), nullptr);
        if (args.isEmpty())
            return printOut(programHelp());
        const Command *c = findCommand(args.first());
        if (!c)
            return usageError(args.first() + QStringLiteral(": unknown command"), nullptr);
        return printOut(commandHelp(*c));
    }
    const Command *c = findCommand(first);
    if (!c)
        return usageError(first + QStringLiteral(": unknown command"), nullptr);

    QHash<QString, QString> values;
    QStringList files;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (optionsEnded || !arg.startsWith(u'-') || arg == QLatin1String("-")) {
            files << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            return printOut(commandHelp(*c));
        }
        const qsizetype equals = arg.indexOf(u'=');
        const QString name = arg.mid(2, equals < 0 ? -1 : equals - 2);
        const auto option =
            std::find_if(c->options.begin(), c->options.end(), [&](const Option &o) {
                return arg.startsWith(QLatin1String("--")) && name == QLatin1String(o.name);
            });
        if (option == c->options.end())
            return usageError(arg.left(equals < 0 ? arg.size() : equals)
                                  + QStringLiteral(": unknown option of ") + QLatin1String(c->name),
                              c->name);
        if (values.contains(name))
            return usageError(QStringLiteral("--%1: given twice").arg(name), c->name);
        if (!option->value) {
            if (equals >= 0)
                return usageError(QStringLiteral("--%1: takes no value").arg(name), c->name);
            values.insert(name, QString());
        } else if (equals >= 0) {
            values.insert(name, arg.mid(equals + 1));
        } else if (i + 1 < args.size()) {
            values.insert(name, args.at(++i));
        } else {
            return usageError(
                QStringLiteral("--%1: needs a value (%2)").arg(name, QLatin1String(option->value)),
                c->name);
        }
    }
    if (files.size() < c->leastFiles || (c->mostFiles >= 0 && files.size() > c->mostFiles))
        return usageError(
            QStringLiteral("%1: wants %2").arg(QLatin1String(c->name), QLatin1String(c->synopsis)),
            c->name);
    return run(*c, values, files, argc, argv);
}
