// The receive path: arbitrary bytes, cut into arbitrary chunks, handed to a conversation whose
// transfer was started on a pseudo-terminal, as the serial control's receive event hands them,
// with a scripted user and no window. Input layout and invariants: fuzz/README.md.

#include "fuzz/fuzzcheck.h"
#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "image/icfformat.h"
#include "link/conversation.h"
#include "serial/commsmodule.h"
#include "serial/serialcontrol.h"
#include "tests/support/scriptedseam.h"
#include "tools/pty.h"
#include <QCoreApplication>
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
    SerialControl control;
    CommonDialog dialog;
    clsICOMFiles files;
    Conversation conversation{control, dialog, user};
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
bool timing(const Conversation &c)
{
    return c.tmrCableTimer.isActive() || c.tmrResponseTimer.isActive();
}
// The state the conversation must be in between two receive events.
void checkState(const Conversation &c)
{
    const bool idle = !c.running(), open = world->control.PortOpen();
    EXPECT(idle ? !timing(c) && !open && !world->files.inputOpen() && !world->files.outputOpen()
                : open && (timing(c) || !world->checkHang),
           "transfer ended with a time-out running, the port or a file open; or running with the "
           "port closed or no time-out armed: the conversation hangs");
}

void watchWhatIsShown()
{
    world->user.whileNextShown([] {
        const Conversation &c = world->conversation;
        EXPECT(!timing(c)
                   && (world->user.shown().last().kind != ScriptedSeam::Kind::Message
                       || (!world->control.PortOpen() && !c.running())),
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
    new QCoreApplication(*argc, *argv);
    World &x = *(world = new World);
    EXPECT(x.pty.isOpen() && x.ports.publish(1, x.pty.slavePath()) && x.listing,
           "harness: no terminal or no scratch folder");
    x.ports.makeCurrent();
    fuzzcheck::scratchFolders.push_back(x.ports.path().toStdString());
    // Model 5A170002, comment, then three records written the way a read stores them.
    for (QByteArray line : {"0120040A1B2C3D", "01240400FF7F80", "0128020102"})
        x.goodFile += (EncodeICFLine(line) ? line : QByteArray()) + "\r\n";
    InitCommsControl(x.control);
    // Thousands of opens a second of one device: the close keeps it open for the next open.
    x.control.setKeepDeviceOpen(true);
    // Nobody listens to the log, so it is not built: fixed notes and hex (see fuzz_hextext).
    x.conversation.setFileSystem(&x.files);
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

    // One conversation serves every run: each starts from the idle state the previous one had
    // to end in; what a transfer keeps from the last (partial frame, offered name) was cleared.
    Conversation &c = x.conversation;
    watchWhatIsShown();
    EXPECT(c.StartTransfer(writing, QStringLiteral("1"), QStringLiteral("9600"))
               && x.control.PortOpen(),
           "harness: the transfer did not start");
    fuzzcheck::Cutter cutter(data[1], data[1] & 0x80 ? 600 : 12);
    while (!rest.isEmpty() && c.running()) {
        c.ProcessCommand(cutter.next(rest).toByteArray());
        checkState(c);
    }
    // The radio falls silent: the armed time-out (maybe none with the hang check off) ends it.
    if (c.running()) {
        c.tmrResponseTimer.isActive() ? c.tmrResponseTimer_Timer()
        : c.tmrCableTimer.isActive()  ? c.tmrCableTimer_Timer()
                                      : c.EndTransfer();
        EXPECT(!c.running(), "a time-out did not end the transfer");
        checkState(c);
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
    c.sCommandBuffer.clear();
    c.sFileName.clear();
    x.pty.read(0, 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    return 0;
}
