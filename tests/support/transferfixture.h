#pragma once
// The common ground of the tests that run whole transfers: a scratch folder, a folder of port
// names, a scripted user, a virtual radio on port 1 and a conversation on it, with no window.

#include "app/frmreadwrite.h"
#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "link/conversation.h"
#include "serial/serialcontrol.h"
#include "tests/support/scriptedseam.h"
#include "tools/virtualradio.h"

#include <QObject>
#include <QTemporaryDir>
#include <memory>

QByteArray fileBytes(const QString &path);  // "<missing>" when the file cannot be read
bool writeFile(const QString &path, const QByteArray &content);
QStringList filesIn(const QString &folder);  // hidden ones included
// A radio whose memory is records of recordSize patterned bytes from the start address.
VirtualRadioOptions radioWith(int records, int recordSize = 32, quint16 start = 0x0100);
// The radio's image as an ICF file, made by the radio's own code.
QByteArray icfOf(const VirtualRadioOptions &options);

// One conversation with what its owner lends it, and what it has said.
struct Rig {
    explicit Rig(UserSeam &user);
    SerialControl MSComm1;
    CommonDialog CommonDialog1;
    clsICOMFiles ICOMFileSystem;
    Conversation conversation;
    QString log;          // the conversation log, a line break as LF
    QList<int> progress;  // the records it told as the transfer's progress, in order
    TransferOutcome outcome;
};

class TransferFixture : public QObject {
    Q_OBJECT
protected:
    // Generous: transfers here end within seconds, time-outs included; only a hang reaches it.
    static constexpr int kTransferLimitMs = 30000;

    void setUpFixture();  // for the derived test's init() and cleanup() slots
    void tearDownFixture();
    // A new radio published as port 1 and a new conversation for it (withWindow: a window
    // loaded on it, which transfer() then drives by its buttons).
    void connect(const VirtualRadioOptions &options, bool withWindow = false);
    // A new window with no radio.
    void loadWindowOnly();
    // The user picks the file (empty: cancels) and the transfer runs to its end; notes
    // whether the port was still open while the closing message was up.
    void transfer(bool writing, const QString &file);
    // A transfer started on port 1 with nothing behind it: the test hands the conversation
    // (or, withWindow, a window's) the frames and reads what the tool put on the line with
    // sentByTool().
    void startByHand(bool writing, bool withWindow = false);
    QByteArray sentByTool();
    // Waits for the idle conversation: port closed, time-outs stopped, files closed; of a
    // window, also its buttons back and its progress at 0.
    void waitIdle();
    // The first five bytes (preamble, addresses, command) of every frame the tool sent.
    QList<QByteArray> commandsFromTool() const;
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PortFolder> m_ports;
    std::unique_ptr<ScriptedSeam> m_user;
    std::unique_ptr<VirtualRadio> m_radio;
    std::unique_ptr<Rig> m_rig;
    std::unique_ptr<frmReadWrite> m_window;  // withWindow only
    std::unique_ptr<PseudoTerminal> m_line;
    bool m_portOpenAtMessage = false;
};
