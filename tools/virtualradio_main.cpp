// replix-virtual-radio: a radio and its interface cable on a pseudo-terminal, for trying
// Replix without hardware. Runs until SIGINT or SIGTERM.

#include "tools/virtualradio.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSocketNotifier>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kDefaultSpeed = 9600;
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[0], &byte, 1);
}

// Quit the event loop on SIGINT and SIGTERM; the handler itself only writes one byte.
bool quitOnSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return false;
    auto *notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[1], &byte, 1);
        app.quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0
           && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

void say(const QString &text)
{
    std::fprintf(stdout, "%s\n", qPrintable(text));
    std::fflush(stdout);
}

[[noreturn]] void fail(const QString &text)
{
    std::fprintf(stderr, "replix-virtual-radio: %s\n", qPrintable(text));
    std::exit(2);
}

QByteArray hexOption(const QString &value, const QString &option, qsizetype size = -1)
{
    static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
    const QString digits = QString(value).remove(QLatin1Char(' '));
    if (!hex.match(digits).hasMatch() || (size >= 0 && digits.size() != 2 * size))
        fail(QStringLiteral("--%1 wants %2hex digit pairs, not \"%3\"")
                 .arg(option, size >= 0 ? QStringLiteral("%1 ").arg(size) : QString(), value));
    return QByteArray::fromHex(digits.toLatin1());
}

int intOption(const QCommandLineParser &parser, const QString &option, int least, int most)
{
    bool ok = false;
    const int value = parser.value(option).toInt(&ok, 0);
    if (!ok || value < least || value > most)
        fail(QStringLiteral("--%1 wants a number from %2 to %3").arg(option).arg(least).arg(most));
    return value;
}

QString spacedHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("replix-virtual-radio"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A radio and its interface cable on a pseudo-terminal, for trying Replix without\n"
        "hardware. The cable echoes every byte the tool sends; the radio answers the model\n"
        "request, streams its memory when read, and keeps what a write puts into it (a later\n"
        "read gives it back). Records are counted from 1. Runs until SIGINT or SIGTERM.\n\n"
        "Example: replix-virtual-radio --port-dir /tmp/ports --port 1\n"
        "then start Replix with REPLIX_PORT_DIR=/tmp/ports and pick COM1."));
    parser.addHelpOption();
    const QList<QCommandLineOption> options = {
        {"port-dir", "Publish the device in DIR as a link named COMn (created if missing).", "DIR"},
        {"port", "The n of COMn (default 1).", "N", "1"},
        {"model", "Model code, 4 bytes as 8 hex digits (default 5A170002).", "HEX"},
        {"comment",
         "Comment bytes of the model reply, 16 characters (default \"VR-5A17 Ver 1.02\").", "TEXT"},
        {"comment-hex", "Comment bytes as hex digit pairs; any byte values but FD.", "HEX"},
        {"image-size", "Size of the built-in patterned image in bytes (default 4096).", "BYTES",
         "4096"},
        {"record-size", "Data bytes per record, 1 to 255 (default 32).", "BYTES", "32"},
        {"start-address", "Address of the first record, e.g. 0x0100 (default 0).", "ADDRESS", "0"},
        {"image-file",
         "Take model, comment and records from this ICF file instead "
         "(--model and --comment still win).",
         "FILE"},
        {"speed",
         "Pace everything on the line at this many bit/s, 10 bits a byte; "
         "0 sends at once (default 9600).",
         "BPS", QString::number(kDefaultSpeed)},
        {"radio-off", "The radio is off: only the cable's echo comes back."},
        {"no-cable", "No cable: nothing at all comes back."},
        {"delay",
         "Silence before each frame the radio sends, in ms (default 0); the tool "
         "gives up on a radio silent for 1100 ms.",
         "MS", "0"},
        {"noise", "Bytes sent just before each frame of the radio, e.g. \"  \".", "TEXT"},
        {"noise-hex", "The same, as hex digit pairs.", "HEX"},
        {"bad-checksum", "Record K of a read goes out with a wrong checksum.", "K", "0"},
        {"drop-record", "Record K of a read is left out; the read goes on.", "K", "0"},
        {"silent-after",
         "The radio falls silent after K records (read: no more records and no "
         "end; write: no result) until the next model request.",
         "K", "-1"},
        {"close-after",
         "Pull the cable after K records of a read or a write: the device hangs "
         "up and the program ends.",
         "K", "-1"},
        {"split-model-reply", "Send the model reply in two pieces, MS apart.", "MS", "-1"},
        {"result", "Result byte a write ends with, as 2 hex digits (default 00).", "HEX", "00"},
        {"no-result-byte", "End a write with a TransferResult that has no data byte."},
        {"save-written", "After every write, save what it put into the radio as an ICF file.",
         "FILE"},
        {"verbose", "Print every frame the tool sends."},
    };
    parser.addOptions(options);
    parser.process(app);

    VirtualRadioOptions radioOptions;
    if (parser.isSet("image-file")) {
        QFile file(parser.value("image-file"));
        if (!file.open(QIODevice::ReadOnly))
            fail(QStringLiteral("cannot open %1: %2").arg(file.fileName(), file.errorString()));
        QString error;
        const std::optional<RadioImage> image = RadioMemory::parseIcf(file.readAll(), &error);
        if (!image)
            fail(QStringLiteral("%1: %2").arg(file.fileName(), error));
        radioOptions.modelCode = image->modelCode;
        radioOptions.comment = image->comment;
        radioOptions.memory = image->records;
    } else {
        const int recordSize = intOption(parser, "record-size", 1, 255);
        const int start = intOption(parser, "start-address", 0, 0xFFFF);
        const int size = intOption(parser, "image-size", 0, 0x10000 - start);
        radioOptions.memory = RadioMemory::splitIntoRecords(RadioMemory::patternedImage(size),
                                                            recordSize, quint16(start));
    }
    if (parser.isSet("model"))
        radioOptions.modelCode = hexOption(parser.value("model"), "model", 4);
    if (parser.isSet("comment"))
        radioOptions.comment = parser.value("comment").toLocal8Bit();
    if (parser.isSet("comment-hex"))
        radioOptions.comment = hexOption(parser.value("comment-hex"), "comment-hex");
    if ((radioOptions.modelCode + radioOptions.comment).contains(char(0xFD)))
        fail(QStringLiteral("the model code and comment cannot hold FD: it ends a frame"));
    radioOptions.bitsPerSecond = intOption(parser, "speed", 0, 10'000'000);
    radioOptions.radioOn = !parser.isSet("radio-off");
    radioOptions.cable = !parser.isSet("no-cable");
    radioOptions.answerDelay = std::chrono::milliseconds(intOption(parser, "delay", 0, 3'600'000));
    if (parser.isSet("noise"))
        radioOptions.noise = parser.value("noise").toLocal8Bit();
    if (parser.isSet("noise-hex"))
        radioOptions.noise = hexOption(parser.value("noise-hex"), "noise-hex");
    radioOptions.badChecksumAtRecord = intOption(parser, "bad-checksum", 0, INT_MAX);
    radioOptions.dropRecord = intOption(parser, "drop-record", 0, INT_MAX);
    radioOptions.silentAfterRecords = intOption(parser, "silent-after", -1, INT_MAX);
    radioOptions.closeAfterRecords = intOption(parser, "close-after", -1, INT_MAX);
    radioOptions.modelReplyGap =
        std::chrono::milliseconds(intOption(parser, "split-model-reply", -1, 3'600'000));
    radioOptions.resultByte = quint8(hexOption(parser.value("result"), "result", 1).at(0));
    if (parser.isSet("no-result-byte"))
        radioOptions.resultByte.reset();
    const int port = intOption(parser, "port", 1, 65535);

    VirtualRadio radio(radioOptions);
    if (!radio.isOpen())
        fail(QStringLiteral("cannot make a pseudo-terminal"));
    if (!quitOnSignals(app))
        fail(QStringLiteral("cannot catch SIGINT and SIGTERM"));

    QString link;
    if (parser.isSet("port-dir")) {
        const QString dir = parser.value("port-dir");
        if (!QDir().mkpath(dir))
            fail(QStringLiteral("cannot make the folder %1").arg(dir));
        link = QDir(dir).absoluteFilePath(QStringLiteral("COM%1").arg(port));
        const QFileInfo existing(link);
        if (existing.exists() || existing.isSymLink()) {
            if (!existing.isSymLink())
                fail(QStringLiteral("%1 exists and is not a link; not touching it").arg(link));
            QFile::remove(link);  // left behind by a radio that was killed hard
        }
        if (!QFile::link(radio.devicePath(), link))
            fail(QStringLiteral("cannot make the link %1").arg(link));
    }

    say(QStringLiteral("device: %1").arg(radio.devicePath()));
    if (!link.isEmpty())
        say(QStringLiteral("port:   COM%1 in %2 (REPLIX_PORT_DIR=%2)")
                .arg(port)
                .arg(QFileInfo(link).absolutePath()));
    say(QStringLiteral("model:  %1, %2 records, %3")
            .arg(spacedHex(radioOptions.modelCode))
            .arg(radioOptions.memory.size())
            .arg(radioOptions.bitsPerSecond > 0
                     ? QStringLiteral("%1 bit/s").arg(radioOptions.bitsPerSecond)
                     : QStringLiteral("unpaced")));

    const bool verbose = parser.isSet("verbose");
    const QString saveTo = parser.value("save-written");
    QObject::connect(&radio, &VirtualRadio::frameFromTool, &app,
                     [verbose](const QByteArray &frame) {
                         if (verbose)
                             say(QStringLiteral("tool:   %1").arg(spacedHex(frame)));
                     });
    QObject::connect(&radio, &VirtualRadio::readFinished, &app, [&radio] {
        say(QStringLiteral("read finished: %1 records sent").arg(radio.recordsSent()));
    });
    QObject::connect(&radio, &VirtualRadio::writeFinished, &app, [&radio, saveTo](bool accepted) {
        say(QStringLiteral("write finished: %1 records, %2 bad, %3")
                .arg(radio.recordsReceived())
                .arg(radio.badRecordsReceived())
                .arg(accepted ? QStringLiteral("accepted") : QStringLiteral("refused")));
        if (saveTo.isEmpty())
            return;
        QSaveFile file(saveTo);
        if (file.open(QIODevice::WriteOnly) && file.write(radio.writtenIcf()) >= 0 && file.commit())
            say(QStringLiteral("saved:  %1").arg(saveTo));
        else
            say(QStringLiteral("cannot save %1: %2").arg(saveTo, file.errorString()));
    });
    QObject::connect(&radio, &VirtualRadio::masterClosed, &app, [&app] {
        say(QStringLiteral("cable pulled: the device is gone, ending"));
        app.quit();
    });

    const int code = app.exec();
    if (!link.isEmpty())
        QFile::remove(link);
    return code;
}
