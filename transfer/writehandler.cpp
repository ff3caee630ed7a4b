// The write to the radio: an ICF file goes into the radio record by record, each record sent
// when the previous frame of the tool has come back through the cable.

#include "app/frmreadwrite.h"
#include "app/misc.h"
#include "link/commstxt.h"
#include "link/hextext.h"
#include "transfer/messages.h"

#include <QProgressBar>

namespace {
constexpr QByteArrayView kEndOfDataText = "Icom Inc.";
}

void frmReadWrite::ProcessWriteCommand(const QByteArray &sFrame)
{
    const quint8 bCommand = frameCommand(sFrame);
    // Once the file is open, a second model reply belongs to no dialogue: it must not open a
    // second file or dialog, and it leaves the running time-outs alone.
    if (bCommand == Cmd::IdentifyReply && ICOMFileSystem->inputOpen())
        return;

    tmrCableTimer.stop();
    const QByteArray sData = frameData(sFrame);

    switch (bCommand) {
    case Cmd::IdentifyRequest:
    case Cmd::ReadRequest:
    case Cmd::EndOfData:
        return;

    case Cmd::IdentifyReply: {
        tmrResponseTimer.stop();
        const QByteArray sRadioModel = sData.left(4);
        if (!ShowOpenDialog(sFileName, QString::fromLatin1(kIcfFilter), CommonDialog1)) {
            EndTransfer();
            return;
        }
        if (!ICOMFileSystem->OpenICFFileForRead(sFileName)) {
            EndTransfer();
            return;
        }
        if (!ICOMFileSystem->ValidModel(ICOMFileSystem->RadioModel(),
                                        BytesToHex(sRadioModel, false))) {
            EndTransfer();
            ShowMessage(TransferText::kDifferentRadio);
            return;
        }
        // The whole file is checked before the radio hears a word of it: a damaged image
        // is never written into a radio, not even in part.
        const clsICOMFiles::DataCheck check = ICOMFileSystem->CheckICFData();
        if (check.outcome != clsICOMFiles::DataCheck::Sound) {
            EndTransfer();
            ShowMessage(check.outcome == clsICOMFiles::DataCheck::Damaged
                            ? TransferText::damagedAtLine(check.line)
                            : TransferText::kNoRecords);
            return;
        }
        StartProgressBar();
        SendCommand(MSComm1, Cmd::WriteRequest, sRadioModel, false);
        return;
    }

    case Cmd::WriteRequest: {
        if (!ICOMFileSystem->inputOpen())
            return;  // not an echo of ours: no file has been chosen yet
        tmrResponseTimer.stop();
        QByteArray sLine;
        if (!ICOMFileSystem->GetNextICFLineFromDisk(sLine)) {
            // The file was checked, so it changed under us: stop rather than wait forever.
            const int damagedLine = ICOMFileSystem->damagedLine();
            EndTransfer();
            ShowMessage(damagedLine != 0 ? TransferText::damagedAtLine(damagedLine)
                                         : TransferText::kNoRecords);
            return;
        }
        SendCommand(MSComm1, Cmd::DataRecord, sLine + ICOMFileSystem->CheckChars(sLine), false);
        return;
    }

    case Cmd::DataRecord: {
        if (!ICOMFileSystem->inputOpen())
            return;  // not an echo of ours: no file has been chosen yet
        QByteArray sLine;
        if (ICOMFileSystem->GetNextICFLineFromDisk(sLine)) {
            SendCommand(MSComm1, Cmd::DataRecord, sLine + ICOMFileSystem->CheckChars(sLine),
                        false);
            StepProgressBar();
        } else if (const int damagedLine = ICOMFileSystem->damagedLine()) {
            // The file was cut or changed since the check: EndOfData now would have the
            // radio take the records sent so far for the whole image.
            EndTransfer();
            ShowMessage(TransferText::damagedAtLine(damagedLine));
        } else {
            m_endOfDataSent = true;
            SendCommand(MSComm1, Cmd::EndOfData, kEndOfDataText.toByteArray(), true);
        }
        return;
    }

    case Cmd::TransferResult: {
        tmrCableTimer.stop();
        tmrResponseTimer.stop();
        // A result without its byte is no success, and neither is one that comes before the
        // whole file has gone out.
        const bool success = m_endOfDataSent && !sData.isEmpty() && sData.at(0) == '\0';
        EndTransfer();
        ShowMessage(success ? TransferText::kSuccessfulWrite : TransferText::kWriteFailure);
        return;
    }

    default:
        DisplayText(txtDataReceived, QStringLiteral(" Unknown Command "));
        return;
    }
}
