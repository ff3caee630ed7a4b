#include "image/icfformat.h"

#include "link/hextext.h"

namespace {

// The stored form moves every data-line character up by this much ("0" -> "g").
constexpr int kStoredOffset = 55;
// Address (4 digits) and count (2 digits) come before the data digits.
constexpr qsizetype kRecordHeaderDigits = 6;

bool isUpperHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// "g".."p" and "x".."}": the sixteen characters a stored data line may hold.
bool isStoredChar(char c)
{
    return (c >= 'g' && c <= 'p') || (c >= 'x' && c <= '}');
}

}  // namespace

quint8 CheckSum(QByteArrayView hexText)
{
    // Callers pass an even number of hex digits; an odd last digit is ignored and any other
    // character counts as 0, so a malformed text still gives a checksum rather than a crash.
    unsigned sum = 0;
    const char *digit = hexText.data();
    for (qsizetype pairs = hexText.size() / 2; pairs > 0; --pairs, digit += 2) {
        const int high = hexDigitValue(digit[0]);
        const int low = hexDigitValue(digit[1]);
        sum += unsigned((high < 0 ? 0 : high) * 16 + (low < 0 ? 0 : low));
    }
    return quint8((256 - (sum % 256)) % 256);
}

QByteArray CheckChars(QByteArrayView data)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const quint8 sum = CheckSum(data);
    const char text[2] = {kDigits[sum >> 4], kDigits[sum & 0x0F]};
    return QByteArray(text, 2);
}

bool ValidCheckSum(QByteArrayView record)
{
    if (record.size() < 4 || record.size() % 2 != 0)
        return false;
    for (char c : record)
        if (!isUpperHexDigit(c))
            return false;
    const qsizetype split = record.size() - 2;
    const int stored = hexDigitValue(record[split]) * 16 + hexDigitValue(record[split + 1]);
    return stored == CheckSum(record.first(split));
}

bool EncodeICFLine(QByteArray &line)
{
    const QByteArrayView trimmed = trimSpaces(line);
    QByteArray encoded(trimmed.size(), Qt::Uninitialized);
    char *out = encoded.data();
    for (const char c : trimmed) {
        const int code = static_cast<unsigned char>(c) + kStoredOffset;
        // A byte above 200 has no character 55 higher; the original failed at run time here.
        if (code > 255)
            return false;
        *out++ = char(code);
    }
    line = encoded;
    return true;
}

bool DecodeICFLine(QByteArray &line)
{
    const QByteArrayView trimmed = trimSpaces(line);
    bool valid = true;
    for (const char c : trimmed)
        valid = isStoredChar(c) && valid;  // keep scanning, as the format says
    if (!valid || trimmed.size() < kRecordHeaderDigits)
        return false;
    // Characters 5 and 6 decode to hex digits, since every stored character does.
    const int count = hexDigitValue(char(trimmed[4] - kStoredOffset)) * 16
                      + hexDigitValue(char(trimmed[5] - kStoredOffset));
    if (trimmed.size() - kRecordHeaderDigits != 2 * qsizetype(count))
        return false;
    // Decoded where it lies: a line of its own is made only when the caller still shares it.
    const qsizetype lead = trimmed.data() - line.constData();
    line.truncate(lead + trimmed.size());
    line.remove(0, lead);
    for (char &c : line)
        c = char(c - kStoredOffset);
    return true;
}

QString StoredLineFault(QByteArrayView line)
{
    const QByteArrayView trimmed = trimSpaces(line);
    const qsizetype lead = trimmed.data() - line.data();  // spaces before the line
    for (qsizetype i = 0; i < trimmed.size(); ++i) {
        const auto c = static_cast<unsigned char>(trimmed[i]);
        if (isStoredChar(char(c)))
            continue;
        const QString shown =
            c >= 0x20 && c < 0x7F
                ? QString(QLatin1Char(char(c)))
                : QStringLiteral("\\x") + QString::number(c, 16).toUpper().rightJustified(2, u'0');
        return QStringLiteral(", column %1: '%2' is not a hex digit").arg(lead + i + 1).arg(shown);
    }
    if (trimmed.size() < kRecordHeaderDigits)
        return QStringLiteral(": record cut short (%1 of at least %2 characters)")
            .arg(trimmed.size())
            .arg(kRecordHeaderDigits);
    const qsizetype want = kRecordHeaderDigits
                           + 2
                                 * qsizetype(hexDigitValue(char(trimmed[4] - kStoredOffset)) * 16
                                             + hexDigitValue(char(trimmed[5] - kStoredOffset)));
    if (trimmed.size() != want)
        return QStringLiteral(": record %1 (%2 of %3 characters)")
            .arg(trimmed.size() < want ? QStringLiteral("cut short") : QStringLiteral("too long"))
            .arg(trimmed.size())
            .arg(want);
    return {};
}

int RecordAddress(QByteArrayView line)
{
    return hexDigitValue(line[0]) << 12 | hexDigitValue(line[1]) << 8 | hexDigitValue(line[2]) << 4
           | hexDigitValue(line[3]);
}

bool ValidRecordLine(QByteArrayView line)
{
    if (line.size() < kRecordHeaderDigits)
        return false;
    const int count = hexDigitValue(line[4]) * 16 + hexDigitValue(line[5]);
    return count >= 0 && line.size() - kRecordHeaderDigits == 2 * qsizetype(count);
}
