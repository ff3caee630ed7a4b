#pragma once
// Hex text: bytes written as two upper-case hexadecimal digits each.

#include <QByteArray>
#include <QByteArrayView>

// Value of one hex digit of either case; -1 for any other character.
int hexDigitValue(char c);
// The text without the spaces at either end; other white space is kept.
QByteArrayView trimSpaces(QByteArrayView text);

// Hex digits (either case, spaces around them ignored) to bytes; an odd count gets a leading
// "0". A character that is not a hex digit counts as 0.
QByteArray HexToBytes(QByteArrayView hexText);
// Bytes to upper-case hex digits, with one space after every pair when WithSpaces is true.
// No bytes at all give the text of a single byte 00.
QByteArray BytesToHex(QByteArrayView bytes, bool WithSpaces);
