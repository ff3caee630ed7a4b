// The write to the radio: an ICF file goes into the radio record by record, each record sent
// when the previous frame of the tool has come back through the cable.

#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "link/conversation.h"
#include "link/hextext.h"
#include "transfer/messages.h"

namespace {
constexpr QByteArrayView kEndOfDataText = "Icom Inc.";
}

void Conversation::ProcessWriteCommand(const QByteArray &sFrame)
{
    if (m_phase == Phase::Idle)
        return;  // no transfer: nothing to answer
    const quint8 bCommand = frameCommand(sFrame);
    const QByteArray sData = frameData(sFrame);

    switch (bCommand) {
    case Cmd::IdentifyRequest:
        if (m_phase == Phase::AwaitingModel)
            tmrCableTimer.stop();
        return;
    case Cmd::EndOfData:
        // The tool's own end frame back; the response time-out it armed keeps running.
        if (m_phase == Phase::EndSent)
            tmrCableTimer.stop();
        return;
    case Cmd::ReadRequest: return;

    case Cmd::IdentifyReply: {
        // Only the reply to this transfer's model request opens a file; a second one opens
        // no second dialog and leaves the running time-outs alone.
        if (m_phase != Phase::AwaitingModel)
            return;
        tmrCableTimer.stop();
        tmrResponseTimer.stop();
        const QByteArray sRadioModel = sData.left(4);
        if (!ShowOpenDialog(sFileName, QString::fromLatin1(kIcfFilter), CommonDialog1)) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::NoFile, QString());
            return;
        }
        if (!ICOMFileSystem->OpenICFFileForRead(sFileName)) {
            // Say why: the file does not open, or its two header lines cannot be taken in.
            const QString why =
                ICOMFileSystem->inputOpen()
                    ? TransferText::damagedAtLine(ICOMFileSystem->damagedLine())
                    : TransferText::inputNotOpened(sFileName, ICOMFileSystem->inputError());
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::File, why);
            return;
        }
        if (!ICOMFileSystem->ValidModel(ICOMFileSystem->RadioModel(),
                                        BytesToHex(sRadioModel, false))) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::DifferentRadio,
                           TransferText::kDifferentRadio);
            return;
        }
        // The whole file is checked before the radio hears a word of it: a damaged image
        // is never written into a radio, not even in part.
        const clsICOMFiles::DataCheck check = ICOMFileSystem->CheckICFData();
        if (check.outcome != clsICOMFiles::DataCheck::Sound) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::File,
                           check.outcome == clsICOMFiles::DataCheck::Damaged
                               ? TransferText::damagedAtLine(check.line)
                               : TransferText::kNoRecords);
            return;
        }
        m_total = ICOMFileSystem->checkedRecords();
        StartProgressBar();
        SendCommand(MSComm1, Cmd::WriteRequest, sRadioModel, false);
        m_phase = Phase::RequestSent;
        return;
    }

    case Cmd::WriteRequest: {
        if (m_phase != Phase::RequestSent)
            return;  // not the echo of the tool's own request
        tmrCableTimer.stop();
        tmrResponseTimer.stop();
        m_phase = Phase::RecordsFlowing;
        QByteArray sLine;
        if (!ICOMFileSystem->GetNextICFLineFromDisk(sLine)) {
            // The file was checked, so it changed under us: stop rather than wait forever.
            const int damagedLine = ICOMFileSystem->damagedLine();
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::File,
                           damagedLine != 0 ? TransferText::damagedAtLine(damagedLine)
                                            : TransferText::kNoRecords);
            return;
        }
        SendCommand(MSComm1, Cmd::DataRecord, sLine + ICOMFileSystem->CheckChars(sLine), false);
        StepProgressBar();
        return;
    }

    case Cmd::DataRecord: {
        if (m_phase != Phase::RecordsFlowing)
            return;  // not the echo of a record of the tool's
        tmrCableTimer.stop();
        QByteArray sLine;
        if (ICOMFileSystem->GetNextICFLineFromDisk(sLine)) {
            SendCommand(MSComm1, Cmd::DataRecord, sLine + ICOMFileSystem->CheckChars(sLine), false);
            StepProgressBar();
        } else if (const int damagedLine = ICOMFileSystem->damagedLine()) {
            // The file was cut or changed since the check: EndOfData now would have the
            // radio take the records sent so far for the whole image.
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::File,
                           TransferText::damagedAtLine(damagedLine));
        } else {
            SendCommand(MSComm1, Cmd::EndOfData, kEndOfDataText.toByteArray(), true);
            m_phase = Phase::EndSent;
        }
        return;
    }

    case Cmd::TransferResult: {
        if (m_phase == Phase::AwaitingModel)
            return;  // the result of an earlier write: this one has not begun
        tmrCableTimer.stop();
        tmrResponseTimer.stop();
        // A result without its byte is no success, and neither is one that comes before the
        // whole file has gone out: the radio has given up on this write.
        const bool success = m_phase == Phase::EndSent && !sData.isEmpty() && sData.at(0) == '\0';
        FinishTransfer(success ? TransferOutcome::Written : TransferOutcome::Failed,
                       success ? TransferOutcome::NoCause : TransferOutcome::Radio,
                       success ? TransferText::kSuccessfulWrite : TransferText::kWriteFailure);
        return;
    }

    default: log(QStringLiteral(" Unknown Command ")); return;
    }
}
