// Starting a transfer, its two time-outs, and the one way every transfer ends.

#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "link/conversation.h"
#include "link/hextext.h"
#include "serial/commsmodule.h"
#include "serial/serialcontrol.h"
#include "transfer/messages.h"

#include <QMetaMethod>

#include <utility>

Conversation::Conversation(SerialControl &comms, CommonDialog &dialog, UserSeam &user,
                           QObject *parent)
    : QObject(parent), MSComm1(comms), CommonDialog1(dialog), m_told(user, *this)
{
    for (QTimer *timer : {&tmrCableTimer, &tmrResponseTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&tmrCableTimer, &QTimer::timeout, this, &Conversation::tmrCableTimer_Timer);
    connect(&tmrResponseTimer, &QTimer::timeout, this, &Conversation::tmrResponseTimer_Timer);
    connect(&MSComm1, &SerialControl::OnComm, this, &Conversation::MSComm1_OnComm);
}

Conversation::~Conversation() = default;

void Conversation::Told::showMessage(const QString &title, const QString &text)
{
    ++count;
    last = text;
    m_user.showMessage(title, text);
}

bool Conversation::Told::askOkCancel(const QString &title, const QString &text, bool warningIcon)
{
    if (warningIcon) {  // an error report is a box the user has been shown
        ++count;
        last = text;
    }
    return m_user.askOkCancel(title, text, warningIcon);
}

QString Conversation::Told::openFileName(const FileDialogRequest &request)
{
    return m_user.openFileName(request);
}

QString Conversation::Told::saveFileName(const FileDialogRequest &request)
{
    return m_user.saveFileName(request);
}

void Conversation::Told::reportCancelled()
{
    // The owner decides: the window ends the program, as the box offered.
    emit m_conv.errorReportCancelled();
}

void Conversation::ShowMessage(const QString &message)
{
    m_told.showMessage(AppTitle(), message);
}

bool Conversation::logWanted() const
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&Conversation::logText);
    return isSignalConnected(signal);
}

void Conversation::log(const QString &text)
{
    emit logText(text);
}

bool Conversation::StartTransfer(bool writing, const QString &portText, const QString &speedText)
{
    const SpeakingSeam speaking(m_told);
    SerialControl::EventHold hold(MSComm1);
    WritingToRadio = writing;
    if (!ChangePort(portText, MSComm1))
        return false;
    if (!ChangeBaudRate(speedText, MSComm1))
        return false;
    if (!OpenPort(MSComm1))
        return false;
    // A frame cut off when the last transfer ended (a time-out, a pulled cable) must not
    // become the head of this transfer's first frame.
    sCommandBuffer.clear();
    m_recordsStored = 0;
    m_progressRecords = 0;
    m_total = 0;
    m_earlierImageSeen = false;
    m_phase = Phase::AwaitingModel;
    emit started();
    SendCommand(MSComm1, Cmd::IdentifyRequest, HexToBytes("00000000"), true);
    return true;
}

void Conversation::tmrCableTimer_Timer()
{
    const SpeakingSeam speaking(m_told);
    SerialControl::EventHold hold(MSComm1);
    tmrCableTimer.stop();
    log(QStringLiteral(" Computer: No Cable Detected\r\n"));
    // Records of an earlier read queued on the line hold back the echo: the cable is there,
    // the radio is still sending.
    FinishTransfer(TransferOutcome::Failed,
                   m_earlierImageSeen ? TransferOutcome::Radio : TransferOutcome::Cable,
                   m_earlierImageSeen ? TransferText::kStillSending
                                      : QStringLiteral("Unable to locate interface cable."));
}

void Conversation::tmrResponseTimer_Timer()
{
    const SpeakingSeam speaking(m_told);
    SerialControl::EventHold hold(MSComm1);
    tmrResponseTimer.stop();
    log(QStringLiteral(" Radio   : No Response\r\n"));
    const QString message = QStringLiteral("No response from radio.");
    FinishTransfer(TransferOutcome::Failed, TransferOutcome::Radio,
                   m_earlierImageSeen ? TransferText::withEarlierImageHint(message) : message);
}

void Conversation::FinishTransfer(TransferOutcome::Kind kind, TransferOutcome::Cause cause,
                                  const QString &message)
{
    m_outcome = {kind, cause, message};
    EndTransfer();
    if (!message.isEmpty())
        ShowMessage(message);
}

void Conversation::Interrupt()
{
    if (running())
        FinishTransfer(TransferOutcome::Failed, TransferOutcome::Interrupted, QString());
}

void Conversation::EndTransfer()
{
    const SpeakingSeam speaking(m_told);
    const TransferOutcome outcome = std::exchange(m_outcome, {});
    m_phase = Phase::Idle;
    tmrCableTimer.stop();
    tmrResponseTimer.stop();
    ClosePort(MSComm1);
    if (ICOMFileSystem)
        ICOMFileSystem->CloseCurrentFile();
    emit finished(outcome);
}

void Conversation::StartProgressBar()
{
    m_progressRecords = 0;
    emit progress(0, m_total);
}

void Conversation::StepProgressBar()
{
    emit progress(++m_progressRecords, m_total);
}
