// Starting a transfer, its two time-outs, and the one way every transfer ends.

#include "app/frmreadwrite.h"
#include "app/misc.h"
#include "link/commstxt.h"
#include "link/hextext.h"
#include "serial/commsmodule.h"
#include "transfer/messages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <utility>

void frmReadWrite::cmdRead_Click()
{
    WritingToRadio = false;
    StartTransfer();
}

void frmReadWrite::cmdWrite_Click()
{
    WritingToRadio = true;
    StartTransfer();
}

void frmReadWrite::StartTransfer()
{
    SerialControl::EventHold hold(MSComm1);
    if (!ChangePort(cboPort->currentText(), MSComm1))
        return;
    if (!ChangeBaudRate(cboSpeed->currentText(), MSComm1))
        return;
    if (!OpenPort(MSComm1))
        return;
    cmdRead->setEnabled(false);
    cmdWrite->setEnabled(false);
    chkShowText->setEnabled(false);
    if (!txtDataReceived->document()->isEmpty())
        txtDataReceived->clear();
    // A frame cut off when the last transfer ended (a time-out, a pulled cable) must not
    // become the head of this transfer's first frame.
    sCommandBuffer.clear();
    m_recordsStored = 0;
    m_earlierImageSeen = false;
    m_phase = Phase::AwaitingModel;
    SendCommand(MSComm1, Cmd::IdentifyRequest, HexToBytes("00000000"), true);
}

void frmReadWrite::tmrCableTimer_Timer()
{
    SerialControl::EventHold hold(MSComm1);
    tmrCableTimer.stop();
    DisplayText(txtDataReceived, QStringLiteral(" Computer: No Cable Detected\r\n"));
    // Records of an earlier read queued on the line hold back the echo: the cable is there,
    // the radio is still sending.
    FinishTransfer(TransferOutcome::Failed,
                   m_earlierImageSeen ? TransferText::kStillSending
                                      : QStringLiteral("Unable to locate interface cable."));
}

void frmReadWrite::tmrResponseTimer_Timer()
{
    SerialControl::EventHold hold(MSComm1);
    tmrResponseTimer.stop();
    DisplayText(txtDataReceived, QStringLiteral(" Radio   : No Response\r\n"));
    const QString message = QStringLiteral("No response from radio.");
    FinishTransfer(TransferOutcome::Failed,
                   m_earlierImageSeen ? TransferText::withEarlierImageHint(message) : message);
}

void frmReadWrite::FinishTransfer(TransferOutcome::Kind kind, const QString &message)
{
    m_outcome = {kind, message};
    EndTransfer();
    if (!message.isEmpty())
        ShowMessage(message);
}

void frmReadWrite::EndTransfer()
{
    const TransferOutcome outcome = std::exchange(m_outcome, {});
    m_phase = Phase::Idle;
    tmrCableTimer.stop();
    tmrResponseTimer.stop();
    ClosePort(MSComm1);
    if (ICOMFileSystem)
        ICOMFileSystem->CloseCurrentFile();
    ProgressBar1->setValue(0);
    cmdRead->setEnabled(true);
    cmdWrite->setEnabled(true);
    chkShowText->setEnabled(true);
    emit transferFinished(outcome);
    emit transferEnded();
}
