#include "cli/transfercommands.h"

#include "app/frmreadwrite.h"
#include "app/userseam.h"
#include "cli/filecommands.h"
#include "cli/icfimage.h"
#include "link/framecodec.h"
#include "link/hextext.h"
#include "serial/commsmodule.h"
#include "serial/linesettings.h"
#include "serial/portnamespace.h"
#include "transfer/messages.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
constexpr auto kRedrawEvery = 100ms;  // on a terminal
constexpr auto kLineEvery = 1000ms;   // in a pipe or a file
constexpr auto kInterruptCheck = 50ms;

// The signal that ends the transfer (SIGINT, SIGTERM, SIGHUP), 0 while none has come.
volatile std::sig_atomic_t g_interrupted = 0;
void onInterrupt(int signal)
{
    g_interrupted = signal;
}

// What the user is told when a signal ends a transfer.
QString signalText(int signal)
{
    switch (signal) {
    case SIGTERM: return QStringLiteral("terminated");
    case SIGHUP: return QStringLiteral("hung up");
    default: return QStringLiteral("interrupted");
    }
}

QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// The columns of the terminal on standard error; a line one shorter never wraps.
int terminalWidth()
{
    winsize size{};
    if (::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    const int columns = qEnvironmentVariableIntValue("COLUMNS");
    return columns > 0 ? columns : 80;
}

void writeErr(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

// Said at the end of every failure line of a transfer run for another (the read before a
// write), so that its one line tells the whole story.
QString g_failureNote;

QByteArray failureLine(const QString &text)
{
    return errorLine(text + g_failureNote);
}

// Standard error takes a line redrawn in place: a terminal that understands escape sequences.
bool redrawable()
{
    return ::isatty(2) && qgetenv("TERM") != "dumb";
}

// Records and bytes so far on standard error: one line redrawn in place on a terminal, cut to
// its width (the file's name first), a plain line now and then otherwise. Knowing the total (a
// write), it shows records done of all, the percentage and the time left; a read its rate.
class Progress {
public:
    Progress(const QString &verb, const QString &file, bool quiet, int total)
        : m_verb(verb), m_file(file), m_quiet(quiet), m_tty(redrawable()), m_total(total)
    {
        m_clock.start();
    }
    void record(int dataBytes)
    {
        ++m_records;
        m_bytes += dataBytes;
        const auto every = m_tty ? kRedrawEvery : kLineEvery;
        if (m_sinceShown.isValid() && m_sinceShown.elapsed() < every.count())
            return;
        show();
    }
    // Takes the redrawn line off the terminal so a message can be printed in its place.
    void clear()
    {
        if (m_tty && m_drawn)
            writeErr("\r\033[K");
        m_drawn = false;
    }
    // The closing line of a transfer that succeeded: "read: 128 records, 4096 bytes in 10.5 s:
    // FILE".
    void finish(const QString &file)
    {
        clear();
        if (!m_quiet)
            writeErr(QStringLiteral("%1: %2, %3 in %4 s: %5\n")
                         .arg(m_verb, plural(m_records, "record", "records"),
                              plural(m_bytes, "byte", "bytes"))
                         .arg(seconds(), 0, 'f', 1)
                         .arg(file)
                         .toUtf8());
    }

private:
    double seconds() const { return double(m_clock.elapsed()) / 1000.0; }
    void show()
    {
        if (m_quiet)
            return;
        QString text;
        if (m_total > 0) {
            text = QStringLiteral("%1 of %2, %3%")
                       .arg(m_records)
                       .arg(plural(m_total, "record", "records"))
                       .arg(100 * m_records / m_total);
            if (m_records > 0 && m_records < m_total)
                text += QStringLiteral(", %1 s left")
                            .arg(qRound(seconds() * (m_total - m_records) / m_records));
        } else {
            text = plural(m_records, "record", "records") + QStringLiteral(", ")
                   + plural(m_bytes, "byte", "bytes")
                   + QStringLiteral(", %1 bytes/s")
                         .arg(seconds() > 0 ? qRound64(double(m_bytes) / seconds()) : 0);
        }
        if (m_tty) {
            writeErr("\r\033[K" + fitted(text, terminalWidth() - 1).toUtf8());
            m_drawn = true;
        } else {
            writeErr(m_verb.toUtf8() + ' ' + m_file.toUtf8() + ": " + text.toUtf8() + '\n');
        }
        m_sinceShown.start();
    }
    // "verb file: figures" in width columns: the file's name loses its head first, then goes;
    // the figures are cut last.
    QString fitted(const QString &figures, int width) const
    {
        const qsizetype room = width - m_verb.size() - figures.size() - 3;
        if (m_file.size() <= room)
            return m_verb + u' ' + m_file + QStringLiteral(": ") + figures;
        if (room >= 8)
            return m_verb + QStringLiteral(" ...") + m_file.right(room - 3) + QStringLiteral(": ")
                   + figures;
        return (m_verb + QStringLiteral(": ") + figures).left(width);
    }

    QString m_verb;
    QString m_file;  // as the user named it
    bool m_quiet;
    bool m_tty;
    int m_total;  // records a write sends; 0 when not known
    bool m_drawn = false;
    int m_records = 0;
    qint64 m_bytes = 0;
    QElapsedTimer m_clock;
    QElapsedTimer m_sinceShown;
};

// The user at the command line: the file dialogs give the file named there, the other-version
// question is answered by --accept-version, a report is acknowledged with OK so the transfer
// ends cleanly. Every text goes to standard error as "replix-cli: NAME: text": NAME is the file
// for trouble with a file and the port's device for the rest; the window's line breaks become
// ": " and the error numbers its texts carry are left out.
class ConsoleSeam final : public UserSeam {
public:
    ConsoleSeam(const QString &file, const QString &shownFile, const QString &device,
                const QByteArray &fileModel, bool acceptVersion, Progress &progress)
        : m_file(file),
          m_shownFile(shownFile),
          m_device(device),
          m_fileModel(fileModel),
          m_acceptVersion(acceptVersion),
          m_progress(progress)
    {
        setUserSeam(this);
    }
    ~ConsoleSeam() override { setUserSeam(nullptr); }

    void showMessage(const QString &, const QString &text) override
    {
        if (text == TransferText::kSuccessfulWrite)
            return;  // the closing line says so
        if (text != TransferText::kDifferentRadio)
            return say(text);
        // Said with both models once the radio's reply is handled, or already said so.
        said << text;
        m_differentRadio = true;
        failure = ExitStatus::kFailed;
    }
    bool askOkCancel(const QString &, const QString &text, bool warningIcon) override
    {
        if (warningIcon) {
            say(text);
            return true;
        }
        m_versionAsked = true;
        if (!m_acceptVersion)
            failure = ExitStatus::kFailed;
        return m_acceptVersion;
    }
    QString openFileName(const FileDialogRequest &) override { return m_file; }
    QString saveFileName(const FileDialogRequest &) override { return m_file; }

    // The model the radio answered with: a file made for another one is named with both.
    void radioModel(const QByteArray &model)
    {
        if (m_modelSaid || !(m_versionAsked || m_differentRadio))
            return;
        m_modelSaid = true;
        const QString head =
            QStringLiteral("%1: made for %2, the radio is %3")
                .arg(m_shownFile, escapedComment(m_fileModel), QString::fromLatin1(model));
        m_progress.clear();
        if (!m_versionAsked)
            writeErr(failureLine(head + QStringLiteral(" (another model)")));
        else
            writeErr(failureLine(
                head
                + (m_acceptVersion
                       ? QStringLiteral(" (other version): writing it (--accept-version)")
                       : QStringLiteral(" (other version): --accept-version writes it"))));
    }

    // The line went while the transfer ran (a server that closed the connection, a pulled
    // cable): the time-out that follows is named for what it is.
    void lineClosed() { m_lineClosed = true; }

    QStringList said;
    int failure = ExitStatus::kRadio;  // the status of the first failure said
    // The system's reason when the image cannot be written ("No space left on device").
    std::function<QString()> outputReason;

private:
    void say(const QString &text)
    {
        static const QRegularExpression lineBreaks(QStringLiteral("\\s*(\r\n)+\\s*"));
        static const QRegularExpression errorNumber(QStringLiteral("^-?[0-9]+\\s+"));
        QStringList parts = text.trimmed().split(lineBreaks, Qt::SkipEmptyParts);
        if (text == TransferText::kUnableToWrite && outputReason && !outputReason().isEmpty())
            parts = QStringList{outputReason()};
        for (QString &part : parts) {
            part.remove(errorNumber);
            if (part.endsWith(u':'))
                part.chop(1);
        }
        const bool aboutFile = text == TransferText::kUnableToWrite
                               || text == TransferText::kNoRecords
                               || text.startsWith(QLatin1String("Input file"))
                               || text.contains(QLatin1String("Output File"));
        if (said.isEmpty())
            failure = aboutFile                               ? ExitStatus::kTrouble
                      : text.contains(QLatin1String(" port")) ? ExitStatus::kPort
                                                              : ExitStatus::kRadio;
        said << text.simplified();
        m_progress.clear();
        QString line = (aboutFile ? m_shownFile : m_device) + QStringLiteral(": ")
                       + parts.join(QStringLiteral(": "));
        if (m_lineClosed && (text == kNoCable || text == kNoResponse))
            line = m_device
                   + (isRemoteCableName(m_device)
                          ? QStringLiteral(": the connection closed during the transfer (")
                          : QStringLiteral(": the device went away during the transfer ("))
                   + text + u')';
        writeErr(failureLine(line));
    }

    QString m_file;
    QString m_shownFile;  // as the user wrote it
    QString m_device;
    QByteArray m_fileModel;
    bool m_acceptVersion;
    bool m_versionAsked = false;
    bool m_differentRadio = false;
    bool m_modelSaid = false;
    bool m_lineClosed = false;
    Progress &m_progress;
    // The window's texts for its two time-outs.
    const QString kNoCable = QStringLiteral("Unable to locate interface cable.");
    const QString kNoResponse = QStringLiteral("No response from radio.");
};

// Every frame as it passes: "> " before a frame sent, "< " before one received.
void traceFrame(char direction, const QByteArray &frame, Progress &progress)
{
    progress.clear();
    writeErr(QByteArray(1, direction) + ' ' + BytesToHex(frame, true).trimmed() + '\n');
}

// The device the user's port stands for: a number or "COMn" in the window's namespace, or a
// device path, or a remote cable's address. Empty when there is no such device.
QString deviceOf(const QString &port, int *number)
{
    static const QRegularExpression numbered(QStringLiteral("^(?:COM)?([1-9][0-9]{0,4})$"),
                                             QRegularExpression::CaseInsensitiveOption);
    QString device;
    *number = 1;
    if (port.startsWith(u'/') || isRemoteCableName(port)) {
        device = port;
    } else if (const QRegularExpressionMatch m = numbered.match(port);
               m.hasMatch() && m.captured(1).toInt() <= kLargestPortNumber) {
        *number = m.captured(1).toInt();
        device = resolvePortName(portNameOf(*number));
    }
    return deviceExists(device) ? device : QString();
}

int dataBytesOf(const QByteArray &frame)
{
    // FE FE EE EF E4 <address 4><count 2>... FD: the count is the record's number of bytes.
    bool ok = false;
    const int count = frame.mid(9, 2).toInt(&ok, 16);
    return ok ? count : 0;
}

// For a device the user may not open: the group to join when its group may read and write
// it, as a serial port's group (dialout) may; nothing when only its owner may (root's own).
QString groupHint(const QString &device)
{
    struct stat info {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0 || info.st_gid == 0
        || (info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return {};
    const group *g = ::getgrgid(info.st_gid);
    return g ? QStringLiteral("; add yourself to the %1 group")
                   .arg(QString::fromLocal8Bit(g->gr_name))
             : QString();
}

// The state of a device for the port list: "free", "in use", "missing", "not openable", and why;
// a remote cable's well-formed address is "address", "not probed".
std::pair<QString, QString> portState(const QString &device)
{
    if (!deviceExists(device))
        return {QStringLiteral("missing"), QStringLiteral("No such device")};
    CommError error = SerialControl::probeDevice(device);
    // A reason that names the device again says it once.
    if (error.description.startsWith(device + QStringLiteral(": ")))
        error.description.remove(0, device.size() + 2);
    // Whether a remote cable's server answers is known only by connecting to it.
    if (!error.failed())
        return isRemoteCableName(device)
                   ? std::pair{QStringLiteral("address"), QStringLiteral("not probed")}
                   : std::pair{QStringLiteral("free"), QString()};
    if (error.description.contains(QLatin1String("ermission")))
        return {QStringLiteral("not openable"), error.description + groupHint(device)};
    if (error.number == CommErrorNumber::PortInUse)
        return {QStringLiteral("in use"), error.description};
    return {QStringLiteral("not openable"), error.description};
}

int trouble(const QString &text, int status = ExitStatus::kTrouble)
{
    writeErr(failureLine(text));
    return status;
}

// A new file in folder, named from the model and the time, for the image at made: never
// replacing one, it takes the first free name; empty, and made left alone, when none is free.
QString keepAsBackup(const QString &made, const QString &folder)
{
    IcfImage image;
    QString error;
    loadIcf(made, &image, &error);
    const QString stem = QDir(folder).filePath(
        escapedComment(image.model).remove(u'\\') + u'-'
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmm")));
    for (int n = 1; n < 100; ++n) {
        QString name =
            stem + (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) + QStringLiteral(".icf");
        // A hard link is made only under a free name: another file of that name stays.
        if (::link(QFile::encodeName(made).constData(), QFile::encodeName(name).constData()) == 0) {
            QFile::remove(made);
            return name;
        }
        if (errno != EEXIST)
            break;
    }
    return {};
}

// The numbers ports looks at: every COMn a port folder holds, in order; else 1 to 16, as the
// window numbers the system's own ports.
QList<int> portNumbers()
{
    QList<int> numbers;
    const QString folder = qEnvironmentVariable("REPLIX_PORT_DIR");
    if (folder.isEmpty()) {
        for (int n = 1; n <= 16; ++n)
            numbers << n;
        return numbers;
    }
    static const QRegularExpression name(QStringLiteral("^COM([1-9][0-9]{0,4})$"));
    for (const QString &entry : QDir(folder).entryList(QDir::AllEntries | QDir::System))
        if (const QRegularExpressionMatch m = name.match(entry);
            m.hasMatch() && m.captured(1).toInt() <= kLargestPortNumber)
            numbers << m.captured(1).toInt();
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

}  // namespace

int portsCommand(bool json)
{
    if (const QString fault = portFolderFault(); !fault.isEmpty())
        return trouble(QStringLiteral("REPLIX_PORT_DIR: ") + fault);
    QByteArray out;
    QJsonArray list;
    for (const int n : portNumbers()) {
        const QString device = resolvePortName(portNameOf(n));
        if (device.isEmpty())
            continue;
        const auto [state, reason] = portState(device);
        const bool address = state == QLatin1String("address");
        out += QStringLiteral("%1 %2: %3%4\n")
                   .arg(n)
                   .arg(device, state,
                        reason.isEmpty() ? QString()
                        : address        ? QStringLiteral(", ") + reason
                                         : QStringLiteral(": ") + reason)
                   .toUtf8();
        list.append(
            QJsonObject{{"port", n}, {"device", device}, {"state", state}, {"reason", reason}});
    }
    if (json)
        out = QJsonDocument(list).toJson(QJsonDocument::Compact) + '\n';
    if (QString reason; !writeAll(stdout, out, &reason))
        return trouble(QStringLiteral("standard output: ") + reason);
    if (list.isEmpty())
        return trouble(QStringLiteral("no serial ports"), ExitStatus::kFailed);
    return ExitStatus::kOk;
}

int runTransfer(const TransferRequest &request)
{
    bool speedOk = false;
    const int speed = request.speed.toInt(&speedOk);
    if (!speedOk || !SerialControl::supportedSpeeds().contains(speed)) {
        QStringList speeds;
        for (int s : SerialControl::supportedSpeeds())
            speeds << QString::number(s);
        return trouble(QStringLiteral("--speed: \"%1\" is not one of %2")
                           .arg(request.speed, speeds.join(QStringLiteral(", "))));
    }

    if (const QString clash =
            sameFileClash(request.file, request.backupFile, QStringLiteral("file to write"),
                          QStringLiteral("backup"));
        !request.backupFile.isEmpty() && !clash.isEmpty())
        return trouble(clash);

    IcfImage fileImage;
    const bool toBackupDir = !request.backupDir.isEmpty();
    // A backup is read under a hidden name, then given its own.
    const QString file =
        toBackupDir ? QDir(request.backupDir)
                          .filePath(QStringLiteral(".replix-backup-%1.icf").arg(::getpid()))
                    : request.file;
    if (request.kind == TransferRequest::Kind::Read) {
        if (const QFileInfo folder(request.backupDir);
            toBackupDir && folder.exists() && !folder.isDir())
            return trouble(request.backupDir + QStringLiteral(": Not a directory"));
        if (const QString unfit = unfitOutput(file); !unfit.isEmpty())
            return trouble(file + QStringLiteral(": ") + unfit);
        const QString folder = QFileInfo(file).absolutePath();
        if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
            return trouble((toBackupDir ? request.backupDir : file) + QStringLiteral(": ")
                           + QString::fromLocal8Bit(std::strerror(errno)));
    } else {
        QString error;
        if (!loadIcf(request.file, &fileImage, &error))
            return trouble(request.file + QStringLiteral(": ") + error);
        if (!fileImage.whole())
            return trouble(request.file + QStringLiteral(": ") + fileImage.verdictText());
    }

    if (const QString fault = portFolderFault(); !fault.isEmpty() && !request.port.startsWith(u'/'))
        return trouble(QStringLiteral("REPLIX_PORT_DIR: ") + fault);
    int number = 0;
    const QString device = deviceOf(request.port, &number);
    if (device.isEmpty())
        return trouble(request.port + QStringLiteral(": no such port"), ExitStatus::kPort);
    if (const auto [state, reason] = portState(device);
        state != QLatin1String("free") && state != QLatin1String("address"))
        return trouble(device + QStringLiteral(": ") + state
                           + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason),
                       ExitStatus::kPort);

    if (!request.backupFile.isEmpty()) {
        TransferRequest backup = request;
        backup.kind = TransferRequest::Kind::Read;
        backup.file = request.backupFile;
        backup.backupFile.clear();
        g_failureNote = QStringLiteral(" (the backup read into %1; %2 not written)")
                            .arg(request.backupFile, request.file);
        const int status = runTransfer(backup);
        g_failureNote.clear();
        if (status != ExitStatus::kOk)
            return status;
    }
    pinPortNames({{number, device}});

    // verify reads the radio into a folder of its own, gone afterwards.
    QTemporaryDir scratch;
    const bool reading = request.kind != TransferRequest::Kind::Write;
    const QString target = request.kind == TransferRequest::Kind::Verify
                               ? scratch.filePath(QStringLiteral("radio.icf"))
                               : QFileInfo(file).absoluteFilePath();
    if (request.kind == TransferRequest::Kind::Verify && !scratch.isValid())
        return trouble(QStringLiteral("no temporary folder: ") + scratch.errorString());

    const QString verb = request.kind == TransferRequest::Kind::Read    ? QStringLiteral("read")
                         : request.kind == TransferRequest::Kind::Write ? QStringLiteral("write")
                                                                        : QStringLiteral("verify");
    Progress progress(verb, toBackupDir ? request.backupDir : request.file, request.quiet,
                      reading ? 0 : int(fileImage.records.size()));
    ConsoleSeam user(target, toBackupDir ? request.backupDir : request.file, device,
                     fileImage.model, request.acceptVersion, progress);

    int status = ExitStatus::kFailed;
    {
        frmReadWrite window;
        window.ICOMFileSystem = std::make_unique<clsICOMFiles>();
        user.outputReason = [files = window.ICOMFileSystem.get()] { return files->outputError(); };
        InitCommsControl(window.MSComm1);
        window.cboSpeed->addItem(QString::number(speed));
        window.cboPort->addItem(QString::number(number));
        if (request.trace) {
            QObject::connect(&window, &frmReadWrite::frameSent, &window,
                             [&progress](const QByteArray &f) { traceFrame('>', f, progress); });
            QObject::connect(&window, &frmReadWrite::frameHandled, &window,
                             [&progress](const QByteArray &f) { traceFrame('<', f, progress); });
        }
        bool writeBegun = false;  // the radio has heard the tool's WriteRequest
        QObject::connect(&window, &frmReadWrite::frameHandled, &window,
                         [&progress, &user, &writeBegun](const QByteArray &frame) {
                             if (frame.size() > 5 && quint8(frame.at(4)) == Cmd::WriteRequest)
                                 writeBegun = true;
                             if (frame.size() > 5 && quint8(frame.at(4)) == Cmd::DataRecord)
                                 progress.record(dataBytesOf(frame));
                             if (frame.size() > 5 && quint8(frame.at(4)) == Cmd::IdentifyReply)
                                 user.radioModel(BytesToHex(frameData(frame).left(4), false));
                         });
        TransferOutcome outcome;
        QObject::connect(&window, &frmReadWrite::transferFinished, &window,
                         [&outcome](const TransferOutcome &o) { outcome = o; });
        QEventLoop loop;
        // Messages of an end are shown right after EndTransfer: stop once they are out.
        QObject::connect(&window, &frmReadWrite::transferEnded, &loop, &QEventLoop::quit,
                         Qt::QueuedConnection);
        // Ctrl-C, a closed session (SIGHUP) or a stop by the system (SIGTERM) ends the
        // transfer as Exit would: a read keeps no file.
        g_interrupted = 0;
        for (const int signal : {SIGINT, SIGTERM, SIGHUP})
            std::signal(signal, onInterrupt);
        QTimer interrupts;
        QObject::connect(&interrupts, &QTimer::timeout, &loop, [&loop, &window, &user] {
            if (g_interrupted)
                loop.quit();
            if (!window.cmdRead->isEnabled() && !window.MSComm1.PortOpen())
                user.lineClosed();
        });
        interrupts.start(kInterruptCheck);
        if (reading)
            window.cmdRead_Click();
        else
            window.cmdWrite_Click();
        if (!window.cmdRead->isEnabled())
            loop.exec();
        if (g_interrupted) {
            if (!window.cmdRead->isEnabled())
                window.EndTransfer();
            progress.clear();
            if (!reading && writeBegun)
                writeErr(
                    errorLine(request.file + QStringLiteral(": ") + TransferText::kPartWritten));
            // The signal's own line, with no note: what was asked of the run ended here.
            writeErr(errorLine(signalText(g_interrupted)));
            return ExitStatus::kSignalled + g_interrupted;
        }
        // The window says how the transfer ended; the message says only which kind of failure.
        const TransferOutcome::Kind wanted =
            reading ? TransferOutcome::Saved : TransferOutcome::Written;
        status = outcome.kind == wanted ? ExitStatus::kOk : user.failure;
        if (status != ExitStatus::kOk && !reading && writeBegun)
            writeErr(errorLine(request.file + QStringLiteral(": ") + TransferText::kPartWritten));
    }

    QString saved = request.file;
    if (status == ExitStatus::kOk && toBackupDir) {
        const QString name = saved = keepAsBackup(file, request.backupDir);
        if (name.isEmpty()) {
            QFile::remove(file);
            return trouble(request.backupDir + QStringLiteral(": no free name for the backup"));
        }
        // A script learns the backup's name only here: a name it cannot be told is no backup.
        if (QString reason; !writeAll(stdout, name.toUtf8() + '\n', &reason)) {
            QFile::remove(name);
            return trouble(QStringLiteral("standard output: ") + reason);
        }
    }
    if (status == ExitStatus::kOk && request.kind != TransferRequest::Kind::Verify)
        progress.finish(saved);

    if (request.kind == TransferRequest::Kind::Verify && status == ExitStatus::kOk) {
        progress.finish(request.file);
        IcfImage radioImage;
        QString error;
        if (!loadIcf(target, &radioImage, &error)
            || radioImage.verdict == IcfImage::Verdict::Damaged)
            return trouble(QStringLiteral("the image read from the radio cannot be loaded"));
        bool differ = false;
        const QByteArray out =
            diffImages(fileImage, request.file, radioImage, QStringLiteral("the radio"), &differ,
                       request.json, QStringLiteral("file"), QStringLiteral("radio"));
        if (QString reason; !writeAll(stdout, out, &reason))
            return trouble(QStringLiteral("standard output: ") + reason);
        status = differ ? ExitStatus::kFailed : ExitStatus::kOk;
    }
    return status;
}
