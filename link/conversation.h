#pragma once
// One conversation with one radio: the read or write from the model request to the end, with
// its phase, its time-outs, its frame buffer and its file. It draws nothing and shows no window:
// whoever owns it lends it a serial control, an image-file object, a file dialog and a user,
// and draws what its signals say. The window owns one; the command line one a port.
//
// Its routines are defined where their work lies: frames in link/sendreceive.cpp, the start,
// the time-outs and the end in link/transfercontrol.cpp, the two frame handlers in transfer/.

#include "link/framecodec.h"
#include "link/userseam.h"

#include <QObject>
#include <QString>
#include <QTimer>

class clsICOMFiles;
class CommonDialog;
class SerialControl;

// How a transfer ended: what the command line turns into its exit status.
struct TransferOutcome {
    enum Kind { Failed, Saved, Written };
    // What stopped a transfer that failed.
    enum Cause {
        NoCause,         // it did not fail
        NoFile,          // no file was chosen, or it could not be opened (said by the file object)
        File,            // the file is damaged, holds no records, or cannot be written
        DifferentRadio,  // the file was made for another radio, or its other version was refused
        Port,            // the port could not be selected, set or opened
        Cable,           // nothing came back: no cable
        Radio,           // the radio did not answer, or answered out of turn or with a failure
        Interrupted,     // the owner ended it
    };
    Kind kind = Failed;
    Cause cause = NoCause;
    QString message;  // the message shown with this end; empty when none was shown
};

class Conversation : public QObject {
    Q_OBJECT
public:
    // Where the conversation of a transfer stands. Every frame handler reads it to tell the
    // frames it waits for from frames out of turn, and moves it on.
    enum class Phase {
        Idle,            // no transfer
        AwaitingModel,   // IdentifyRequest sent, the radio's model reply awaited
        RequestSent,     // ReadRequest or WriteRequest sent, its echo awaited
        RecordsFlowing,  // read: the radio's records; write: the tool's records and their echoes
        EndSent,         // read: TransferResult sent, its echo awaited;
                         // write: EndOfData sent, the radio's result awaited
    };

    Conversation(SerialControl &comms, CommonDialog &dialog, UserSeam &user,
                 QObject *parent = nullptr);
    ~Conversation() override;

    // The image-file object lent by the owner; nullptr while it has none.
    void setFileSystem(clsICOMFiles *files) { ICOMFileSystem = files; }
    Phase phase() const { return m_phase; }
    bool running() const { return m_phase != Phase::Idle; }

    // Frames (link/sendreceive.cpp)
    void SendCommand(SerialControl &CommsControl, quint8 bCommand, const QByteArray &sData,
                     bool ResponseExpected);
    void ProcessCommand(const QByteArray &InString);
    void MSComm1_OnComm();

    // Transfer control (link/transfercontrol.cpp). StartTransfer selects the port named in
    // portText (empty: the one the control has), sets the speed and opens the port, each
    // failure told to the user; true when the transfer runs.
    bool StartTransfer(bool writing, const QString &portText, const QString &speedText);
    void EndTransfer();
    // EndTransfer with this outcome, then its message (if any) to the user.
    void FinishTransfer(TransferOutcome::Kind kind, TransferOutcome::Cause cause,
                        const QString &message);
    // The owner ends a running transfer (Exit, Ctrl-C): no message, a read keeps no file.
    void Interrupt();
    void tmrCableTimer_Timer();
    void tmrResponseTimer_Timer();

    // Of this conversation's user: the boxes shown so far and the text of the last one.
    int messagesShown() const { return m_told.count; }
    QString lastMessage() const { return m_told.last; }
    // Records the running (or last) read has stored.
    int recordsStored() const { return m_recordsStored; }

    QTimer tmrCableTimer;
    QTimer tmrResponseTimer;
    bool WritingToRadio = false;
    QString sFileName;  // the file of the last transfer, offered again by the save dialog
    FrameCollector sCommandBuffer;

signals:
    // The port is open and the model request on its way.
    void started();
    // Text for the conversation log, in order: frames as hex text, notes, time-outs.
    void logText(const QString &text);
    // The records of this transfer so far: a read counts the radio's records (the bad one
    // included), a write the records it has sent; 0 when the file is open and none has gone.
    // total: the records a write sends, 0 when not known.
    void progress(int records, int total);
    // Every whole frame handed to a transfer handler.
    void frameHandled(const QByteArray &frame);
    // Every frame SendCommand hands to the serial control.
    void frameSent(const QByteArray &frame);
    // Every end of a transfer, emitted by EndTransfer before any message of that end.
    void finished(const TransferOutcome &outcome);
    // The user cancelled an error report of the image-file object.
    void errorReportCancelled();

private:
    // The user as this conversation's routines meet it: counts what it is told, and hands a
    // cancelled error report to the owner instead of ending the process.
    class Told final : public UserSeam {
    public:
        Told(UserSeam &user, Conversation &conversation) : m_user(user), m_conv(conversation) {}
        void showMessage(const QString &title, const QString &text) override;
        bool askOkCancel(const QString &title, const QString &text, bool warningIcon) override;
        bool askYesNo(const QString &title, const QString &text) override
        {
            return m_user.askYesNo(title, text);
        }
        QString openFileName(const FileDialogRequest &request) override;
        QString saveFileName(const FileDialogRequest &request) override;
        void reportCancelled() override;
        int count = 0;
        QString last;

    private:
        UserSeam &m_user;
        Conversation &m_conv;
    };

    // Frame handlers of the two directions (transfer/)
    void ProcessReadCommand(const QByteArray &sFrame);
    void ProcessWriteCommand(const QByteArray &sFrame);
    void StartProgressBar();
    void StepProgressBar();
    void ShowMessage(const QString &message);
    void log(const QString &text);
    bool logWanted() const;

    SerialControl &MSComm1;
    CommonDialog &CommonDialog1;
    clsICOMFiles *ICOMFileSystem = nullptr;
    Told m_told;

    Phase m_phase = Phase::Idle;
    // Of the running transfer: records the read has stored, records counted for progress, and
    // whether the radio was heard still sending an earlier image (records or an end frame
    // before the model reply).
    int m_recordsStored = 0;
    int m_progressRecords = 0;
    int m_total = 0;
    bool m_earlierImageSeen = false;
    // Of a read: the address the radio's next record should start at (-1 before the first).
    int m_nextAddress = -1;
    // Set by FinishTransfer for the EndTransfer it calls; any other end is a failure.
    TransferOutcome m_outcome;
};
