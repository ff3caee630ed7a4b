#pragma once
// The program's only window: the conductor of a transfer. It owns the serial control, the two
// time-outs, the controls and the one image-file object. Its methods are defined where their
// work lies: window and start-up in app/, frames and transfer control in link/, the read and
// write handlers in transfer/.

#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "link/framecodec.h"
#include "serial/serialcontrol.h"

#include <QTimer>
#include <QWidget>
#include <memory>
#include <utility>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// How a transfer ended: what the command line turns into its exit status.
struct TransferOutcome {
    enum Kind { Failed, Saved, Written };
    Kind kind = Failed;
    QString message;  // the message shown with this end; empty when none was shown
};

class frmReadWrite : public QWidget {
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
    Phase phase() const { return m_phase; }
    // What the progress bar tells assistive technology: records sent of the file's records
    // (a write with its records going out; {0, 0} otherwise), and the passing record as text.
    std::pair<int, int> progressOfRecords() const;
    QString progressText() const;

    explicit frmReadWrite(QWidget *parent = nullptr);
    ~frmReadWrite() override;

    // Frames (link/sendreceive.cpp)
    void SendCommand(SerialControl &CommsControl, quint8 bCommand, const QByteArray &sData,
                     bool ResponseExpected);
    void ProcessCommand(const QByteArray &InString);

    // Start-up and unload (app/frmreadwrite.cpp)
    void Form_Load();
    void Form_Unload();

    // Event handlers, public so tests can drive them as the user and the devices would.
    void MSComm1_OnComm();
    void chkShowText_Click();
    void cmdClearText_Click();
    void cmdExit_Click();
    void cmdRead_Click();
    void cmdWrite_Click();
    void tmrCableTimer_Timer();
    void tmrResponseTimer_Timer();

    // Transfer control (link/transfercontrol.cpp)
    void StartTransfer();
    void EndTransfer();
    // EndTransfer, the end's outcome to onlookers, then its message (if any) to the user.
    void FinishTransfer(TransferOutcome::Kind kind, const QString &message);

    // Controls
    QGroupBox *fraComms;
    QPushButton *cmdRead;
    QComboBox *cboSpeed;
    QComboBox *cboPort;
    QLabel *lblPort;
    QLabel *lblBaudRate;
    QGroupBox *fraTextDisplay;
    QPushButton *cmdClearText;
    QPlainTextEdit *txtDataReceived;
    QCheckBox *chkShowText;
    QProgressBar *ProgressBar1;
    QPushButton *cmdExit;
    QPushButton *cmdWrite;
    QTimer tmrCableTimer;
    QTimer tmrResponseTimer;
    SerialControl MSComm1;
    CommonDialog CommonDialog1;

    // Window-level state
    std::unique_ptr<clsICOMFiles> ICOMFileSystem;
    bool WritingToRadio = false;
    QString sFileName;  // the file of the last transfer, offered again by the save dialog
    FrameCollector sCommandBuffer;

signals:
    // For onlookers such as the command line: every whole frame handed to a transfer handler,
    // and every end of a transfer (emitted by EndTransfer, before any message of that end).
    void frameHandled(const QByteArray &frame);
    // Every frame SendCommand hands to the serial control.
    void frameSent(const QByteArray &frame);
    void transferEnded();
    // How it ended; emitted by every end of a transfer just before transferEnded.
    void transferFinished(const TransferOutcome &outcome);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    // Frame handlers of the two directions (transfer/)
    void ProcessReadCommand(const QByteArray &sFrame);
    void ProcessWriteCommand(const QByteArray &sFrame);
    void StartProgressBar();
    void StepProgressBar();

    void buildControls();
    void placeControls();
    qreal captionGrowth() const;
    void setOuterHeightTwips(int twips);
    void fitToPane();
    void describePorts();
    void announceChoices(QComboBox *list);
    bool askToStopWrite();
    void transferStarted();
    void announceEnd();

    // Every control with its design rectangle in twips, in its container.
    QList<std::pair<QWidget *, QRect>> m_design;
    // The factor by which the whole twip grid is enlarged so that every caption fits.
    qreal m_gridScale = 1.0;
    // Records the progress bar has counted in this transfer, and the messages shown before it.
    int m_recordsCounted = 0;
    int m_messagesBeforeStart = 0;

    bool m_unloaded = false;
    bool m_asking = false;  // the question before stopping a write is up
    // Sized and centred at the first show; later shows keep the user's position.
    bool m_placed = false;
    Phase m_phase = Phase::Idle;
    // Of the running transfer: records the read has stored, and whether the radio was heard
    // still sending an earlier image (records or an end frame before the model reply).
    int m_recordsStored = 0;
    bool m_earlierImageSeen = false;
    // Of a read: the address the radio's next record should start at (-1 before the first).
    int m_nextAddress = -1;
    // Set by FinishTransfer for the EndTransfer it calls; any other end is a failure.
    TransferOutcome m_outcome;
    // How the last transfer ended, for what the window says of it.
    TransferOutcome::Kind m_lastEnd = TransferOutcome::Failed;
};
