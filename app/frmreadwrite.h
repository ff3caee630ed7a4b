#pragma once
// The program's only window. It owns the serial control, the controls, the one image-file
// object and the conversation (link/conversation.h) that runs its transfers, lends the
// conversation the control, the file object, the file dialog and the user, and draws what the
// conversation's signals say: log text, progress, the buttons at the start and the end.

#include "app/userseam.h"
#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "link/conversation.h"
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

class frmReadWrite : public QWidget {
    Q_OBJECT
public:
    using Phase = Conversation::Phase;
    Phase phase() const { return m_conversation.phase(); }
    // What the progress bar tells assistive technology: records sent of the file's records
    // (a write with its records going out; {0, 0} otherwise), and the passing record as text.
    std::pair<int, int> progressOfRecords() const;
    QString progressText() const;

    explicit frmReadWrite(QWidget *parent = nullptr);
    ~frmReadWrite() override;

    // The conversation's routines, under the names a reader looks for on the window.
    void SendCommand(SerialControl &CommsControl, quint8 bCommand, const QByteArray &sData,
                     bool ResponseExpected)
    {
        m_conversation.SendCommand(CommsControl, bCommand, sData, ResponseExpected);
    }
    void ProcessCommand(const QByteArray &InString) { m_conversation.ProcessCommand(InString); }

    // Start-up and unload (app/frmreadwrite.cpp)
    void Form_Load();
    void Form_Unload();

    // Event handlers, public so tests can drive them as the user and the devices would.
    void MSComm1_OnComm() { m_conversation.MSComm1_OnComm(); }
    void chkShowText_Click();
    void cmdClearText_Click();
    void cmdExit_Click();
    void cmdRead_Click();
    void cmdWrite_Click();
    void tmrCableTimer_Timer() { m_conversation.tmrCableTimer_Timer(); }
    void tmrResponseTimer_Timer() { m_conversation.tmrResponseTimer_Timer(); }

    // Starts a transfer on the port and at the speed the lists show, in the direction
    // WritingToRadio gives.
    void StartTransfer();
    void EndTransfer() { m_conversation.EndTransfer(); }

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
    SerialControl MSComm1;
    CommonDialog CommonDialog1;
    std::unique_ptr<clsICOMFiles> ICOMFileSystem;

private:
    ProgramUserSeam m_user;  // lent to the conversation: the program's user, as installed

public:
    Conversation m_conversation{MSComm1, CommonDialog1, m_user};
    // The conversation's state under the window's names.
    QTimer &tmrCableTimer = m_conversation.tmrCableTimer;
    QTimer &tmrResponseTimer = m_conversation.tmrResponseTimer;
    bool &WritingToRadio = m_conversation.WritingToRadio;
    QString &sFileName = m_conversation.sFileName;
    FrameCollector &sCommandBuffer = m_conversation.sCommandBuffer;

signals:
    // Every end of a transfer, after the window is idle again and before any message of it.
    void transferEnded();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    // What the conversation says, drawn.
    void transferBegun();
    void drawProgress(int records, int total);
    void transferOver(const TransferOutcome &outcome);

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
    // How the last transfer ended, for what the window says of it.
    TransferOutcome::Kind m_lastEnd = TransferOutcome::Failed;
};
