#include "link/hextext.h"

#include <QtGlobal>

namespace {
int hexValue(char c)
{
    return qMax(hexDigitValue(c), 0);
}
}  // namespace

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArrayView trimSpaces(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == ' ')
        ++begin;
    while (end > begin && text[end - 1] == ' ')
        --end;
    return text.sliced(begin, end - begin);
}

QByteArray HexToBytes(QByteArrayView hexText)
{
    const QByteArrayView text = trimSpaces(hexText);
    // One allocation of the final size, filled through a pointer.
    QByteArray bytes((text.size() + 1) / 2, Qt::Uninitialized);
    char *out = bytes.data();
    const char *digit = text.data(), *const end = digit + text.size();
    if (text.size() % 2 != 0)
        *out++ = char(hexValue(*digit++));
    for (; digit != end; digit += 2)
        *out++ = char(hexValue(digit[0]) * 16 + hexValue(digit[1]));
    return bytes;
}

QByteArray BytesToHex(QByteArrayView bytes, bool WithSpaces)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    static constexpr char kZero[] = {0};
    if (bytes.isEmpty())
        bytes = QByteArrayView(kZero, 1);
    QByteArray text(bytes.size() * (WithSpaces ? 3 : 2), Qt::Uninitialized);
    char *out = text.data();
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *out++ = kDigits[b >> 4];
        *out++ = kDigits[b & 0x0F];
        if (WithSpaces)
            *out++ = ' ';
    }
    return text;
}
