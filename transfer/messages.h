#pragma once
// What the transfers tell the user.

#include <QString>

namespace TransferText {
inline const QString kInvalidChecksum =
    QStringLiteral("Invalid Checksum - Data corrupted in transmission");
inline const QString kCorruptedFrame = QStringLiteral("Data corrupted in transmission");
inline const QString kUnableToWrite = QStringLiteral("Unable to write to output file");
inline const QString kDifferentRadio = QStringLiteral("Input file is for a different radio");
inline const QString kNoRecords = QStringLiteral("Input file holds no memory records");
inline const QString kSuccessfulWrite = QStringLiteral("Successful Write");
inline const QString kWriteFailure = QStringLiteral("Write failure");
inline const QString kNoRecordsFromRadio = QStringLiteral("The radio sent no memory records");
// Records or an end frame came before the model reply: the radio is still sending the image
// of a read that ended early.
inline QString withEarlierImageHint(const QString &message)
{
    return message
           + QStringLiteral("\r\nThe radio is still sending an earlier image: wait until the "
                            "radio stops sending, then read again.");
}
inline QString damagedAtLine(int line)
{
    return QStringLiteral("Input file is damaged at line %1").arg(line);
}
}  // namespace TransferText
