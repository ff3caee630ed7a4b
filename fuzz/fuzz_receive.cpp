// The receive path: arbitrary bytes, cut into arbitrary chunks, handed to a window whose transfer
// was started on a pseudo-terminal, as the serial control's receive event hands them, with a
// scripted user. Input: byte 0 the direction and what the user does, byte 1 how the bytes are
// cut; in a write with a file of its own, two length bytes and the file; the rest is what the
// radio and the cable send. See fuzz/README.md.

#include "fuzz/fuzzcheck.h"
#include "app/frmreadwrite.h"
#include "image/icfformat.h"
#include "tests/support/scriptedseam.h"
#include "tools/pty.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

namespace {

constexpr const char *kTarget = "receive";

enum Option : std::uint8_t {
    Write = 0x01,          // write to the radio instead of reading
    OldFile = 0x02,        // an earlier file sits at the save path
    Cancel = 0x04,         // the user cancels the file dialog
    DeclineVersion = 0x08, // the user declines another version's file
    OwnFile = 0x10,        // write: the input brings the file to write
    MissingFolder = 0x20,  // the chosen path is in a folder that is not there
    ShowLog = 0x40,        // the conversation box is shown, so every frame is logged
};

const QByteArray kOldFile = "5A170002\r\n#an earlier backup\r\nghiggkgxhyizj{\r\n";

struct World {
    PseudoTerminal pty;
    PortFolder ports;
    // Scratch files in memory where there is a memory file system.
    QTemporaryDir dir{(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                           ? QStringLiteral("/dev/shm") : QDir::tempPath())
                      + QStringLiteral("/replix-fuzz-XXXXXX")};
    ScriptedSeam user;
    frmReadWrite *window = nullptr;
    QString savePath = dir.filePath(QStringLiteral("radio.icf"));
    QString inputPath = dir.filePath(QStringLiteral("input.icf"));
    QByteArray goodFile = "5A170002\r\n#VR-5A17 Ver 1.02\r\n", inputOnDisk;
    bool checkHang = qEnvironmentVariableIntValue("REPLIX_FUZZ_NO_HANG_CHECK") == 0;
};
World *world = nullptr;

bool isUpperHex(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// What a committed read leaves: model line, comment line, data lines that all decode, each
// ended by CR LF (never a lone CR) and nothing after the last.
bool isWholeImage(const QByteArray &content)
{
    const QList<QByteArray> lines = content.split('\r');  // the comment may hold an LF
    if (lines.size() < 3 || lines.last() != "\n")
        return false;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (i > 0 && !lines[i].startsWith('\n'))
            return false;  // a lone CR: a line the tool never writes
        QByteArray line = lines[i].sliced(i > 0);
        if (i == 0 ? line.isEmpty() || line.size() > 8 || line.size() % 2 || !isUpperHex(line)
                   : i == 1 ? !line.startsWith('#') || line.size() > 17 : !DecodeICFLine(line))
            return false;
    }
    return true;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    EXPECT(f.open(QIODevice::ReadOnly), "a file in the test folder cannot be read back");
    return f.readAll();
}

// The idle and running states the window must always be in between two receive events.
void checkWindowState(const frmReadWrite &w)
{
    const bool idle = w.cmdRead->isEnabled();
    EXPECT(w.cmdWrite->isEnabled() == idle && w.chkShowText->isEnabled() == idle,
           "transfer buttons and check box disagree about the transfer");
    if (idle) {
        EXPECT(!w.tmrCableTimer.isActive() && !w.tmrResponseTimer.isActive(),
               "transfer ended with a time-out running");
        EXPECT(!w.MSComm1.PortOpen(), "transfer ended with the port open");
        EXPECT(!w.ICOMFileSystem->inputOpen() && !w.ICOMFileSystem->outputOpen(),
               "transfer ended with a file open");
    } else {
        EXPECT(w.MSComm1.PortOpen(), "transfer running with the port closed");
        EXPECT(!world->checkHang || w.tmrCableTimer.isActive() || w.tmrResponseTimer.isActive(),
               "port open with no time-out armed: the window hangs");
    }
}

// Every box and dialog opens with both time-outs stopped; a plain message only once the
// transfer is over.
void watchWhatIsShown()
{
    world->user.whileNextShown([] {
        const frmReadWrite &w = *world->window;
        EXPECT(!w.tmrCableTimer.isActive() && !w.tmrResponseTimer.isActive(),
               "a box or dialog is up while a time-out can fire");
        if (world->user.shown().last().kind == ScriptedSeam::Kind::Message)
            EXPECT(!w.MSComm1.PortOpen() && w.cmdRead->isEnabled(),
                   "a message box is up while the transfer still runs");
        watchWhatIsShown();
    });
}

} // namespace

// The syncs of a committed image and of Qt's port lock file cost a disk flush each and prove
// nothing here; the fuzzer's scratch files are thrown away. Only this program is spared them.
extern "C" int fsync(int) { return 0; }
extern "C" int fdatasync(int) { return 0; }

// Font set-up allocates once per process and keeps it; not ours, and not per input.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtFatalMsg)
            fuzzcheck::broken(kTarget, qPrintable(text));
    });
    fuzzcheck::keepRuntimeFolder();
    new QApplication(*argc, *argv);
    World &x = *(world = new World);
    EXPECT(x.pty.isOpen() && x.dir.isValid() && x.ports.publish(1, x.pty.slavePath()),
           "harness: no pseudo-terminal or temporary folder");
    x.ports.makeCurrent();
    fuzzcheck::keepTidy(x.dir.path().toStdString());
    fuzzcheck::keepTidy(x.ports.path().toStdString());
    // Model 5A170002, comment, then three records written the way a read stores them.
    for (QByteArray line : {"0120040A1B2C3D", "01240400FF7F80", "0128020102"}) {
        EXPECT(EncodeICFLine(line), "fixture: a plain line did not encode");
        x.goodFile += line + "\r\n";
    }
    x.window = new frmReadWrite;
    x.window->Form_Load();
    EXPECT(x.window->cboPort->currentText() == QStringLiteral("1"),
           "harness: the pseudo-terminal is not offered as port 1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    World &x = *world;
    const std::uint8_t options = data[0];
    const bool writing = options & Write;
    QByteArrayView rest(reinterpret_cast<const char *>(data) + 2, qsizetype(size) - 2);
    QByteArray inputFile = x.goodFile;
    if (writing && (options & OwnFile)) {
        if (rest.size() < 2)
            return 0;
        const qsizetype length = std::min<qsizetype>(
            rest.size() - 2, std::uint8_t(rest[0]) | (std::uint8_t(rest[1]) << 8));
        inputFile = rest.sliced(2, length).toByteArray();
        rest = rest.sliced(2 + length);
    }

    // The folder holds the input file as the last run left it (checked) and nothing else.
    const bool hadOld = options & OldFile;
    const bool sameInput = inputFile == x.inputOnDisk;
    EXPECT((sameInput || fuzzcheck::putFile(x.inputPath, x.inputOnDisk = inputFile))
               && (!hadOld || fuzzcheck::putFile(x.savePath, kOldFile)),
           "harness: cannot write the input file or the earlier file");

    ScriptedSeam &user = x.user;
    if (!(options & Cancel)) {
        const QString chosen = (options & MissingFolder)
            ? x.dir.filePath(QStringLiteral("missing/radio.icf"))
            : (writing ? x.inputPath : x.savePath);
        writing ? user.answerOpen(chosen) : user.answerSave(chosen);
    }
    // Error reports are always answered OK: Cancel there ends the process by design.
    if (writing)
        user.answerQuestions({!(options & DeclineVersion)});

    // One window serves every run: each starts from the idle state the previous one had to
    // end in, with what a transfer keeps from the last (partial frame, offered name) cleared.
    frmReadWrite &w = *x.window;
    w.txtDataReceived->setVisible(options & ShowLog);
    w.sCommandBuffer.clear();
    w.sFileName.clear();
    watchWhatIsShown();
    writing ? w.cmdWrite_Click() : w.cmdRead_Click();
    EXPECT(w.MSComm1.PortOpen() && !w.cmdRead->isEnabled(), "harness: the transfer did not start");

    // Byte 1 cuts the stream: sizes from 1 to 12, or to 600 with bit 80.
    fuzzcheck::Cutter cutter(data[1], data[1] & 0x80 ? 600 : 12);
    while (!rest.isEmpty() && !w.cmdRead->isEnabled()) {
        w.ProcessCommand(cutter.next(rest).toByteArray());
        checkWindowState(w);
    }

    // The radio falls silent: the armed time-out ends the transfer (with the hang check off,
    // maybe none is armed).
    if (!w.cmdRead->isEnabled()) {
        w.tmrResponseTimer.isActive() ? w.tmrResponseTimer_Timer()
        : w.tmrCableTimer.isActive()  ? w.tmrCableTimer_Timer()
                                      : w.EndTransfer();
        EXPECT(w.cmdRead->isEnabled(), "a time-out did not end the transfer");
        checkWindowState(w);
    }
    user.clear();

    // The folder holds the input file as it was, and at the save path the earlier file as it
    // was or a whole image (a write never makes one); nothing else, so no temporary file.
    bool hasInput = false, hasSave = false;
    for (const auto &entry : std::filesystem::directory_iterator(x.dir.path().toStdString())) {
        const QString name = QString::fromStdString(entry.path().filename().string());
        const QByteArray content = fileBytes(x.dir.filePath(name));
        hasInput = hasInput || name == QStringLiteral("input.icf");
        hasSave = hasSave || name == QStringLiteral("radio.icf");
        EXPECT(name == QStringLiteral("input.icf") || name == QStringLiteral("radio.icf"),
               "a stray file was left in the folder");
        EXPECT(name != QStringLiteral("input.icf") || content == inputFile,
               "the input file was changed");
        if (name == QStringLiteral("radio.icf") && !(hadOld && content == kOldFile))
            EXPECT(!writing && isWholeImage(content),
                   writing ? "a write changed or made the save file"
                           : "the save path holds something other than a whole image or the "
                             "earlier file");
    }
    EXPECT(hasInput && (!hadOld || hasSave), "the input file or the earlier file was removed");
    if (hasSave)
        QFile::remove(x.savePath);

    // Leave nothing allocated that the next run would free (libFuzzer would take it for a
    // possible leak and scan the whole heap), drain what the tool sent, and do what the event
    // loop does between two transfers (deleteLater, widget updates).
    if (options & ShowLog)
        w.txtDataReceived->clear();
    w.sCommandBuffer.clear();
    w.sFileName.clear();
    x.pty.read(0, 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    return 0;
}
