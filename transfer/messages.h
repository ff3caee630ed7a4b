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
inline QString damagedAtLine(int line)
{
    return QStringLiteral("Input file is damaged at line %1").arg(line);
}
} // namespace TransferText
