#pragma once
// The rules of the ICF memory-image format, on text alone: the record checksum, the stored
// (encoded) form of a data line, and the check of a received record.
//
// A data line is hex text: address (4 digits), count N (2 digits), N data bytes (2N digits).
// It is stored in the file with every character moved up by 55 ("0"->"g" ... "F"->"}").

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Two's complement of the byte sum of the hex digit pairs: sum + checksum == 0 (mod 256).
// Expects an even number of hex digits.
quint8 CheckSum(QByteArrayView hexText);
// CheckSum as two upper-case hex digits.
QByteArray CheckChars(QByteArrayView data);
// True when the record is at least 4 upper-case hex digits, of even length, and its last two
// digits are the checksum of the rest. The count field is not examined here.
bool ValidCheckSum(QByteArrayView record);
// The first address of a data line: its first four hex digits. Expects at least four hex
// digits (a record line that passed its checks).
int RecordAddress(QByteArrayView line);
// True when the line is a whole record: at least address and count, and exactly as many data
// digits as the count says. Expects upper-case hex digits (a record that passed its checksum).
bool ValidRecordLine(QByteArrayView line);
// Trims spaces at both ends and moves every character up by 55. True for any hex text; false
// (text unchanged) for a byte above 200, which has no character 55 higher.
bool EncodeICFLine(QByteArray &line);
// Trims spaces, moves the stored characters back down by 55 and checks that the data part is
// exactly twice the count long. On success replaces the text and gives true; otherwise leaves
// it as it was and gives false.
bool DecodeICFLine(QByteArray &line);
// Why a stored data line does not decode, to follow "line N": ", column C: 'Q' is not a hex
// digit" or ": record cut short (31 of 74 characters)"; empty when it decodes.
QString StoredLineFault(QByteArrayView line);
