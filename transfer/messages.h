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
inline const QString kStillSending =
    QStringLiteral("The radio is still sending an earlier image: wait until the radio stops "
                   "sending, then read again.");
inline QString withEarlierImageHint(const QString &message)
{
    return message + QStringLiteral("\r\n") + kStillSending;
}
// A write that ends after its first record went out leaves the radio with what came so far.
inline const QString kPartWritten =
    QStringLiteral("The radio may now hold part of the new image and part of the old: a whole "
                   "write of this file, or a write of the backup, puts it right.");
inline QString inputNotOpened(const QString &file, const QString &reason)
{
    return QStringLiteral("Unable to open input file\r\n%1: %2").arg(file, reason);
}
inline QString damagedAtLine(int line)
{
    return QStringLiteral("Input file is damaged at line %1").arg(line);
}
}  // namespace TransferText
