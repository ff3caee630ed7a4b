// The read from the radio: the radio's replies become an ICF file.

#include "app/frmreadwrite.h"
#include "app/misc.h"
#include "image/icfformat.h"
#include "link/commstxt.h"
#include "link/hextext.h"
#include "transfer/messages.h"

#include <QProgressBar>

void frmReadWrite::StartProgressBar()
{
    ProgressBar1->setMaximum(100);
    ProgressBar1->setValue(0);
    ProgressBar1->setEnabled(true);
}

void frmReadWrite::StepProgressBar()
{
    // The bar counts records modulo 100; it never reaches its maximum.
    const float value = float(ProgressBar1->value()) + 1.0f;
    ProgressBar1->setValue(qRound(value) % 100);
}

void frmReadWrite::ProcessReadCommand(const QByteArray &sFrame)
{
    const quint8 bCommand = frameCommand(sFrame);
    // Once the file is open, a second model reply belongs to no dialogue: it must not open a
    // second file, and it leaves the running time-outs alone.
    if (bCommand == Cmd::IdentifyReply && ICOMFileSystem->outputOpen())
        return;

    tmrCableTimer.stop();
    const QByteArray sData = frameData(sFrame);

    switch (bCommand) {
    case Cmd::IdentifyRequest:
    case Cmd::ReadRequest:
    case Cmd::WriteRequest:
        return;

    case Cmd::IdentifyReply: {
        tmrResponseTimer.stop();
        const QByteArray sRadioModel = sData.left(4);
        // A CR among the comment bytes would end the comment line early and leave a file
        // that can never be written back; the comment is never sent to a radio, so a space
        // stands in for it.
        QByteArray sComment = sData.mid(4, 16);
        sComment.replace('\r', ' ');
        if (!ShowSaveDialog(sFileName, QString::fromLatin1(kIcfFilter), CommonDialog1)) {
            EndTransfer();
            return;
        }
        if (!ICOMFileSystem->OpenICFFileForWrite(sFileName)) {
            EndTransfer();
            return;
        }
        if (!ICOMFileSystem->WriteALineToDisk(BytesToHex(sRadioModel, false))
            || !ICOMFileSystem->WriteALineToDisk('#' + sComment)) {
            EndTransfer();
            ShowMessage(TransferText::kUnableToWrite);
            return;
        }
        StartProgressBar();
        SendCommand(MSComm1, Cmd::ReadRequest, sRadioModel, true);
        return;
    }

    case Cmd::DataRecord:
        tmrResponseTimer.stop();
        StepProgressBar();
        // The checksum cannot see a record cut short or stretched by noise when the bytes
        // lost or added sum to nothing: its count must agree with its length as well.
        if (!ICOMFileSystem->ValidCheckSum(sData)
            || !ValidRecordLine(QByteArrayView(sData).chopped(2))) {
            EndTransfer();
            ShowMessage(TransferText::kInvalidChecksum);
            return;
        }
        // A record before the file is open has nowhere to go; one that cannot be stored in
        // an open file ends the read, so no image is ever kept with a record missing.
        if (!ICOMFileSystem->WriteICFDataToDisk(sData.left(sData.size() - 2))
            && ICOMFileSystem->outputOpen()) {
            EndTransfer();
            ShowMessage(TransferText::kUnableToWrite);
            return;
        }
        tmrResponseTimer.start();
        return;

    case Cmd::EndOfData:
        tmrResponseTimer.stop();
        m_transferResultSent = true;
        SendCommand(MSComm1, Cmd::TransferResult, QByteArray(1, '\0'), false);
        return;

    case Cmd::TransferResult:
        if (m_transferResultSent) {
            // The tool's own result is back: the image is whole, put it in place. If that
            // fails the user hears it once, after the transfer has ended.
            if (ICOMFileSystem->outputOpen() && !ICOMFileSystem->CommitOutputFile()) {
                EndTransfer();
                ShowMessage(TransferText::kUnableToWrite);
                return;
            }
            EndTransfer();
            return;
        }
        break;

    default:
        break;
    }

    // A frame the read cannot account for. Once the file is open it stands where a record
    // should have been: ending here keeps a short image from being saved as a whole one.
    DisplayText(txtDataReceived, QStringLiteral(" Unknown Command "));
    if (ICOMFileSystem->outputOpen()) {
        EndTransfer();
        ShowMessage(TransferText::kCorruptedFrame);
    }
}
