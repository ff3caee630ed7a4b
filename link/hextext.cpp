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
    QByteArray bytes;
    bytes.reserve((text.size() + 1) / 2);
    qsizetype i = 0;
    if (text.size() % 2 != 0) {
        bytes.append(char(hexValue(text[0])));
        i = 1;
    }
    for (; i < text.size(); i += 2)
        bytes.append(char(hexValue(text[i]) * 16 + hexValue(text[i + 1])));
    return bytes;
}

QByteArray BytesToHex(QByteArrayView bytes, bool WithSpaces)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    static constexpr char kZero[] = {0};
    if (bytes.isEmpty())
        bytes = QByteArrayView(kZero, 1);
    QByteArray text;
    text.reserve(bytes.size() * (WithSpaces ? 3 : 2));
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text.append(kDigits[b >> 4]);
        text.append(kDigits[b & 0x0F]);
        if (WithSpaces)
            text.append(' ');
    }
    return text;
}
