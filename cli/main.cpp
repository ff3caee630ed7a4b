// replix-cli: the command line companion of Replix. File commands look at, compare and convert
// ICF files; transfer commands run the window's own read and write without showing a window.

#include "cli/commandtable.h"
#include "cli/filecommands.h"
#include "cli/transfercommands.h"
#include "image/systemname.h"

#include <QCoreApplication>
#include <QHash>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

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

int usageError(const QString &text, const char *command)
{
    print(stderr,
          errorLine(text
                    + QStringLiteral(" (see replix-cli %1--help)")
                          .arg(command ? QLatin1String(command) + QLatin1Char(' ') : QString())));
    return ExitStatus::kTrouble;
}

bool name_is(const CliCommand &c, const char *name)
{
    return qstrcmp(c.name, name) == 0;
}

int run(const CliCommand &c, const QHash<QString, QString> &values, const QStringList &files,
        int argc, char *argv[])
{
    const auto has = [&values](const char *name) { return values.contains(QLatin1String(name)); };
    const auto value = [&values](const char *name) { return values.value(QLatin1String(name)); };
    if (name_is(c, "read") && has("backup-dir") == !files.isEmpty())
        return usageError(QStringLiteral("read: wants OUT.icf or --backup-dir DIR, one of them"),
                          c.name);
    for (const char *required : {"raw", "model", "comment", "record-size", "port"}) {
        const bool needed =
            std::any_of(c.options.begin(), c.options.end(),
                        [&](const CliOption &o) { return qstrcmp(o.name, required) == 0; });
        if (needed && !has(required))
            return usageError(QStringLiteral("%1: --%2 is missing")
                                  .arg(QLatin1String(c.name), QLatin1String(required)),
                              c.name);
    }
    const QString name = QLatin1String(c.name);
    CommandResult result;
    if (name == QLatin1String("completion")) {
        const QByteArray text = completionScript(files.at(0).toLocal8Bit());
        if (text.isEmpty())
            return usageError(files.at(0)
                                  + QStringLiteral(": no completion for this shell; "
                                                   "there is one for bash and one for zsh"),
                              c.name);
        result.out = text;
    } else if (name == QLatin1String("ports")) {
        QCoreApplication app(argc, argv);
        return portsCommand(has("json"));
    } else if (name == QLatin1String("info")) {
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
        // Qt's remarks are not the user's business; its critical errors still show.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                print(stderr, errorLine(text));
        });
        QCoreApplication app(argc, argv);
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
        args << nameFromSystem(argv[i]);
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
        const CliCommand *c = findCliCommand(args.first().toLocal8Bit());
        if (!c)
            return usageError(args.first() + QStringLiteral(": unknown command"), nullptr);
        return printOut(commandHelp(*c));
    }
    const CliCommand *c = findCliCommand(first.toLocal8Bit());
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
            std::find_if(c->options.begin(), c->options.end(), [&](const CliOption &o) {
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
