#include "cli/transfercommands.h"

#include "app/frmreadwrite.h"
#include "app/userseam.h"
#include "cli/filecommands.h"
#include "cli/icfimage.h"
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

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
constexpr auto kRedrawEvery = 100ms;   // on a terminal
constexpr auto kLineEvery = 1000ms;    // in a pipe or a file

void writeErr(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

// Records and bytes so far, rate and time, on standard error: one line redrawn in place on a
// terminal, a plain line now and then otherwise.
class Progress {
public:
    Progress(const QString &verb, bool quiet) : m_verb(verb), m_quiet(quiet), m_tty(::isatty(2))
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
    void finish()
    {
        if (m_records > 0 || m_drawn)
            show();
        if (m_tty && m_drawn)
            writeErr("\n");
        m_drawn = false;
    }

private:
    void show()
    {
        if (m_quiet)
            return;
        const double seconds = double(m_clock.elapsed()) / 1000.0;
        const QString text = QStringLiteral("%1: %2 records, %3 bytes, %4 bytes/s, %5 s")
                                 .arg(m_verb)
                                 .arg(m_records)
                                 .arg(m_bytes)
                                 .arg(seconds > 0 ? qRound64(double(m_bytes) / seconds) : 0)
                                 .arg(seconds, 0, 'f', 1);
        if (m_tty) {
            writeErr("\r\033[K" + text.toUtf8());
            m_drawn = true;
        } else {
            writeErr(text.toUtf8() + '\n');
        }
        m_sinceShown.start();
    }

    QString m_verb;
    bool m_quiet;
    bool m_tty;
    bool m_drawn = false;
    int m_records = 0;
    qint64 m_bytes = 0;
    QElapsedTimer m_clock;
    QElapsedTimer m_sinceShown;
};

// The user at the command line: the file dialogs give the file named there, the other-version
// question is answered by --accept-version, a report is acknowledged with OK so the transfer
// ends cleanly, and every text goes to standard error, its line breaks as one space.
class ConsoleSeam final : public UserSeam {
public:
    ConsoleSeam(const QString &file, bool acceptVersion, Progress &progress)
        : m_file(file), m_acceptVersion(acceptVersion), m_progress(progress)
    {
        setUserSeam(this);
    }
    ~ConsoleSeam() override { setUserSeam(nullptr); }

    void showMessage(const QString &, const QString &text) override { say(text); }
    bool askOkCancel(const QString &, const QString &text, bool warningIcon) override
    {
        if (warningIcon) {
            say(text);
            return true;
        }
        say(text + (m_acceptVersion ? QStringLiteral(": yes (--accept-version)")
                                    : QStringLiteral(": no (--accept-version says yes)")));
        return m_acceptVersion;
    }
    QString openFileName(const FileDialogRequest &) override { return m_file; }
    QString saveFileName(const FileDialogRequest &) override { return m_file; }

    QStringList said;

private:
    void say(const QString &text)
    {
        static const QRegularExpression lineBreaks(QStringLiteral("(\r\n)+"));
        QString flat = text;
        flat.replace(lineBreaks, QStringLiteral(" "));
        said << flat;
        m_progress.clear();
        writeErr(errorLine(flat));
    }

    QString m_file;
    bool m_acceptVersion;
    Progress &m_progress;
};

// The conversation log, line by line, as the window appends to it.
void traceLog(QPlainTextEdit *box, Progress &progress)
{
    QTextDocument *doc = box->document();
    auto *pending = new QString;
    QObject::connect(doc, &QObject::destroyed, [pending] { delete pending; });
    QObject::connect(doc, &QTextDocument::contentsChange, doc,
                     [doc, pending, &progress](int position, int, int added) {
        if (added <= 0)
            return;
        QTextCursor cursor(doc);
        const int end = doc->characterCount() - 1;
        cursor.setPosition(qMin(position, end));
        cursor.setPosition(qMin(position + added, end), QTextCursor::KeepAnchor);
        *pending += cursor.selectedText().replace(QChar::ParagraphSeparator, u'\n');
        const qsizetype last = pending->lastIndexOf(u'\n');
        if (last < 0)
            return;
        progress.clear();
        writeErr(pending->left(last + 1).toUtf8());
        pending->remove(0, last + 1);
    });
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
    } else if (const QRegularExpressionMatch m = numbered.match(port); m.hasMatch()
               && m.captured(1).toInt() <= kLargestPortNumber) {
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

} // namespace

int runTransfer(const TransferRequest &request)
{
    auto trouble = [](const QString &text) {
        writeErr(errorLine(text));
        return ExitStatus::kTrouble;
    };
    bool speedOk = false;
    const int speed = request.speed.toInt(&speedOk);
    if (!speedOk || !SerialControl::supportedSpeeds().contains(speed)) {
        QStringList speeds;
        for (int s : SerialControl::supportedSpeeds())
            speeds << QString::number(s);
        return trouble(QStringLiteral("--speed: \"%1\" is not one of %2")
                           .arg(request.speed, speeds.join(QStringLiteral(", "))));
    }

    IcfImage fileImage;
    if (request.kind == TransferRequest::Kind::Read) {
        const QFileInfo out(request.file);
        if (const QString unfit = unfitOutput(request.file); !unfit.isEmpty())
            return trouble(request.file + QStringLiteral(": ") + unfit);
        if (!out.absoluteDir().exists())
            return trouble(request.file + QStringLiteral(": No such file or directory"));
    } else {
        QString error;
        if (!loadIcf(request.file, &fileImage, &error))
            return trouble(request.file + QStringLiteral(": ") + error);
        if (!fileImage.whole())
            return trouble(request.file + QStringLiteral(": ") + fileImage.verdictText());
    }

    int number = 0;
    const QString device = deviceOf(request.port, &number);
    if (device.isEmpty())
        return trouble(request.port + QStringLiteral(": no such port"));
    pinPortNames({{number, device}});

    // verify reads the radio into a folder of its own, gone afterwards.
    QTemporaryDir scratch;
    const bool reading = request.kind != TransferRequest::Kind::Write;
    const QString target = request.kind == TransferRequest::Kind::Verify
                               ? scratch.filePath(QStringLiteral("radio.icf"))
                               : QFileInfo(request.file).absoluteFilePath();
    if (request.kind == TransferRequest::Kind::Verify && !scratch.isValid())
        return trouble(QStringLiteral("no temporary folder: ") + scratch.errorString());

    const QString verb = request.kind == TransferRequest::Kind::Read    ? QStringLiteral("read")
                         : request.kind == TransferRequest::Kind::Write ? QStringLiteral("write")
                                                                       : QStringLiteral("verify");
    Progress progress(verb, request.quiet);
    ConsoleSeam user(target, request.acceptVersion, progress);

    int status = ExitStatus::kFailed;
    {
        frmReadWrite window;
        window.ICOMFileSystem = std::make_unique<clsICOMFiles>();
        InitCommsControl(window.MSComm1);
        window.cboSpeed->addItem(QString::number(speed));
        window.cboPort->addItem(QString::number(number));
        if (request.trace)
            traceLog(window.txtDataReceived, progress);
        QObject::connect(&window, &frmReadWrite::frameHandled, &window,
                         [&progress](const QByteArray &frame) {
                             if (frame.size() > 5 && quint8(frame.at(4)) == Cmd::DataRecord)
                                 progress.record(dataBytesOf(frame));
                         });
        QObject::connect(&window, &frmReadWrite::transferEnded, &window,
                         [&progress] { progress.finish(); });
        QEventLoop loop;
        // Messages of an end are shown right after EndTransfer: stop once they are out.
        QObject::connect(&window, &frmReadWrite::transferEnded, &loop, &QEventLoop::quit,
                         Qt::QueuedConnection);
        if (reading)
            window.cmdRead_Click();
        else
            window.cmdWrite_Click();
        if (!window.cmdRead->isEnabled())
            loop.exec();
        if (reading)
            status = user.said.isEmpty() ? ExitStatus::kOk : ExitStatus::kFailed;
        else
            status = user.said.contains(TransferText::kSuccessfulWrite) ? ExitStatus::kOk
                                                                       : ExitStatus::kFailed;
    }

    if (request.kind == TransferRequest::Kind::Verify && status == ExitStatus::kOk) {
        IcfImage radioImage;
        QString error;
        if (!loadIcf(target, &radioImage, &error)
            || radioImage.verdict == IcfImage::Verdict::Damaged)
            return trouble(QStringLiteral("the image read from the radio cannot be loaded"));
        bool differ = false;
        const QByteArray out = diffImages(fileImage, request.file, radioImage,
                                          QStringLiteral("the radio"), &differ);
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        std::fflush(stdout);
        status = differ ? ExitStatus::kFailed : ExitStatus::kOk;
    }
    return status;
}
