#include "cli/transfercommands.h"

#include "cli/filecommands.h"
#include "cli/icfimage.h"
#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "image/systemname.h"
#include "link/conversation.h"
#include "link/framecodec.h"
#include "link/hextext.h"
#include "serial/commsmodule.h"
#include "serial/linesettings.h"
#include "serial/portnamespace.h"
#include "serial/serialcontrol.h"
#include "transfer/messages.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

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

// The progress lines of many radios at once on a terminal: one line a port (each already cut to
// the width), the block redrawn in place; cleared before anything else is printed.
class Board {
public:
    explicit Board(int rows) : m_lines(rows) {}
    void set(int row, const QString &text)
    {
        m_lines[row] = text;
        clear();
        QByteArray out;
        for (qsizetype i = 0; i < m_lines.size(); ++i)
            out += shownBytes(m_lines[i]) + (i + 1 < m_lines.size() ? "\n" : "");
        writeErr(out);
        m_drawn = true;
    }
    void clear()
    {
        if (!m_drawn)
            return;
        const qsizetype up = m_lines.size() - 1;
        writeErr(up > 0 ? QStringLiteral("\r\033[%1A\033[J").arg(up).toUtf8() : "\r\033[J");
        m_drawn = false;
    }

private:
    QStringList m_lines;
    bool m_drawn = false;
};

// Records and bytes so far on standard error: one line redrawn in place on a terminal, cut to
// its width (the file's name first), a plain line now and then otherwise. Knowing the total (a
// write), it shows records done of all, the percentage and the time left; a read its rate. Of
// many radios, each port has its line of a board.
class Progress {
public:
    Progress(const QString &verb, const QString &file, bool quiet, int total,
             Board *board = nullptr, int row = 0)
        : m_verb(verb),
          m_file(file),
          m_quiet(quiet),
          m_tty(redrawable()),
          m_total(total),
          m_board(board),
          m_row(row)
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
        if (m_board)
            m_board->clear();
        else if (m_tty && m_drawn)
            writeErr("\r\033[K");
        m_drawn = false;
    }
    // The closing line of a transfer that succeeded: "read: 128 records, 4096 bytes in 10.5 s:
    // FILE".
    void finish(const QString &file)
    {
        clear();
        if (!m_quiet)
            writeErr(shownBytes(QStringLiteral("%1: %2, %3 in %4 s: %5\n")
                                    .arg(m_verb, plural(m_records, "record", "records"),
                                         plural(m_bytes, "byte", "bytes"))
                                    .arg(seconds(), 0, 'f', 1)
                                    .arg(file)));
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
        if (m_tty && m_board) {
            m_board->set(m_row, fitted(text, terminalWidth() - 1));
        } else if (m_tty) {
            writeErr("\r\033[K" + shownBytes(fitted(text, terminalWidth() - 1)));
            m_drawn = true;
        } else {
            writeErr(shownBytes(m_verb + u' ' + m_file + QStringLiteral(": ") + text) + '\n');
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
    Board *m_board;
    int m_row;
    bool m_drawn = false;
    int m_records = 0;
    qint64 m_bytes = 0;
    QElapsedTimer m_clock;
    QElapsedTimer m_sinceShown;
};

// The user at the command line: the file dialogs give the file named there, the other-version
// question is answered by --accept-version, a report is acknowledged with OK so the transfer
// ends cleanly. One for each conversation. Every text goes to standard error as
// "replix-cli: NAME: text": NAME is the file for trouble with a file and the port's device for
// the rest; the window's line breaks become ": " and the error numbers its texts carry are left
// out.
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
    {}

    void showMessage(const QString &, const QString &text) override
    {
        if (text == TransferText::kSuccessfulWrite)
            return;  // the closing line says so
        if (text != TransferText::kDifferentRadio)
            return say(text);
        // Said with both models once the radio's reply is handled, or already said so.
        m_differentRadio = true;
    }
    bool askOkCancel(const QString &, const QString &text, bool warningIcon) override
    {
        if (warningIcon) {
            say(text);
            return true;
        }
        m_versionAsked = true;
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

    // The system's reason when the image cannot be written ("No space left on device").
    std::function<QString()> outputReason;

    // The line went while the transfer ran (a server that closed the connection, a pulled
    // cable): the time-out that follows is named for what it is.
    void lineClosed() { m_lineClosed = true; }

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

// The exit status of a transfer that failed for this cause.
int statusOf(TransferOutcome::Cause cause)
{
    switch (cause) {
    case TransferOutcome::NoFile:
    case TransferOutcome::File: return ExitStatus::kTrouble;
    case TransferOutcome::DifferentRadio: return ExitStatus::kFailed;
    case TransferOutcome::Port: return ExitStatus::kPort;
    case TransferOutcome::Interrupted: return ExitStatus::kSignalled + SIGINT;
    case TransferOutcome::NoCause:
    case TransferOutcome::Cable:
    case TransferOutcome::Radio: break;
    }
    return ExitStatus::kRadio;
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
    if (::stat(systemName(device).constData(), &info) != 0 || info.st_gid == 0
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
QString keepAsBackup(const QString &made, const QString &folder, const QString &suffix = {})
{
    IcfImage image;
    QString error;
    loadIcf(made, &image, &error);
    const QString stem = QDir(folder).filePath(
        escapedComment(image.model).remove(u'\\') + u'-'
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmm")) + suffix);
    for (int n = 1; n < 100; ++n) {
        QString name =
            stem + (n == 1 ? QString() : QStringLiteral("-%1").arg(n)) + QStringLiteral(".icf");
        // A hard link is made only under a free name: another file of that name stays.
        if (::link(systemName(made).constData(), systemName(name).constData()) == 0) {
            removeName(made);
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

namespace {

QString verbOf(TransferRequest::Kind kind)
{
    return kind == TransferRequest::Kind::Read    ? QStringLiteral("read")
           : kind == TransferRequest::Kind::Write ? QStringLiteral("write")
                                                  : QStringLiteral("verify");
}

// The ports the user named: "1", "COM2", a device path or an address, or a list of numbers and
// ranges ("1,2,3", "1-4", "1,3-5"). Empty, with why, when the list is malformed.
QStringList portsOf(const QString &named, QString *why)
{
    static const QRegularExpression range(QStringLiteral("^([0-9]+)-([0-9]+)$"));
    if (!named.contains(u',') && !range.match(named).hasMatch())
        return {named};
    QStringList ports;
    for (const QString &part : named.split(u',')) {
        if (const QRegularExpressionMatch m = range.match(part); m.hasMatch()) {
            const int first = m.captured(1).toInt();
            const int last = m.captured(2).toInt();
            if (first < 1 || last < first || last > kLargestPortNumber) {
                *why = part + QStringLiteral(": not a range of port numbers");
                return {};
            }
            for (int n = first; n <= last; ++n)
                ports << QString::number(n);
        } else if (!part.isEmpty()) {
            ports << part;
        } else {
            *why = QStringLiteral("an empty port in the list");
            return {};
        }
    }
    return ports;
}

// One radio's transfer: its port, its conversation and everything the conversation borrows,
// its progress and how it ended.
class PortJob {
public:
    PortJob(const TransferRequest &request, const QString &port, const QString &device,
            const IcfImage &fileImage, const QString &file, Board *board, int row, bool fleet)
        : request(request),
          port(port),
          device(device),
          reading(request.kind != TransferRequest::Kind::Write),
          target(request.kind == TransferRequest::Kind::Verify
                     ? scratch.filePath(QStringLiteral("radio.icf"))
                     : absoluteName(file)),
          progress((fleet ? QStringLiteral("port %1: ").arg(port) : QString())
                       + verbOf(request.kind),
                   request.backupDir.isEmpty() ? request.file : request.backupDir, request.quiet,
                   reading ? 0 : int(fileImage.records.size()), board, row),
          user(target, request.backupDir.isEmpty() ? request.file : request.backupDir, device,
               fileImage.model, request.acceptVersion, progress),
          conversation(control, dialog, user)
    {
        // The conversation's own control, pinned to the device: nothing of it is the process's.
        InitCommsControl(control);
        control.pinDevice(device);
        conversation.setFileSystem(&files);
        user.outputReason = [this] { return files.outputError(); };
        if (request.trace) {
            QObject::connect(&conversation, &Conversation::frameSent, &conversation,
                             [this](const QByteArray &f) { traceFrame('>', f, progress); });
            QObject::connect(&conversation, &Conversation::frameHandled, &conversation,
                             [this](const QByteArray &f) { traceFrame('<', f, progress); });
        }
        QObject::connect(&conversation, &Conversation::frameHandled, &conversation,
                         [this](const QByteArray &frame) {
                             if (frame.size() > 5 && quint8(frame.at(4)) == Cmd::WriteRequest)
                                 writeBegun = true;
                             if (frame.size() > 5 && quint8(frame.at(4)) == Cmd::DataRecord)
                                 progress.record(dataBytesOf(frame));
                             if (frame.size() > 5 && quint8(frame.at(4)) == Cmd::IdentifyReply)
                                 user.radioModel(BytesToHex(frameData(frame).left(4), false));
                         });
        QObject::connect(&conversation, &Conversation::finished, &conversation,
                         [this](const TransferOutcome &o) { outcome = o; });
        outcome.cause = TransferOutcome::Port;  // unless the port opens
    }

    // Starts the transfer; false when the port would not open (the user has been told).
    bool start(int speed)
    {
        // The number or name given was resolved already; the control opens that device.
        return conversation.StartTransfer(!reading, QString(), QString::number(speed));
    }
    bool running() const { return conversation.running(); }
    void interrupt() { conversation.Interrupt(); }
    // The exit status of the transfer itself.
    int status() const
    {
        const TransferOutcome::Kind wanted =
            reading ? TransferOutcome::Saved : TransferOutcome::Written;
        return outcome.kind == wanted ? ExitStatus::kOk : statusOf(outcome.cause);
    }

    const TransferRequest &request;
    QString port;
    QString device;
    bool reading;
    QTemporaryDir scratch;  // verify reads the radio into a folder of its own, gone afterwards
    QString target;
    Progress progress;
    ConsoleSeam user;
    SerialControl control;
    CommonDialog dialog;
    clsICOMFiles files;
    Conversation conversation;
    TransferOutcome outcome;
    bool writeBegun = false;  // the radio has heard the tool's WriteRequest
};

// Runs the jobs at once until each has ended, or a signal (Ctrl-C, SIGTERM, SIGHUP) ends them
// all as Exit would: a read keeps no file. kOk, or the status of the signal.
int runJobs(const std::vector<std::unique_ptr<PortJob>> &jobs, int speed)
{
    QEventLoop loop;
    const auto allEnded = [&jobs] {
        return std::none_of(jobs.begin(), jobs.end(),
                            [](const auto &j) { return j && j->running(); });
    };
    for (const auto &job : jobs)
        if (job)
            // The message of an end is shown right after EndTransfer: look once it is out.
            QObject::connect(&job->conversation, &Conversation::finished, &loop, [&] {
                QMetaObject::invokeMethod(
                    &loop,
                    [&] {
                        if (allEnded())
                            loop.quit();
                    },
                    Qt::QueuedConnection);
            });
    g_interrupted = 0;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, onInterrupt);
    QTimer interrupts;
    QObject::connect(&interrupts, &QTimer::timeout, &loop, [&loop, &jobs] {
        if (g_interrupted)
            loop.quit();
        for (const auto &job : jobs)
            if (job && job->running() && !job->control.PortOpen())
                job->user.lineClosed();
    });
    interrupts.start(kInterruptCheck);
    for (const auto &job : jobs)
        if (job)
            job->start(speed);
    if (!allEnded())
        loop.exec();
    if (!g_interrupted)
        return ExitStatus::kOk;
    for (const auto &job : jobs)
        if (job) {
            job->interrupt();
            job->progress.clear();
            if (!job->reading && job->writeBegun)
                writeErr(errorLine(job->request.file + QStringLiteral(": ")
                                   + TransferText::kPartWritten));
        }
    // The signal's own line, with no note: what was asked of the run ended here.
    writeErr(errorLine(signalText(g_interrupted)));
    return ExitStatus::kSignalled + g_interrupted;
}

// Checks what every transfer needs before a port is touched: the speed, the input file (write,
// verify) or the output's folder (read). A status other than kOk has been told.
int checkRequest(const TransferRequest &request, const QString &file, int *speed,
                 IcfImage *fileImage)
{
    bool speedOk = false;
    *speed = request.speed.toInt(&speedOk);
    if (!speedOk || !SerialControl::supportedSpeeds().contains(*speed)) {
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
    if (request.kind == TransferRequest::Kind::Read) {
        if (const NameStatus folder = statusOf(request.backupDir);
            !request.backupDir.isEmpty() && folder.exists && !folder.isDir)
            return trouble(request.backupDir + QStringLiteral(": Not a directory"));
        if (const QString unfit = unfitOutput(file); !unfit.isEmpty())
            return trouble(file + QStringLiteral(": ") + unfit);
        const QString whole = absoluteName(file);
        const QString folder = whole.left(qMax(whole.lastIndexOf(u'/'), 1));
        if (::access(systemName(folder).constData(), W_OK | X_OK) != 0)
            return trouble((request.backupDir.isEmpty() ? file : request.backupDir)
                           + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)));
    } else {
        QString error;
        if (!loadIcf(request.file, fileImage, &error))
            return trouble(request.file + QStringLiteral(": ") + error);
        if (!fileImage->whole())
            return trouble(request.file + QStringLiteral(": ") + fileImage->verdictText());
    }
    if (const QString fault = portFolderFault(); !fault.isEmpty() && !request.port.startsWith(u'/'))
        return trouble(QStringLiteral("REPLIX_PORT_DIR: ") + fault);
    return ExitStatus::kOk;
}

// The device of a port the user named, free to open; empty when not (and told).
QString freeDeviceOf(const QString &port, int *status, QString *why = nullptr)
{
    int number = 0;
    QString device = deviceOf(port, &number);
    QString fault;
    if (device.isEmpty())
        fault = QStringLiteral("no such port");
    else if (const auto [state, reason] = portState(device);
             state != QLatin1String("free") && state != QLatin1String("address"))
        fault = state + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason);
    if (fault.isEmpty())
        return device;
    *status = trouble((device.isEmpty() ? port : device) + QStringLiteral(": ") + fault,
                      ExitStatus::kPort);
    if (why)
        *why = fault;
    return {};
}

// The hidden name a read into a backup folder is made under, one for each port.
QString hiddenBackupName(const QString &folder, int index)
{
    return QDir(folder).filePath(
        index == 0 ? QStringLiteral(".replix-backup-%1.icf").arg(::getpid())
                   : QStringLiteral(".replix-backup-%1-%2.icf").arg(::getpid()).arg(index));
}

int runFleet(const TransferRequest &request, const QStringList &ports);
QString reasonOf(const TransferOutcome &outcome);

}  // namespace

int runTransfer(const TransferRequest &request)
{
    QString why;
    const QStringList ports = portsOf(request.port, &why);
    if (ports.isEmpty())
        return trouble(QStringLiteral("--port: ") + why);
    if (ports.size() > 1)
        return runFleet(request, ports);
    if (ports.first() != request.port) {  // a list of one port: "3-3"
        TransferRequest one = request;
        one.port = ports.first();
        return runTransfer(one);
    }

    IcfImage fileImage;
    const bool toBackupDir = !request.backupDir.isEmpty();
    // A backup is read under a hidden name, then given its own.
    const QString file = toBackupDir ? hiddenBackupName(request.backupDir, 0) : request.file;
    int speed = 0;
    if (const int status = checkRequest(request, file, &speed, &fileImage);
        status != ExitStatus::kOk)
        return status;
    int status = ExitStatus::kOk;
    const QString device = freeDeviceOf(request.port, &status);
    if (device.isEmpty())
        return status;

    if (!request.backupFile.isEmpty()) {
        TransferRequest backup = request;
        backup.kind = TransferRequest::Kind::Read;
        backup.file = request.backupFile;
        backup.backupFile.clear();
        g_failureNote = QStringLiteral(" (the backup read into %1; %2 not written)")
                            .arg(request.backupFile, request.file);
        const int read = runTransfer(backup);
        g_failureNote.clear();
        if (read != ExitStatus::kOk)
            return read;
    }

    std::vector<std::unique_ptr<PortJob>> jobs;
    jobs.push_back(std::make_unique<PortJob>(request, request.port, device, fileImage, file,
                                             nullptr, 0, false));
    PortJob &job = *jobs.front();
    if (request.kind == TransferRequest::Kind::Verify && !job.scratch.isValid())
        return trouble(QStringLiteral("no temporary folder: ") + job.scratch.errorString());
    if (const int signalled = runJobs(jobs, speed); signalled != ExitStatus::kOk)
        return signalled;
    status = job.status();
    if (status != ExitStatus::kOk && !job.reading && job.writeBegun)
        writeErr(errorLine(request.file + QStringLiteral(": ") + TransferText::kPartWritten));

    QString saved = request.file;
    if (status == ExitStatus::kOk && toBackupDir) {
        const QString name = saved = keepAsBackup(file, request.backupDir);
        if (name.isEmpty()) {
            removeName(file);
            return trouble(request.backupDir + QStringLiteral(": no free name for the backup"));
        }
        // A script learns the backup's name only here: a name it cannot be told is no backup.
        if (QString reason; !request.json && !writeAll(stdout, systemName(name) + '\n', &reason)) {
            removeName(name);
            return trouble(QStringLiteral("standard output: ") + reason);
        }
    }
    if (status == ExitStatus::kOk && request.kind != TransferRequest::Kind::Verify)
        job.progress.finish(saved);
    if (request.json && request.kind != TransferRequest::Kind::Verify) {
        QJsonObject object{
            {"port", request.port},
            {"device", device},
            {"status", status},
            {"reason", status == ExitStatus::kOk ? QString() : reasonOf(job.outcome)}};
        if (status == ExitStatus::kOk && job.reading)
            object.insert("file", saved);
        if (QString reason;
            !writeAll(stdout, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n', &reason))
            return trouble(QStringLiteral("standard output: ") + reason);
    }

    if (request.kind == TransferRequest::Kind::Verify && status == ExitStatus::kOk) {
        job.progress.finish(request.file);
        IcfImage radioImage;
        QString error;
        if (!loadIcf(job.target, &radioImage, &error)
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

namespace {

// Why a transfer that failed failed, in a few words.
QString reasonOf(const TransferOutcome &outcome)
{
    if (!outcome.message.isEmpty())
        return outcome.message.simplified();
    switch (outcome.cause) {
    case TransferOutcome::Port: return QStringLiteral("the port would not open");
    case TransferOutcome::Interrupted: return QStringLiteral("interrupted");
    case TransferOutcome::NoFile:
    case TransferOutcome::File: return QStringLiteral("the file could not be made");
    default: return QStringLiteral("the transfer failed");
    }
}

// Many radios at once, one conversation a port, all in this process: a progress line and an
// end line a port, a closing line that sums up, the status of the worst port.
int runFleet(const TransferRequest &request, const QStringList &ports)
{
    if (!request.backupFile.isEmpty())
        return trouble(QStringLiteral("--backup: one file cannot hold the images of %1 radios; "
                                      "read them with read --backup-dir first")
                           .arg(ports.size()));
    if (request.kind == TransferRequest::Kind::Read && request.backupDir.isEmpty())
        return trouble(QStringLiteral("read: --port names %1 radios: --backup-dir DIR keeps "
                                      "one file a radio")
                           .arg(ports.size()));
    const QString verb = verbOf(request.kind);
    IcfImage fileImage;
    int speed = 0;
    const QString probeFile = request.kind == TransferRequest::Kind::Read
                                  ? hiddenBackupName(request.backupDir, 0)
                                  : request.file;
    if (const int status = checkRequest(request, probeFile, &speed, &fileImage);
        status != ExitStatus::kOk)
        return status;
    // Each port once: a number named twice, or two names of one device, would have two
    // conversations fight over one radio. A port that is missing or held fails alone.
    for (qsizetype i = 0; i < ports.size(); ++i)
        if (ports.indexOf(ports[i]) != i)
            return trouble(QStringLiteral("--port: %1 is named twice").arg(ports[i]));
    QStringList devices;
    QHash<QString, QString> portOfDevice;
    QHash<QString, std::pair<int, QString>> unusable;  // port: its status and why, told
    for (const QString &port : ports) {
        int status = ExitStatus::kOk;
        QString why;
        const QString device = freeDeviceOf(port, &status, &why);
        devices << device;
        if (device.isEmpty()) {
            unusable.insert(port, {status, why});
            continue;
        }
        const QString same = QFileInfo(device).canonicalFilePath();
        const QString key = same.isEmpty() ? device : same;
        if (portOfDevice.contains(key))
            return trouble(QStringLiteral("--port: %1 and %2 are the same port (%3)")
                               .arg(portOfDevice.value(key), port, key));
        portOfDevice.insert(key, port);
    }

    Board board(int(ports.size()));
    std::vector<std::unique_ptr<PortJob>> jobs;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        if (devices[i].isEmpty()) {
            jobs.push_back(nullptr);
            continue;
        }
        const QString file = request.kind == TransferRequest::Kind::Read
                                 ? hiddenBackupName(request.backupDir, int(i))
                                 : request.file;
        jobs.push_back(std::make_unique<PortJob>(request, ports[i], devices[i], fileImage, file,
                                                 ::isatty(2) ? &board : nullptr, int(i), true));
        if (request.kind == TransferRequest::Kind::Verify && !jobs.back()->scratch.isValid())
            return trouble(QStringLiteral("no temporary folder: ")
                           + jobs.back()->scratch.errorString());
    }
    if (const int signalled = runJobs(jobs, speed); signalled != ExitStatus::kOk) {
        for (const auto &job : jobs)
            if (job && request.kind == TransferRequest::Kind::Read)
                removeName(job->target);
        return signalled;
    }
    board.clear();

    // Backups of one model made in the same minute are told apart by their port.
    QHash<QByteArray, int> models;
    for (const auto &job : jobs) {
        IcfImage image;
        QString error;
        if (job && job->status() == ExitStatus::kOk && job->reading
            && loadIcf(job->target, &image, &error))
            ++models[image.model];
    }

    QString outFault;  // standard output gone: the end lines on standard error still tell
    int worst = ExitStatus::kOk;
    int good = 0;
    QStringList failed;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        PortJob *job = jobs[size_t(i)].get();
        int status = job ? job->status() : unusable.value(ports[i]).first;
        QString reason = job ? (status == ExitStatus::kOk ? QString() : reasonOf(job->outcome))
                             : unusable.value(ports[i]).second;
        QJsonObject object{{"port", ports[i]}, {"device", devices[i]}};
        if (!job) {
            // told when the port was looked at
        } else if (status == ExitStatus::kOk && request.kind == TransferRequest::Kind::Read) {
            IcfImage image;
            QString error;
            loadIcf(job->target, &image, &error);
            const QString suffix = models.value(image.model) > 1
                                       ? QStringLiteral("-port") + QString(job->port).remove(u'/')
                                       : QString();
            const QString name = keepAsBackup(job->target, request.backupDir, suffix);
            if (name.isEmpty()) {
                removeName(job->target);
                status = ExitStatus::kTrouble;
                reason = request.backupDir + QStringLiteral(": no free name for the backup");
            } else if (!request.json && !writeAll(stdout, systemName(name) + '\n', &outFault)) {
                // A script learns the backup's name only here: one it cannot be told is none.
                removeName(name);
                status = ExitStatus::kTrouble;
                reason = QStringLiteral("standard output: ") + outFault;
            } else {
                job->progress.finish(name);
                object.insert("file", name);
            }
        } else if (status == ExitStatus::kOk && request.kind == TransferRequest::Kind::Write) {
            job->progress.finish(request.file);
        } else if (status == ExitStatus::kOk) {
            job->progress.finish(request.file);
            IcfImage radioImage;
            QString error;
            bool differ = false;
            if (!loadIcf(job->target, &radioImage, &error)
                || radioImage.verdict == IcfImage::Verdict::Damaged) {
                status = ExitStatus::kTrouble;
                reason = QStringLiteral("the image read from the radio cannot be loaded");
            } else {
                const QByteArray out =
                    diffImages(fileImage, request.file, radioImage,
                               QStringLiteral("the radio on port ") + job->port, &differ,
                               request.json, QStringLiteral("file"), QStringLiteral("radio"));
                if (request.json)
                    object.insert("comparison", QJsonDocument::fromJson(out).object());
                else
                    writeAll(stdout, out, &outFault);
                if (differ) {
                    status = ExitStatus::kFailed;
                    reason = QStringLiteral("differs from ") + request.file;
                }
            }
        }
        if (status != ExitStatus::kOk && job && !job->reading && job->writeBegun)
            writeErr(errorLine(QStringLiteral("port %1: ").arg(ports[i]) + request.file
                               + QStringLiteral(": ") + TransferText::kPartWritten));
        if (status != ExitStatus::kOk) {
            writeErr(
                shownBytes(QStringLiteral("port %1: %2 failed: %3\n").arg(ports[i], verb, reason)));
            failed << QStringLiteral("port %1: %2")
                          .arg(ports[i], reason.endsWith(u'.') ? reason.chopped(1) : reason);
        } else {
            ++good;
        }
        object.insert("status", status);
        object.insert("reason", reason);
        if (request.json)
            writeAll(stdout, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n',
                     &outFault);
        worst = qMax(worst, status);
    }
    const QString done = request.kind == TransferRequest::Kind::Read ? QStringLiteral("read")
                         : request.kind == TransferRequest::Kind::Write
                             ? QStringLiteral("written")
                             : QStringLiteral("verified");
    writeErr(QStringLiteral("%1: %2 of %3 radios %4%5\n")
                 .arg(verb)
                 .arg(good)
                 .arg(ports.size())
                 .arg(done, failed.isEmpty()
                                ? QString()
                                : QStringLiteral("; ") + failed.join(QStringLiteral("; ")))
                 .toUtf8());
    return worst;
}

}  // namespace
