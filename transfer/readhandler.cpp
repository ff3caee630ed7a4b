// The read from the radio: the radio's replies become an ICF file.

#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "image/icfformat.h"
#include "link/conversation.h"
#include "link/hextext.h"
#include "transfer/messages.h"

namespace {

// Whether the record (a checked data line) follows on from the records before it: a radio
// sends its image as one ascending run, each record starting where the last one ended, so a
// record that leaves a gap or goes back over addresses already received means frames were
// lost or repeated on the line. next is where the next record should start (-1 before the
// first) and moves on past this one; a record without bytes neither breaks nor moves the run.
bool FollowsOn(QByteArrayView line, int &next)
{
    const int first = RecordAddress(line);
    const int count = hexDigitValue(line[4]) << 4 | hexDigitValue(line[5]);
    if (count == 0)
        return true;
    if (next >= 0 && first != next)
        return false;
    next = first + count;
    return true;
}

}  // namespace

void Conversation::ProcessReadCommand(const QByteArray &sFrame)
{
    if (m_phase == Phase::Idle)
        return;  // no transfer: nothing to answer
    const quint8 bCommand = frameCommand(sFrame);
    const QByteArray sData = frameData(sFrame);
    // Records, end frames and results before the echo of the tool's own ReadRequest belong
    // to an earlier read the radio is still sending: they change nothing (the log shows them).
    const bool beforeRequest = m_phase == Phase::AwaitingModel || m_phase == Phase::RequestSent;

    switch (bCommand) {
    case Cmd::IdentifyRequest:
        if (m_phase == Phase::AwaitingModel)
            tmrCableTimer.stop();
        return;
    case Cmd::ReadRequest:
        if (m_phase == Phase::RequestSent) {
            // The tool's own request is back: what the radio sends from here on answers it.
            tmrCableTimer.stop();
            m_phase = Phase::RecordsFlowing;
        }
        return;
    case Cmd::WriteRequest: return;

    case Cmd::IdentifyReply: {
        // Only the reply to this transfer's model request opens a file; a second one, once
        // the file is open, leaves the running time-outs alone.
        if (m_phase != Phase::AwaitingModel)
            return;
        tmrCableTimer.stop();
        tmrResponseTimer.stop();
        const QByteArray sRadioModel = sData.left(4);
        // A CR or LF among the comment bytes would end the comment line early and leave a
        // file that can never be written back; the comment is never sent to a radio, so a
        // space stands in for it.
        QByteArray sComment = sData.mid(4, 16);
        sComment.replace('\r', ' ').replace('\n', ' ');
        if (!ShowSaveDialog(sFileName, QString::fromLatin1(kIcfFilter), CommonDialog1)) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::NoFile, QString());
            return;
        }
        if (!ICOMFileSystem->OpenICFFileForWrite(sFileName)) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::File, QString());
            return;
        }
        if (!ICOMFileSystem->WriteALineToDisk(BytesToHex(sRadioModel, false))
            || !ICOMFileSystem->WriteALineToDisk('#' + sComment)) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::File,
                           TransferText::kUnableToWrite);
            return;
        }
        StartProgressBar();
        m_nextAddress = -1;
        SendCommand(MSComm1, Cmd::ReadRequest, sRadioModel, true);
        m_phase = Phase::RequestSent;
        return;
    }

    case Cmd::DataRecord:
        if (beforeRequest) {
            m_earlierImageSeen = true;
            return;
        }
        if (m_phase != Phase::RecordsFlowing) {
            // A record after the end frame: the image is not what the radio said it was.
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::Radio,
                           TransferText::kCorruptedFrame);
            return;
        }
        tmrCableTimer.stop();
        tmrResponseTimer.stop();
        StepProgressBar();
        // The checksum cannot see a record cut short or stretched by noise when the bytes
        // lost or added sum to nothing: its count must agree with its length as well.
        if (!ICOMFileSystem->ValidCheckSum(sData)
            || !ValidRecordLine(QByteArrayView(sData).chopped(2))) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::Radio,
                           TransferText::kInvalidChecksum);
            return;
        }
        if (!FollowsOn(sData, m_nextAddress)) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::Radio,
                           TransferText::kCorruptedFrame);
            return;
        }
        // One record that cannot be stored ends the read: no image is kept with one missing.
        if (!ICOMFileSystem->WriteICFDataToDisk(sData.left(sData.size() - 2))) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::File,
                           TransferText::kUnableToWrite);
            return;
        }
        ++m_recordsStored;
        tmrResponseTimer.start();
        return;

    case Cmd::EndOfData:
        if (beforeRequest) {
            m_earlierImageSeen = true;
            return;
        }
        if (m_phase != Phase::RecordsFlowing)
            return;  // a repeated end frame: the result is on its way already
        tmrCableTimer.stop();
        tmrResponseTimer.stop();
        if (m_recordsStored == 0) {
            // An image of no record is no backup: the earlier file stays.
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::Radio,
                           m_earlierImageSeen ? TransferText::withEarlierImageHint(
                               TransferText::kNoRecordsFromRadio)
                                              : TransferText::kNoRecordsFromRadio);
            return;
        }
        SendCommand(MSComm1, Cmd::TransferResult, QByteArray(1, '\0'), false);
        m_phase = Phase::EndSent;
        return;

    case Cmd::TransferResult:
        if (m_phase != Phase::EndSent)
            return;  // not the tool's own result: a read has no result of the radio's
        // The tool's own result is back: the image is whole, put it in place. If that fails
        // the user hears it once, after the transfer has ended.
        tmrCableTimer.stop();
        if (!ICOMFileSystem->CommitOutputFile()) {
            FinishTransfer(TransferOutcome::Failed, TransferOutcome::File,
                           TransferText::kUnableToWrite);
            return;
        }
        FinishTransfer(TransferOutcome::Saved, TransferOutcome::NoCause, QString());
        return;

    default: break;
    }

    // A frame the read cannot account for. Once the file is open it stands where a record
    // should have been: ending here keeps a short image from being saved as a whole one.
    log(QStringLiteral(" Unknown Command "));
    if (m_phase == Phase::RecordsFlowing || m_phase == Phase::EndSent)
        FinishTransfer(TransferOutcome::Failed, TransferOutcome::Radio,
                       TransferText::kCorruptedFrame);
}
