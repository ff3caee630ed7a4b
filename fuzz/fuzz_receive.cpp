// The receive path: arbitrary bytes, cut into arbitrary chunks, handed to a window whose transfer
// was started on a pseudo-terminal, exactly as the serial control's receive event hands them.
// The user is scripted, so the read and write handlers run through their file paths.
//
// Input: byte 0 chooses the direction and what the user does, byte 1 how the bytes are cut;
// in a write with a file of the input's own, two length bytes and the file follow; the rest
// is what the radio and the cable send. See fuzz/README.md.

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

#include <cstdint>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

constexpr const char *kTarget = "receive";

[[noreturn]] void broken(const char *what) { fuzzcheck::broken(kTarget, what); }

namespace Option {
constexpr std::uint8_t Write = 0x01;          // write to the radio instead of reading
constexpr std::uint8_t OldFile = 0x02;        // an earlier file sits at the save path
constexpr std::uint8_t Cancel = 0x04;         // the user cancels the file dialog
constexpr std::uint8_t DeclineVersion = 0x08; // the user declines another version's file
constexpr std::uint8_t OwnFile = 0x10;        // write: the input brings the file to write
constexpr std::uint8_t MissingFolder = 0x20;  // the chosen path is in a folder that is not there
} // namespace Option

const QString kSaveName = QStringLiteral("radio.icf");
const QString kInputName = QStringLiteral("input.icf");
const QByteArray kOldFile = "5A170002\r\n#an earlier backup\r\nghiggkgxhyizj{\r\n";

struct World {
    std::unique_ptr<QApplication> app;
    std::unique_ptr<PseudoTerminal> pty;
    std::unique_ptr<PortFolder> ports;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ScriptedSeam> user;
    QByteArray goodFile;
    // The hang check can be switched off to look past a known hang for other faults.
    bool checkHang = true;
    frmReadWrite *window = nullptr;  // lives as long as the process
};
World *world = nullptr;

void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "qFatal: %s\n", qPrintable(message));
        std::abort();
    }
}

QByteArray goodImage()
{
    // Model 5A170002, then three records written the way a read stores them.
    QByteArray file = "5A170002\r\n#VR-5A17 Ver 1.02\r\n";
    for (const char *plain : {"0120040A1B2C3D", "01240400FF7F80", "0128020102"}) {
        QByteArray line = plain;
        if (!EncodeICFLine(line))
            broken("fixture: a plain line did not encode");
        file += line + "\r\n";
    }
    return file;
}

bool isUpperHex(QByteArrayView text)
{
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

// What a committed read leaves: model line, comment line, data lines that all decode, each
// ended by CR LF and nothing after the last.
bool isWholeImage(const QByteArray &content)
{
    if (!content.endsWith("\r\n"))
        return false;
    const QList<QByteArray> lines = content.chopped(2).split('\r');
    if (lines.size() < 2)
        return false;
    for (qsizetype i = 1; i < lines.size(); ++i)
        if (!lines[i].startsWith('\n'))
            return false;  // a lone CR: a line the tool never writes
    const QByteArray model = lines[0];
    if (model.isEmpty() || model.size() > 8 || model.size() % 2 != 0 || !isUpperHex(model))
        return false;
    const QByteArray comment = lines[1].sliced(1);
    if (!comment.startsWith('#') || comment.size() > 17)
        return false;
    for (qsizetype i = 2; i < lines.size(); ++i) {
        QByteArray data = lines[i].sliced(1);
        if (!DecodeICFLine(data))
            return false;
    }
    return true;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        broken("a file in the test folder cannot be read back");
    return f.readAll();
}

void putFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        broken("harness: cannot write a fixture file");
}

void emptyFolder(const QString &path)
{
    const auto all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    for (const QFileInfo &entry : QDir(path).entryInfoList(all))
        if (!(entry.isDir() ? QDir(entry.filePath()).removeRecursively()
                            : QFile::remove(entry.filePath())))
            broken("harness: cannot empty the test folder");
}

// The idle and running states the window must always be in between two receive events.
void checkWindowState(const frmReadWrite &w)
{
    const bool idle = w.cmdRead->isEnabled();
    EXPECT(w.cmdWrite->isEnabled() == idle && w.chkShowText->isEnabled() == idle,
           "transfer buttons and check box disagree about the transfer");
    if (idle) {
        EXPECT(!w.tmrCableTimer.isActive(), "transfer ended with the cable time-out running");
        EXPECT(!w.tmrResponseTimer.isActive(), "transfer ended with the response time-out running");
        EXPECT(!w.MSComm1.PortOpen(), "transfer ended with the port open");
        EXPECT(!w.ICOMFileSystem->inputOpen() && !w.ICOMFileSystem->outputOpen(),
               "transfer ended with a file open");
    } else {
        EXPECT(w.MSComm1.PortOpen(), "transfer running with the port closed");
        if (world->checkHang)
            EXPECT(w.tmrCableTimer.isActive() || w.tmrResponseTimer.isActive(),
                   "port open with no time-out armed: the window hangs");
    }
}

// Every box and dialog opens with both time-outs stopped; a plain message only once the
// transfer is over.
void watchWhatIsShown()
{
    world->user->whileNextShown([] {
        const frmReadWrite &w = *world->window;
        EXPECT(!w.tmrCableTimer.isActive() && !w.tmrResponseTimer.isActive(),
               "a box or dialog is up while a time-out can fire");
        if (world->user->shown().last().kind == ScriptedSeam::Kind::Message)
            EXPECT(!w.MSComm1.PortOpen() && w.cmdRead->isEnabled(),
                   "a message box is up while the transfer still runs");
        watchWhatIsShown();
    });
}

// Cuts the stream: seed 0 gives it whole, others a fixed pseudo-random series of sizes.
class Chunker {
public:
    explicit Chunker(std::uint8_t seed) : m_whole(seed == 0), m_state(seed * 2654435761u | 1u),
                                          m_limit(seed & 0x80 ? 600 : 12) {}
    qsizetype next()
    {
        if (m_whole)
            return std::numeric_limits<qsizetype>::max();
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return 1 + qsizetype(m_state % m_limit);
    }

private:
    bool m_whole;
    std::uint32_t m_state;
    std::uint32_t m_limit;
};

} // namespace

// Font set-up allocates once per process and keeps it; not ours, and not per input.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quiet);
    // Without a runtime folder Qt makes one in the temporary folder and leaves it there.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        std::string runtime =
            (std::filesystem::temp_directory_path() / "replix-fuzz-XXXXXX").string();
        if (!::mkdtemp(runtime.data()))
            broken("harness: no runtime folder");
        fuzzcheck::keepTidy(runtime);
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime));
    }
    world = new World;
    world->app = std::make_unique<QApplication>(*argc, *argv);
    world->checkHang = qEnvironmentVariableIntValue("REPLIX_FUZZ_NO_HANG_CHECK") == 0;
    world->pty = std::make_unique<PseudoTerminal>();
    world->ports = std::make_unique<PortFolder>();
    world->dir = std::make_unique<QTemporaryDir>();
    if (!world->pty->isOpen() || !world->dir->isValid()
        || !world->ports->publish(1, world->pty->slavePath()))
        broken("harness: no pseudo-terminal or temporary folder");
    world->ports->makeCurrent();
    fuzzcheck::keepTidy(world->dir->path().toStdString());
    fuzzcheck::keepTidy(world->ports->path().toStdString());
    world->user = std::make_unique<ScriptedSeam>();
    world->goodFile = goodImage();
    world->window = new frmReadWrite;
    world->window->Form_Load();
    if (world->window->cboPort->currentText() != QStringLiteral("1"))
        broken("harness: the pseudo-terminal is not offered as port 1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint8_t options = data[0];
    Chunker chunker(data[1]);
    QByteArrayView rest(reinterpret_cast<const char *>(data) + 2, qsizetype(size) - 2);
    const bool writing = options & Option::Write;

    QByteArray inputFile = world->goodFile;
    if (writing && (options & Option::OwnFile)) {
        if (rest.size() < 2)
            return 0;
        const qsizetype length = std::min<qsizetype>(
            rest.size() - 2, std::uint8_t(rest[0]) | (std::uint8_t(rest[1]) << 8));
        inputFile = rest.sliced(2, length).toByteArray();
        rest = rest.sliced(2 + length);
    }

    const QString folder = world->dir->path();
    emptyFolder(folder);
    const QString savePath = folder + u'/' + kSaveName;
    const QString inputPath = folder + u'/' + kInputName;
    putFile(inputPath, inputFile);
    const bool hadOld = options & Option::OldFile;
    if (hadOld)
        putFile(savePath, kOldFile);

    ScriptedSeam &user = *world->user;
    user.clear();
    if (!(options & Option::Cancel)) {
        const QString chosen = (options & Option::MissingFolder)
                                   ? folder + QStringLiteral("/missing/") + kSaveName
                                   : (writing ? inputPath : savePath);
        writing ? user.answerOpen(chosen) : user.answerSave(chosen);
    }
    // Only the version question depends on the user; error reports are always answered OK,
    // since Cancel there ends the process by design.
    if (writing)
        user.answerQuestions({!(options & Option::DeclineVersion)});

    // One window serves every run: each starts from the idle state the previous one had to
    // end in, with what a transfer keeps from the last (partial frame, offered name) cleared.
    frmReadWrite &w = *world->window;
    w.sCommandBuffer.clear();
    w.sFileName.clear();
    world->pty->read(0, 0);
    watchWhatIsShown();
    writing ? w.cmdWrite_Click() : w.cmdRead_Click();
    if (!w.MSComm1.PortOpen() || w.cmdRead->isEnabled())
        broken("harness: the transfer did not start");

    while (!rest.isEmpty() && !w.cmdRead->isEnabled()) {
        const qsizetype n = std::min(rest.size(), chunker.next());
        w.ProcessCommand(rest.first(n).toByteArray());
        rest = rest.sliced(n);
        world->pty->read(0, 0);  // what the tool sent; the pseudo-terminal must not fill up
        checkWindowState(w);
    }

    // The radio falls silent: the armed time-out ends the transfer.
    if (!w.cmdRead->isEnabled()) {
        if (w.tmrResponseTimer.isActive())
            w.tmrResponseTimer_Timer();
        else if (w.tmrCableTimer.isActive())
            w.tmrCableTimer_Timer();
        else
            w.EndTransfer();  // only reached with the hang check off
        EXPECT(w.cmdRead->isEnabled(), "a time-out did not end the transfer");
        checkWindowState(w);
    }
    user.whileNextShown(nullptr);

    // The folder holds the input file as it was, and at the save path the earlier file as it
    // was or a whole image; nothing else, so no temporary file was left behind.
    const QStringList entries = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : entries) {
        const QByteArray content = fileBytes(folder + u'/' + name);
        if (name == kInputName) {
            EXPECT(content == inputFile, "the input file was changed");
        } else if (name == kSaveName) {
            if (writing)
                EXPECT(hadOld && content == kOldFile, "a write changed or made the save file");
            else if (!(hadOld && content == kOldFile))
                EXPECT(isWholeImage(content), "the save path holds something other than a "
                                              "whole image or the earlier file");
        } else {
            broken("a stray file was left in the folder");
        }
    }
    EXPECT(entries.contains(kInputName), "the input file was removed");
    EXPECT(!hadOld || entries.contains(kSaveName), "the earlier file was removed");

    // Leave nothing allocated that the next run would free: libFuzzer takes memory kept past
    // a run for a possible leak and scans the whole heap for it, which costs more than the run.
    user.clear();
    w.txtDataReceived->clear();
    w.sCommandBuffer.clear();
    w.sFileName.clear();
    // What the event loop would do between two transfers: objects the port closed with
    // deleteLater, widget updates. With the port closed and no time-out armed, nothing else.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    return 0;
}
