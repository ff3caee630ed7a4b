// Frames out and in: sending a frame with its time-outs armed, collecting received bytes into
// frames, and the serial control's communication event.

#include "link/commevents.h"
#include "link/conversation.h"
#include "link/hextext.h"
#include "link/timeouts.h"
#include "serial/serialcontrol.h"

void Conversation::SendCommand(SerialControl &CommsControl, quint8 bCommand,
                               const QByteArray &sData, bool ResponseExpected)
{
    // A refused write (the device has gone) sends nothing: the cable time-out then ends the
    // transfer as it does when no echo comes back.
    const QByteArray frame = buildFrame(bCommand, sData);
    CommsControl.Output(frame);
    emit frameSent(frame);

    tmrCableTimer.setInterval(kCableTimeout);
    tmrCableTimer.stop();
    tmrCableTimer.start();
    tmrResponseTimer.stop();
    if (ResponseExpected) {
        tmrResponseTimer.setInterval(kResponseTimeout);
        tmrResponseTimer.start();
    }
}

void Conversation::ProcessCommand(const QByteArray &InString)
{
    const SpeakingSeam speaking(m_told);
    const bool wasRunning = m_phase != Phase::Idle;
    QByteArrayView rest(InString);
    while (!rest.isEmpty()) {
        const auto item = sCommandBuffer.take(rest);
        if (!item)
            continue;
        if (item->kind != FrameCollector::Kind::Frame)
            log(QStringLiteral(" Bad Command : "));
        else if (WritingToRadio)
            ProcessWriteCommand(item->bytes);
        else
            ProcessReadCommand(item->bytes);
        if (item->kind == FrameCollector::Kind::Frame)
            emit frameHandled(item->bytes);
        if (logWanted())
            emit logText(QString::fromLatin1(BytesToHex(item->bytes, true))
                         + QStringLiteral("\r\n"));
        if (m_phase != Phase::Idle && item->kind == FrameCollector::Kind::Frame
            && !tmrCableTimer.isActive() && !tmrResponseTimer.isActive()) {
            // Every frame stops the cable time-out, yet a stray one that the transfer ignores
            // leaves the echo or answer it waits for unguarded: a running transfer always
            // waits for something, so watch for it again.
            tmrCableTimer.setInterval(kCableTimeout);
            tmrCableTimer.start();
        }
        if (wasRunning && m_phase == Phase::Idle) {
            // The frame just handled ended the transfer. What came with it belongs to the
            // transfer that is over: handling it would restart time-outs for nothing.
            sCommandBuffer.clear();
            return;
        }
    }
}

void Conversation::MSComm1_OnComm()
{
    SerialControl::EventHold hold(MSComm1);
    const int code = MSComm1.CommEvent();
    switch (code) {
    case CommEventCode::Send: break;
    case CommEventCode::Receive: ProcessCommand(MSComm1.Input()); break;
    default: log(commEventMessage(code)); break;
    }
}
