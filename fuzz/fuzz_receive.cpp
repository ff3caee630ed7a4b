// The receive path: arbitrary bytes, cut into arbitrary chunks, handed to a window whose transfer
// was started on a pseudo-terminal, as the serial control's receive event hands them, with a
// scripted user. Input layout and invariants: fuzz/README.md.

#include "app/frmreadwrite.h"
#include "fuzz/fuzzcheck.h"
#include "image/icfformat.h"
#include "tests/support/scriptedseam.h"
#include "tools/pty.h"
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <dirent.h>

namespace {
constexpr const char *kTarget = "receive";
// Byte 0 of an input (what each means: fuzz/README.md).
enum Option : std::uint8_t {
    Write = 0x01,
    OldFile = 0x02,
    Cancel = 0x04,
    DeclineVersion = 0x08,
    OwnFile = 0x10,
    MissingFolder = 0x20
};
const QByteArray kOldFile = "5A170002\r\n#an earlier backup\r\nghiggkgxhyizj{\r\n";

struct World {
    PseudoTerminal pty;
    PortFolder ports;
    QString dir = fuzzcheck::scratch();
    ScriptedSeam user;
    frmReadWrite *window = nullptr;
    QString savePath = dir + QStringLiteral("/radio.icf");
    QString inputPath = dir + QStringLiteral("/input.icf");
    DIR *listing = ::opendir(QFile::encodeName(dir).constData());  // read again in each run
    QByteArray goodFile = "5A170002\r\n#VR-5A17 Ver 1.02\r\n", inputOnDisk;
    bool checkHang = qEnvironmentVariableIntValue("REPLIX_FUZZ_NO_HANG_CHECK") == 0;
};
World *world = nullptr;
// What a committed read leaves: model line, comment line, data lines that all decode, each
// ended by CR LF (never a lone CR) and nothing after the last.
bool isWholeImage(const QByteArray &content)
{
    const QList<QByteArray> lines = content.split('\r');  // the comment may hold an LF
    if (lines.size() < 3 || lines.last() != "\n")
        return false;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        QByteArray line = lines[i].sliced(i > 0);
        if ((i > 0 && !lines[i].startsWith('\n'))  // a lone CR: a line the tool never writes
            || (i == 0 ? line.isEmpty() || line.size() > 8 || line.size() % 2
                             || !fuzzcheck::all(line, fuzzcheck::isUpperHex)
                : i == 1 ? !line.startsWith('#') || line.size() > 17
                         : !DecodeICFLine(line)))
            return false;
    }
    return true;
}
bool timing(const frmReadWrite &w)
{
    return w.tmrCableTimer.isActive() || w.tmrResponseTimer.isActive();
}
// The state the window must be in between two receive events.
void checkWindowState(const frmReadWrite &w)
{
    const bool idle = w.cmdRead->isEnabled(), open = w.MSComm1.PortOpen();
    EXPECT(w.cmdWrite->isEnabled() == idle && w.chkShowText->isEnabled() == idle,
           "transfer buttons and check box disagree about the transfer");
    EXPECT(idle ? !timing(w) && !open && !w.ICOMFileSystem->inputOpen()
                      && !w.ICOMFileSystem->outputOpen()
                : open && (timing(w) || !world->checkHang),
           "transfer ended with a time-out running, the port or a file open; or running with the "
           "port closed or no time-out armed: the window hangs");
}

void watchWhatIsShown()
{
    world->user.whileNextShown([] {
        const frmReadWrite &w = *world->window;
        EXPECT(!timing(w)
                   && (world->user.shown().last().kind != ScriptedSeam::Kind::Message
                       || (!w.MSComm1.PortOpen() && w.cmdRead->isEnabled())),
               "a box or dialog is up while a time-out can fire, or a message while it runs");
        watchWhatIsShown();
    });
}
}  // namespace

// The syncs of a committed image and of Qt's port lock file cost a disk flush each and prove
// nothing on scratch files; only this program is spared them.
extern "C" int fsync(int)
{
    return 0;
}
extern "C" int fdatasync(int)
{
    return 0;
}
// Font set-up allocates once per process and keeps it; not ours, and not per input.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtFatalMsg)
            fuzzcheck::broken(kTarget, qPrintable(text));
    });
    // Without a runtime folder Qt makes one in the temporary folder and leaves it there.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", fuzzcheck::scratch().toLocal8Bit());
    new QApplication(*argc, *argv);
    World &x = *(world = new World);
    EXPECT(x.pty.isOpen() && x.ports.publish(1, x.pty.slavePath()) && x.listing,
           "harness: no terminal or no scratch folder");
    x.ports.makeCurrent();
    fuzzcheck::scratchFolders.push_back(x.ports.path().toStdString());
    // Model 5A170002, comment, then three records written the way a read stores them.
    for (QByteArray line : {"0120040A1B2C3D", "01240400FF7F80", "0128020102"})
        x.goodFile += (EncodeICFLine(line) ? line : QByteArray()) + "\r\n";
    x.window = new frmReadWrite;
    x.window->Form_Load();
    // Thousands of opens a second of one device: the close keeps it open for the next open.
    x.window->MSComm1.setKeepDeviceOpen(true);
    // Hidden, the log is not built: fixed notes and hex (see fuzz_hextext), 2/5 of a run.
    x.window->txtDataReceived->setVisible(false);
    EXPECT(x.window->cboPort->currentText() == QStringLiteral("1"),
           "harness: the pseudo-terminal is not offered as port 1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::uint8_t options = size < 2 ? 0 : data[0];
    const bool writing = options & Write, hadOld = options & OldFile;
    if (size < 2 || (writing && (options & OwnFile) && size < 4))
        return 0;
    World &x = *world;
    QByteArrayView rest(reinterpret_cast<const char *>(data) + 2, qsizetype(size) - 2);
    QByteArray inputFile = x.goodFile;
    if (writing && (options & OwnFile)) {  // two length bytes, low first, then the file
        inputFile = rest.sliced(2).toByteArray().left(quint8(rest[0]) | quint8(rest[1]) << 8);
        rest = rest.sliced(2 + inputFile.size());
    }
    const bool same = inputFile == x.inputOnDisk;  // as the last run left it (checked)
    EXPECT((same || fuzzcheck::putFile(x.inputPath, x.inputOnDisk = inputFile))
               && (!hadOld || fuzzcheck::putFile(x.savePath, kOldFile)),
           "harness: cannot write the input file or the earlier file");

    // Error reports are always answered OK: Cancel there ends the process by design.
    const QString missing = x.dir + QStringLiteral("/missing/radio.icf");
    const QString chosen = options & MissingFolder ? missing : writing ? x.inputPath : x.savePath;
    if (!(options & Cancel))
        writing ? x.user.answerOpen(chosen) : x.user.answerSave(chosen);
    if (writing)
        x.user.answerQuestions({!(options & DeclineVersion)});

    // One window serves every run: each starts from the idle state the previous one had to
    // end in; what a transfer keeps from the last (partial frame, offered name) was cleared.
    frmReadWrite &w = *x.window;
    watchWhatIsShown();
    writing ? w.cmdWrite_Click() : w.cmdRead_Click();
    EXPECT(w.MSComm1.PortOpen() && !w.cmdRead->isEnabled(), "harness: the transfer did not start");
    fuzzcheck::Cutter cutter(data[1], data[1] & 0x80 ? 600 : 12);
    while (!rest.isEmpty() && !w.cmdRead->isEnabled()) {
        w.ProcessCommand(cutter.next(rest).toByteArray());
        checkWindowState(w);
    }
    // The radio falls silent: the armed time-out (maybe none with the hang check off) ends it.
    if (!w.cmdRead->isEnabled()) {
        w.tmrResponseTimer.isActive() ? w.tmrResponseTimer_Timer()
        : w.tmrCableTimer.isActive()  ? w.tmrCableTimer_Timer()
                                      : w.EndTransfer();
        EXPECT(w.cmdRead->isEnabled(), "a time-out did not end the transfer");
        checkWindowState(w);
    }
    x.user.clear();
    const std::optional<QByteArray> saved = fuzzcheck::getFile(x.savePath);
    int entries = -2;  // "." and ".." are listed too
    for (::rewinddir(x.listing); ::readdir(x.listing);)
        ++entries;
    EXPECT(fuzzcheck::getFile(x.inputPath) == inputFile && entries == 1 + saved.has_value(),
           "the input file was changed or removed, or a stray file was left in the folder");
    EXPECT(saved ? (hadOld && saved == kOldFile) || (!writing && isWholeImage(*saved)) : !hadOld,
           "the save path holds something other than a whole image or the earlier file, a write "
           "changed it, or the earlier file was removed");
    ::unlink(QFile::encodeName(x.savePath).constData());
    // Free now what the next run would (libFuzzer would scan the heap for a leak), drain what
    // the tool sent, and do what the event loop does between two transfers.
    w.sCommandBuffer.clear();
    w.sFileName.clear();
    x.pty.read(0, 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    return 0;
}
