#include "cli/commandtable.h"

#include "serial/serialcontrol.h"

#include <QByteArrayList>
#include <QStringList>

namespace {

const CliOption kPort{
    "port", "P",
    "port number as the window lists it (1, COM1; see ports), a device path "
    "(/dev/ttyUSB0), or a remote cable's address (rfc2217://HOST:PORT for a "
    "server that speaks RFC 2217, tcp://HOST:PORT for a bare byte stream); several "
    "radios at once: 1,2,3 or 1-4, one line and one result each (read then "
    "needs --backup-dir)"};
const CliOption kSpeed{"speed", "BPS", "line speed in bit/s (default 9600):"};
const CliOption kJson{"json", nullptr,
                      "the result as JSON (keys under \"JSON output\" in replix-cli --help)"};
const CliOption kQuiet{"quiet", nullptr, "no progress and no closing line on standard error"};
const CliOption kTrace{"trace", nullptr,
                       "every frame on standard error as it passes, \"> \" sent, \"< \" received "
                       "(the cable's echo of a sent frame is received too)"};

QByteArray optionHelp(const CliOption &o)
{
    QByteArray text = QByteArray("  --") + o.name
                      + (o.value ? QByteArray(" ") + o.value : QByteArray()) + "\n      " + o.help;
    if (qstrcmp(o.name, "speed") == 0)
        for (int speed : SerialControl::supportedSpeeds())
            text += ' ' + QByteArray::number(speed);
    return text + '\n';
}

// What a command's words that are not options name.
enum class Operands { None, IcfFiles, AnyFiles, Shells };

Operands operandsOf(const CliCommand &c)
{
    if (c.mostFiles == 0)
        return Operands::None;
    if (qstrcmp(c.name, "import") == 0)
        return Operands::AnyFiles;
    if (qstrcmp(c.name, "completion") == 0)
        return Operands::Shells;
    return Operands::IcfFiles;
}

// What an option's value names, by the value's name in the table.
enum class Value { Port, Speed, Folder, File, Text };

Value valueOf(const CliOption &o)
{
    const QByteArray name(o.value);
    if (name == "P")
        return Value::Port;
    if (name == "BPS")
        return Value::Speed;
    if (name == "DIR")
        return Value::Folder;
    return name == "FILE" || name.contains('.') ? Value::File : Value::Text;
}

// The options, by what their values name: "--a|--b" for a shell's case pattern.
QByteArray optionsTaking(Value kind)
{
    QByteArrayList names;
    for (const CliCommand &c : cliCommands())
        for (const CliOption &o : c.options)
            if (o.value && valueOf(o) == kind && !names.contains(QByteArray("--") + o.name))
                names << QByteArray("--") + o.name;
    return names.join('|');
}

QByteArray commandNames()
{
    QByteArrayList names;
    for (const CliCommand &c : cliCommands())
        names << c.name;
    return names.join(' ');
}

QByteArray optionNames(const CliCommand &c)
{
    QByteArray names;
    for (const CliOption &o : c.options)
        names += QByteArray("--") + o.name + ' ';
    return names + "--help";
}

QByteArray speeds()
{
    QByteArrayList list;
    for (int speed : SerialControl::supportedSpeeds())
        list << QByteArray::number(speed);
    return list.join(' ');
}

QByteArray commandsOf(Operands kind)
{
    QByteArrayList names;
    for (const CliCommand &c : cliCommands())
        if (operandsOf(c) == kind)
            names << c.name;
    return names.join('|');
}

// The two scripts share one shape: the word before the cursor first (an option's value), then
// an option, then what the command's other words name. Each shell fills in its own verbs.
struct ShellWords {
    const char *head;
    const char *firstWord;
    const char *valueCase;  // %P ports, %S speeds; then folders, files, nothing
    const char *ports;
    const char *speeds;
    const char *folders;
    const char *files;
    const char *none;
    const char *optionCase;
    const char *icfFiles;
    const char *shells;
    const char *commands;
    const char *tail;
};

QByteArray script(const ShellWords &w)
{
    QByteArray text = w.head;
    text += QByteArray(w.firstWord).replace("%C", commandNames());
    text += w.valueCase;
    const auto arm = [&text](const QByteArray &pattern, const char *action) {
        if (!pattern.isEmpty())
            text += "    " + pattern + ") " + action + " ;;\n";
    };
    arm(optionsTaking(Value::Port), w.ports);
    arm(optionsTaking(Value::Speed), QByteArray(w.speeds).replace("%S", speeds()));
    arm(optionsTaking(Value::Folder), w.folders);
    arm(optionsTaking(Value::File), w.files);
    arm(optionsTaking(Value::Text), w.none);
    text += "    esac\n    case $command in\n";
    for (const CliCommand &c : cliCommands())
        text += QByteArray("    ") + c.name + ") options='" + optionNames(c) + "' ;;\n";
    text += "    help) options='' ;;\n    *) return ;;\n    esac\n";
    text += w.optionCase;
    text += "    case $command in\n";
    arm(commandsOf(Operands::IcfFiles), w.icfFiles);
    arm(commandsOf(Operands::AnyFiles), w.files);
    arm(commandsOf(Operands::Shells), w.shells);
    arm("help", QByteArray(w.commands).replace("%C", commandNames()));
    text += "    esac\n";
    text += w.tail;
    return text;
}

}  // namespace

const QList<CliCommand> &cliCommands()
{
    static const QList<CliCommand> list{
        {"info",
         "[--json] FILE...",
         "model, comment, records, record sizes, addresses, data bytes and verdict of each file "
         "(- reads standard input); status 0 when every file could be read, a damaged one too: "
         "its verdict says so (check gives 1 for it)",
         {kJson},
         1,
         -1},
        {"check",
         "[--json] FILE...",
         "one verdict a file (ok, damaged at line N, no memory records; - reads standard "
         "input); status 0 only when all are whole",
         {kJson},
         1,
         -1},
        {"diff",
         "[--json] A B",
         "model, comment and changed address ranges of two images with their byte values (old -> "
         "new, A old and B new, 16 a range and a count of the rest); status 0 same, 1 different, "
         "2 trouble",
         {kJson},
         2,
         2},
        {"dump",
         "FILE",
         "two header lines, \"model: \" and \"comment: \", then the memory image as a hex dump, "
         "16 bytes a line; a line \"*\" stands for lines no record covers, \"--\" for a byte no "
         "record gives",
         {},
         1,
         1},
        {"export",
         "FILE --raw OUT.bin [--fill HH]",
         "the image as raw bytes from its lowest address, with the values import needs",
         {{"raw", "OUT.bin",
           "the raw file to write; - writes the bytes to standard output and the values to "
           "standard error"},
          {"fill", "HH", "byte for addresses no record holds (default FF)"}},
         1,
         1},
        {"import",
         "IN.bin --model HEX --comment TEXT --record-size N [--start ADDR] OUT.icf",
         "raw bytes (IN.bin, or - for standard input) back into an ICF file",
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
          kJson,
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
          kJson,
          kQuiet,
          kTrace},
         1,
         1},
        {"verify",
         "--port P [--speed BPS] [--json] FILE.icf",
         "read the radio and compare it with FILE.icf as diff does, the file as the old side and "
         "the radio as the new (\"0x0105: B9 -> F9\": the file holds B9, the radio F9); leaves no "
         "file",
         {kPort, kSpeed, kJson, kQuiet, kTrace},
         1,
         1},
        {"ports",
         "[--json]",
         "each port number with its device: free, in use, missing, or not openable and why; a "
         "remote cable's address is listed as \"address, not probed\"",
         {kJson},
         0,
         0},
        {"completion",
         "SHELL",
         "the completion script for SHELL, bash or zsh (the package installs both)",
         {},
         1,
         1},
    };
    return list;
}

const CliCommand *findCliCommand(const QByteArray &name)
{
    for (const CliCommand &c : cliCommands())
        if (name == c.name)
            return &c;
    return nullptr;
}

QByteArray programHelp()
{
    QByteArray text =
        "Usage: replix-cli COMMAND [OPTION]... [FILE]...\n"
        "Look at, compare and convert ICF memory-image files of ICOM radios, and read,\n"
        "write and verify a radio over a serial interface cable, or a remote cable\n"
        "served over the network, without a window.\n"
        "\nCommands:\n";
    for (const CliCommand &c : cliCommands())
        text += QByteArray("  ") + c.name + ' ' + c.synopsis + "\n      " + c.summary + "\n";
    for (const CliCommand &c : cliCommands()) {
        text += QByteArray("\nOptions of ") + c.name + ":\n";
        if (c.options.isEmpty())
            text += "  (none)\n";
        for (const CliOption &o : c.options)
            text += optionHelp(o);
    }
    text +=
        "\nOptions of every command:\n"
        "  -h, --help [COMMAND]\n      show this help, or that command's (as COMMAND --help)\n"
        "  -V, --version\n      show the version\n"
        "  --\n      ends the options; what follows are files\n"
        "\nEach option is given at most once. Errors go to standard error, one line each,\n"
        "as \"replix-cli: NAME: reason\", NAME being the file, port or option at fault. A\n"
        "transfer prints its progress there too, and ends with one line that says how\n"
        "it went, such as \"read: 128 records, 4096 bytes in 10.5 s: FILE\" or\n"
        "\"write: 128 records, 4096 bytes in 12.9 s: FILE\". A terminal gets the progress\n"
        "redrawn in place; with TERM=dumb, or in a pipe or a file, it is a plain line\n"
        "now and then.\n"
        "\nJSON output:\n"
        "  info\n"
        "      a list of objects: file, model, comment, verdict; of a whole file also\n"
        "      records, record_sizes, lowest, highest, data_bytes\n"
        "  check\n"
        "      a list of objects: file, whole, verdict\n"
        "  diff\n"
        "      one object: identical, model_a, model_b, comment_a, comment_b, ranges\n"
        "      (each first, last, kind \"differ\", \"only_a\" or \"only_b\", old, new),\n"
        "      bytes_differ, ranges_differ, bytes_only_a, bytes_only_b\n"
        "  verify\n"
        "      as diff, with the file and the radio in place of a and b: identical,\n"
        "      model_file, model_radio, comment_file, comment_radio, ranges (kind\n"
        "      \"differ\", \"only_file\" or \"only_radio\"), bytes_differ, ranges_differ,\n"
        "      bytes_only_file, bytes_only_radio\n"
        "  ports\n"
        "      a list of objects: port, device, state, reason\n"
        "  read, write, and verify of several ports (--port 1-4)\n"
        "      one object a line for each port: port, device, status, reason; file\n"
        "      (read); comparison (verify: the object above)\n"
        "Addresses are numbers, byte values two hex digits each, separated by spaces.\n"
        "\nExit status:\n"
        "  0    success; the files are the same; every file could be read (info)\n"
        "  1    the files differ; a file is not whole (check); the file is for another\n"
        "       radio; no serial port (ports)\n"
        "  2    bad usage; an input file unreadable, or damaged where the command needs\n"
        "       it whole (diff, dump, export, write, verify); an output file that cannot\n"
        "       be written; REPLIX_PORT_DIR names no readable folder\n"
        "  3    no such port, or it cannot be opened (in use, no permission, a remote\n"
        "       cable's server that cannot be reached)\n"
        "  4    the radio did not answer, or the transfer failed (a remote cable's\n"
        "       connection closed)\n"
        "  128+N  ended by signal N: 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP; a read saves\n"
        "       nothing\n"
        "\nEnvironment:\n"
        "  REPLIX_PORT_DIR\n"
        "      a port folder: its entries COM1, COM2, ... are links to devices, or plain\n"
        "      files whose one line is a remote cable's address (rfc2217://HOST:PORT or\n"
        "      tcp://HOST:PORT). When set, these are all the ports there are, as in the\n"
        "      window, which lists 1 to 16; ports lists every number the folder holds.\n"
        "  TERM\n"
        "      dumb: no escape sequences, the progress as plain lines\n"
        "\nFiles:\n"
        "  *.icf\n"
        "      memory images: a model line, a comment line and records, CR LF ends\n"
        "\nExamples:\n"
        "  replix-cli ports\n"
        "  replix-cli read --port 1 --backup-dir ~/radio\n"
        "  replix-cli read --port rfc2217://radio-pi.local:7001 backup.icf\n"
        "  replix-cli write --port 1 --backup before.icf new.icf\n"
        "  replix-cli diff old.icf new.icf\n"
        "  replix-cli info --json radio.icf | python3 -m json.tool\n"
        "  replix-cli completion bash > ~/.local/share/bash-completion/completions/replix-cli\n";
    return text;
}

QByteArray commandHelp(const CliCommand &c)
{
    QByteArray text =
        QByteArray("Usage: replix-cli ") + c.name + ' ' + c.synopsis + "\n" + c.summary + ".\n";
    if (!c.options.isEmpty())
        text += "\nOptions:\n";
    for (const CliOption &o : c.options)
        text += optionHelp(o);
    text += "  -h, --help\n      show this help\n";
    return text;
}

QByteArray completionScript(const QByteArray &shell)
{
    if (shell == "bash")
        return script({
            "# bash completion for replix-cli, written by \"replix-cli completion bash\"\n"
            "_replix_cli()\n{\n"
            "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
            "    local command=${COMP_WORDS[1]} options\n"
            "    local IFS=$'\\n'\n",
            "    if ((COMP_CWORD == 1)); then\n"
            "        COMPREPLY=($(IFS=' '; compgen -W 'help %C --help --version' -- \"$cur\"))\n"
            "        return\n    fi\n",
            "    case $prev in\n",
            "COMPREPLY=($(compgen -W \"$(\"${COMP_WORDS[0]}\" ports 2>/dev/null | cut -d' ' "
            "-f1)\" -- \"$cur\")); return",
            "COMPREPLY=($(IFS=' '; compgen -W '%S' -- \"$cur\")); return",
            "COMPREPLY=($(compgen -d -- \"$cur\")); return",
            "COMPREPLY=($(compgen -f -- \"$cur\")); return",
            "return",
            "    if [[ $cur == -* ]]; then\n"
            "        COMPREPLY=($(IFS=' '; compgen -W \"$options\" -- \"$cur\"))\n"
            "        return\n    fi\n",
            "COMPREPLY=($(compgen -f -X '!*.[iI][cC][fF]' -- \"$cur\") $(compgen -d -- "
            "\"$cur\"))",
            "COMPREPLY=($(IFS=' '; compgen -W 'bash zsh' -- \"$cur\"))",
            "COMPREPLY=($(IFS=' '; compgen -W '%C' -- \"$cur\"))",
            "}\ncomplete -o filenames -F _replix_cli replix-cli\n",
        });
    if (shell == "zsh")
        return script({
            "#compdef replix-cli\n"
            "# zsh completion for replix-cli, written by \"replix-cli completion zsh\"\n"
            "_replix_cli()\n{\n"
            "    local command=${words[2]} prev=${words[CURRENT - 1]} options\n",
            "    if ((CURRENT == 2)); then\n"
            "        compadd -- help %C --help --version\n"
            "        return\n    fi\n",
            "    case $prev in\n",
            "compadd -- ${(f)\"$(${words[1]} ports 2>/dev/null | cut -d' ' -f1)\"}; return",
            "compadd -- %S; return",
            "_files -/; return",
            "_files; return",
            "return",
            "    if [[ $PREFIX == -* ]]; then\n"
            "        compadd -- ${=options}\n"
            "        return\n    fi\n",
            "_files -g '*.(#i)icf(-.)'",
            "compadd -- bash zsh",
            "compadd -- %C",
            "}\n_replix_cli \"$@\"\n",
        });
    return {};
}
